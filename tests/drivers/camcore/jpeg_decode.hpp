// Decoding a camera frame with libjpeg, for the in-process tests and the camera probe.
#pragma once

// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <cstdint>
#include <vector>

namespace camtest {

struct Picture {
    unsigned width = 0, height = 0;
    int red = 0, green = 0;    // at (24, 24): where the first dot of the camera's name is drawn
    std::vector<uint8_t> rgb;  // every pixel, row by row

    // The mean of colour channel `c` (0 red, 1 green, 2 blue) over the rows from y0 to y1 and
    // the columns from x0 to x1 (fractions of the height and width).
    double mean(int c, double y0, double y1, double x0 = 0, double x1 = 1) const {
        const auto row0 = size_t(y0 * height), row1 = size_t(y1 * height);
        const auto col0 = size_t(x0 * width), col1 = size_t(x1 * width);
        double sum = 0;
        size_t n = 0;
        for (size_t y = row0; y < row1; ++y) {
            for (size_t x = col0; x < col1; ++x, ++n) sum += rgb[(y * width + x) * 3 + size_t(c)];
        }
        return n ? sum / double(n) : 0;
    }
};

// Decodes `data` as RGB; false if it is not a JPEG that decodes without a warning.
inline bool decode_jpeg(const uint8_t* data, size_t size, Picture& pic) {
    struct Error {
        jpeg_error_mgr mgr;
        jmp_buf jump;
    } err{};
    jpeg_decompress_struct cinfo{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = [](j_common_ptr c) { longjmp(reinterpret_cast<Error*>(c->err)->jump, 1); };
    err.mgr.output_message = [](j_common_ptr) {};
    bool ok = false;
    std::vector<uint8_t> row;
    if (setjmp(err.jump) == 0) {
        jpeg_create_decompress(&cinfo);
        jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
        jpeg_read_header(&cinfo, TRUE);
        cinfo.out_color_space = JCS_RGB;
        jpeg_start_decompress(&cinfo);
        row.resize(size_t{cinfo.output_width} * 3);
        while (cinfo.output_scanline < cinfo.output_height) {
            const unsigned y = cinfo.output_scanline;
            JSAMPROW r = row.data();
            jpeg_read_scanlines(&cinfo, &r, 1);
            pic.rgb.insert(pic.rgb.end(), row.begin(), row.end());
            if (y == 24 && cinfo.output_width > 24) {
                pic.red = row[24 * 3];
                pic.green = row[24 * 3 + 1];
            }
        }
        jpeg_finish_decompress(&cinfo);
        pic.width = cinfo.output_width;
        pic.height = cinfo.output_height;
        ok = cinfo.err->num_warnings == 0;
    }
    jpeg_destroy_decompress(&cinfo);
    return ok;
}

}  // namespace camtest
