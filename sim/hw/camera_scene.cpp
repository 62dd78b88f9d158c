#include "camera_scene.hpp"

// clang-format off
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <iterator>

#include "../../common/font5x7.hpp"

namespace hw::camera_scene {

namespace {

using font5x7::Glyph;
using font5x7::glyph;

struct Rgb {
    int r, g, b;
};

class Canvas {
  public:
    Canvas(unsigned w, unsigned h) : w_(w), h_(h), px_(size_t{w} * h * 3) {}

    unsigned width() const { return w_; }
    unsigned height() const { return h_; }
    std::vector<uint8_t>& pixels() { return px_; }

    void set(int x, int y, Rgb c) {
        if (x < 0 || y < 0 || x >= static_cast<int>(w_) || y >= static_cast<int>(h_)) return;
        uint8_t* p = &px_[(size_t(y) * w_ + size_t(x)) * 3];
        p[0] = clamp(c.r);
        p[1] = clamp(c.g);
        p[2] = clamp(c.b);
    }

    void fill(int x0, int y0, int x1, int y1, Rgb c) {
        for (int y = std::max(y0, 0); y < std::min(y1, static_cast<int>(h_)); ++y) {
            for (int x = std::max(x0, 0); x < std::min(x1, static_cast<int>(w_)); ++x) set(x, y, c);
        }
    }

    // Text with a dark outline, `scale` pixels per font dot.
    void text(int x, int y, std::string_view s, int scale, Rgb c) {
        for (int pass = 0; pass < 2; ++pass) {
            const Rgb colour = pass == 0 ? Rgb{0, 0, 0} : c;
            const int grow = pass == 0 ? std::max(1, scale / 3) : 0;
            int cx = x;
            for (char ch : s) {
                const Glyph& g = glyph(ch);
                for (int row = 0; row < 7; ++row) {
                    for (int col = 0; col < 5; ++col) {
                        if ((g.rows[row] >> (4 - col) & 1) == 0) continue;
                        fill(cx + col * scale - grow, y + row * scale - grow,
                             cx + (col + 1) * scale + grow, y + (row + 1) * scale + grow, colour);
                    }
                }
                cx += 6 * scale;
            }
        }
    }

  private:
    static uint8_t clamp(int v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

    unsigned w_, h_;
    std::vector<uint8_t> px_;
};

// Sensor noise: cheap, deterministic per frame.
struct Noise {
    uint32_t state;
    int next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<int>(state & 15) - 8;
    }
};

void draw_scene(Canvas& cv, const Params& p) {
    const int w = static_cast<int>(cv.width());
    const int h = static_cast<int>(cv.height());
    const int horizon = h * 2 / 5;
    const double t = static_cast<double>(p.frame);
    Noise noise{static_cast<uint32_t>(p.frame * 2654435761u) | 1u};

    // Sky and ground, with noise so that the picture compresses like a real one.
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            Rgb c;
            if (y < horizon) {
                const int k = y * 120 / std::max(horizon, 1);
                c = p.rear ? Rgb{230 - k / 2, 120 + k / 3, 80 + k / 2}
                           : Rgb{70 + k, 130 + k / 2, 230};
            } else {
                const int d = (y - horizon) * 100 / std::max(h - horizon, 1);
                c = {60 + d / 3, 110 + d / 2, 50 + d / 4};
            }
            const int n = noise.next();
            c.r += n;
            c.g += n;
            c.b += n;
            cv.set(x, y, c);
        }
    }

