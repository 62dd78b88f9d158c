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
    int red = 0, green = 0;  // at (24, 24): where the first dot of the camera's name is drawn
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