    // Buildings along the horizon, drifting sideways, with rows of windows.
    const double drift = std::fmod(t * (p.rear ? -3.0 : 3.0), 80.0 * 16);
    for (int i = -1; i < 17; ++i) {
        const int bw = 60 + (i * 37 % 30);
        const int bh = 40 + (i * 53 % 70);
        const int x0 = static_cast<int>(i * 80 - drift + 80.0 * 16) % (80 * 16) - 80;
        const Rgb wall{110 + i * 13 % 60, 100 + i * 29 % 50, 95 + i * 7 % 40};
        cv.fill(x0, horizon - bh, x0 + bw, horizon, wall);
        for (int wy = horizon - bh + 6; wy < horizon - 8; wy += 12) {
            for (int wx = x0 + 6; wx < x0 + bw - 8; wx += 12) {
                const bool lit = ((wx / 12 + wy / 12 + i) % 3) == 0;
                cv.fill(wx, wy, wx + 6, wy + 6, lit ? Rgb{250, 230, 140} : Rgb{40, 50, 70});
            }
        }
    }

    // The road in perspective, lane marks moving towards (front) or away from (rear) the camera.
    const int cx = w / 2;
    for (int y = horizon; y < h; ++y) {
        const double z = static_cast<double>(y - horizon + 1) / (h - horizon);
        const int half = static_cast<int>(z * w * 0.45) + 4;
        cv.fill(cx - half, y, cx + half, y + 1, {80, 80, 88});
        cv.fill(cx - half, y, cx - half + std::max(2, half / 30), y + 1, {235, 235, 235});
        cv.fill(cx + half - std::max(2, half / 30), y, cx + half, y + 1, {235, 235, 235});
        double phase = std::fmod(1.0 / z * 8.0 + t * (p.rear ? -0.5 : 0.5), 4.0);
        if (phase < 0) phase += 4.0;
        if (phase < 2.0) {
            const int lane = std::max(1, half / 40);
            cv.fill(cx - lane, y, cx + lane, y + 1, {245, 220, 60});
        }
    }

    // Name, frame number, sensor.
    const int scale = std::max(2, w / 80);
    cv.text(scale * 2, scale * 2, p.label, scale * 2, p.rear ? Rgb{255, 90, 60} : Rgb{60, 255, 90});
    char number[32];
    std::snprintf(number, sizeof number, "#%06llu", static_cast<unsigned long long>(p.frame));
    cv.text(scale * 2, scale * 18, number, scale, {255, 255, 255});
    cv.text(scale * 2, scale * 27, p.sensor, std::max(1, scale / 2), {230, 230, 230});
}

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void jpeg_fail(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

// Compresses the canvas; empty when libjpeg fails (it does not with a memory destination).
std::vector<uint8_t> encode(Canvas& cv, const Params& p) {
    jpeg_compress_struct cinfo{};
    JpegError err{};
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpeg_fail;
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    std::vector<uint8_t>& px = cv.pixels();
    const size_t stride = size_t{cv.width()} * 3;
    std::vector<uint8_t> result;
    if (setjmp(err.jump) == 0) {
        jpeg_create_compress(&cinfo);
        jpeg_mem_dest(&cinfo, &out, &out_size);
        cinfo.image_width = cv.width();
        cinfo.image_height = cv.height();
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_RGB;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, std::clamp(p.quality, 1, 100), TRUE);
        cinfo.comp_info[0].h_samp_factor = 2;
        cinfo.comp_info[0].v_samp_factor = p.subsample_420 ? 2 : 1;
        cinfo.dct_method = JDCT_IFAST;
        jpeg_start_compress(&cinfo, TRUE);
        // The frame number in a comment too, for whoever counts frames without reading pixels.
        char comment[32];
        const int n = std::snprintf(comment, sizeof comment, "frame %llu",
                                    static_cast<unsigned long long>(p.frame));
        jpeg_write_marker(&cinfo, JPEG_COM, reinterpret_cast<const JOCTET*>(comment),
                          static_cast<unsigned>(n));
        while (cinfo.next_scanline < cinfo.image_height) {
            JSAMPROW row = &px[cinfo.next_scanline * stride];
            jpeg_write_scanlines(&cinfo, &row, 1);
        }
        jpeg_finish_compress(&cinfo);
        result.assign(out, out + out_size);
    }
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return result;
}

constexpr std::array<Rgb, 8> kBars{{{235, 235, 235},
                                    {235, 235, 16},
                                    {16, 235, 235},
                                    {16, 235, 16},
                                    {235, 16, 235},
                                    {235, 16, 16},
                                    {16, 16, 235},
                                    {16, 16, 16}}};

void draw_bars(Canvas& cv) {
    const int w = static_cast<int>(cv.width());
    for (int i = 0; i < 8; ++i) {
        cv.fill(w * i / 8, 0, w * (i + 1) / 8, static_cast<int>(cv.height()), kBars[size_t(i)]);
    }
}

// The sensor's frame as it reaches the coprocessor.
Canvas sensor_frame(const Params& p) {
    const unsigned w = p.sensor_width ? p.sensor_width : p.width;
    const unsigned h = p.sensor_height ? p.sensor_height : p.height;
    Canvas cv(std::max(16u, w), std::max(16u, h));
    if (p.test_pattern) {
        draw_bars(cv);
    } else {
        draw_scene(cv, p);
    }
    if (p.mirror || p.flip) {
        std::vector<uint8_t>& px = cv.pixels();
        const size_t cw = cv.width(), ch = cv.height();
        std::vector<uint8_t> out(px.size());
        for (size_t y = 0; y < ch; ++y) {
            const size_t sy = p.flip ? ch - 1 - y : y;
            for (size_t x = 0; x < cw; ++x) {
                const size_t sx = p.mirror ? cw - 1 - x : x;
                std::copy_n(&px[(sy * cw + sx) * 3], 3, &out[(y * cw + x) * 3]);
            }
        }
        px.swap(out);
    }
    return cv;
}

// The picture the coprocessor makes of the sensor's frame.
Canvas picture(const Params& p) {
    Canvas frame = sensor_frame(p);
    const unsigned w = std::max(16u, p.width), h = std::max(16u, p.height);
    if (frame.width() == w && frame.height() == h && !p.garbled) return frame;
    Canvas out(w, h);
    const size_t rows = std::min(frame.height(), h), cols = std::min(frame.width(), w);
    for (size_t y = 0; y < rows; ++y) {
        std::copy_n(&frame.pixels()[y * frame.width() * 3], cols * 3, &out.pixels()[y * w * 3]);
    }
    if (p.garbled) {
        // Luma read as chroma and chroma as luma: what the eye gets is colour noise on a
        // negative of the scene.
        std::vector<uint8_t>& px = out.pixels();
        for (size_t i = 0; i + 2 < px.size(); i += 3) {
            const uint8_t r = px[i], g = px[i + 1], b = px[i + 2];
            px[i] = b;
            px[i + 1] = static_cast<uint8_t>(255 - g);
            px[i + 2] = r;
        }
    }
    return out;
}

}  // namespace

std::vector<uint8_t> render_jpeg(const Params& params) {
    Canvas canvas = picture(params);
    return encode(canvas, params);
}

std::vector<uint8_t> render_rgb(const Params& params) {
    return std::move(picture(params).pixels());
}

std::string load_jpeg_dir(const std::filesystem::path& dir, size_t max_size,
                          std::vector<std::vector<uint8_t>>& frames, std::string& skipped) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return "no such directory: " + dir.string();
    std::vector<std::filesystem::path> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.is_regular_file(ec)) names.push_back(entry.path());
    }
    std::sort(names.begin(), names.end());
    frames.clear();
    skipped.clear();
    for (const auto& name : names) {
        std::ifstream in(name, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
        const bool jpeg = bytes.size() > 4 && bytes[0] == 0xFF && bytes[1] == 0xD8;
        if (!jpeg || bytes.size() > max_size) {
            skipped += (skipped.empty() ? "" : ", ") + name.filename().string() +
                       (jpeg ? " (too large)" : " (not JPEG)");
            continue;
        }
        frames.push_back(std::move(bytes));
    }
    if (frames.empty()) return "no JPEG file in " + dir.string();
    return "";
}

}  // namespace hw::camera_scene
