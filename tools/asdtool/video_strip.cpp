#include "video_strip.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "../../common/font5x7.hpp"

namespace asd::video {

namespace {

using font5x7::Glyph;
using font5x7::glyph;
using font5x7::kDegree;

// The characters to draw: the UTF-8 degree sign becomes one glyph.
std::string glyphs_of(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\xC2' && i + 1 < text.size() && text[i + 1] == '\xB0') {
            out += kDegree;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

void put(Picture& pic, int x, int y, Colour c) {
    if (x < 0 || y < 0 || x >= pic.width || y >= pic.height) return;
    pic.plane[0][y * pic.stride[0] + x] = c.y;
    pic.plane[1][(y / 2) * pic.stride[1] + x / 2] = c.u;
    pic.plane[2][(y / 2) * pic.stride[2] + x / 2] = c.v;
}

// Strip layout, relative to the strip's top.
constexpr int kMargin = 8;
constexpr int kLineTop = 12;     // the clock
constexpr int kSecondLine = 34;  // speed, heading, label
constexpr int kGaugeTop = 12;
constexpr int kGaugeRow = 14;
constexpr int kBarHeight = 8;
constexpr int kGaugeText = 6 * 6;  // "+1.00" and a space
constexpr int kBarWidth = 2 * kGaugeLimit * kGaugePerG;
constexpr int kGaugeWidth = 12 + kBarWidth + 6 + kGaugeText;

}  // namespace

int text_width(std::string_view text, int scale) {
    return static_cast<int>(glyphs_of(text).size()) * 6 * scale;
}

void draw_text(Picture& pic, int x, int y, std::string_view text, Colour colour, int scale) {
    for (const char c : glyphs_of(text)) {
        const Glyph& g = glyph(c);
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 5; ++col) {
                if (!(g.rows[row] & (0x10 >> col))) continue;
                for (int dy = 0; dy < scale; ++dy) {
                    for (int dx = 0; dx < scale; ++dx)
                        put(pic, x + col * scale + dx, y + row * scale + dy, colour);
                }
            }
        }
        x += 6 * scale;
    }
}

void fill(Picture& pic, int x, int y, int w, int h, Colour colour) {
    for (int j = std::max(0, y); j < std::min(pic.height, y + h); ++j) {
        for (int i = std::max(0, x); i < std::min(pic.width, x + w); ++i) put(pic, i, j, colour);
    }
}

void darken(Picture& pic, int x, int y, int w, int h, int keep) {
    const int x0 = std::max(0, x), x1 = std::min(pic.width, x + w);
    const int y0 = std::max(0, y), y1 = std::min(pic.height, y + h);
    for (int j = y0; j < y1; ++j) {
        uint8_t* row = pic.plane[0] + j * pic.stride[0];
        for (int i = x0; i < x1; ++i)
            row[i] = static_cast<uint8_t>(16 + (row[i] - 16) * keep / 256);
    }
    for (int p = 1; p < 3; ++p) {
        for (int j = y0 / 2; j < (y1 + 1) / 2; ++j) {
            uint8_t* row = pic.plane[p] + j * pic.stride[p];
            for (int i = x0 / 2; i < (x1 + 1) / 2; ++i)
                row[i] = static_cast<uint8_t>(128 + (row[i] - 128) * keep / 256);
        }
    }
}

BarPlace gauge_bar(int width, int height, int axis) {
    const int top = height - kStripHeight;
    return {width - kMargin - kGaugeWidth + 12, top + kGaugeTop + axis * kGaugeRow, kBarWidth,
            kBarHeight};
}

BarPlace label_place(int width, int height, std::string_view label) {
    (void)width;
    const int top = height - kStripHeight;
    // After the longest second line: "999 KM/H  359° NW  ".
    const int x = kMargin + text_width("999 KM/H  359\xC2\xB0 NW  ", 2);
    return {x, top + kSecondLine - 2, text_width(label, 2) + 8, 20};
}

void draw_strip(Picture& pic, const StripState& s) {
    const int top = pic.height - kStripHeight;
    darken(pic, 0, top, pic.width, kStripHeight, 90);

    // The clip's time line: what has played in light grey, marks in red, the cursor in white.
    const int lineW = pic.width - 2 * kMargin;
    const auto xAt = [&](double f) {
        return kMargin + static_cast<int>(std::clamp(f, 0.0, 1.0) * (lineW - 1));
    };
    fill(pic, kMargin, top + 2, lineW, 4, kDarkGrey);
    fill(pic, kMargin, top + 2, xAt(s.progress) - kMargin, 4, kGrey);
    for (const double m : s.marks) fill(pic, xAt(m) - 2, top, 4, 8, kRed);
    fill(pic, xAt(s.progress) - 1, top, 2, 8, kWhite);

    draw_text(pic, kMargin, top + kLineTop, s.clock, kWhite, 2);
    draw_text(pic, kMargin + text_width(s.clock, 2) + 6, top + kLineTop + 7, "UTC", kWhite, 1);

    draw_text(pic, kMargin, top + kSecondLine, s.motion, kWhite, 2);
    if (!s.label.empty()) {
        const BarPlace l = label_place(pic.width, pic.height, s.label);
        fill(pic, l.x, l.y, l.w, l.h, kRed);
        draw_text(pic, l.x + 4, l.y + 2, s.label, kWhite, 2);
    }

    // The gauge: a bar per axis from its middle, +-kGaugeLimit g, the value beside it.
    static constexpr const char* kAxes[] = {"X", "Y", "Z"};
    for (int axis = 0; axis < 3; ++axis) {
        const BarPlace b = gauge_bar(pic.width, pic.height, axis);
        draw_text(pic, b.x - 12, b.y, kAxes[axis], kWhite, 1);
        fill(pic, b.x, b.y, b.w, b.h, kDarkGrey);
        const int mid = b.x + b.w / 2;
        if (s.accel) {
            const double g = (*s.accel)[axis];
            const int len = static_cast<int>(
                std::lround(std::clamp(g, -double{kGaugeLimit}, double{kGaugeLimit}) * kGaugePerG));
            const Colour c = std::abs(g) > kGaugeLimit ? kRed : kYellow;
            if (len >= 0) {
                fill(pic, mid, b.y, len, b.h, c);
            } else {
                fill(pic, mid + len, b.y, -len, b.h, c);
            }
            char value[16];
            std::snprintf(value, sizeof value, "%+.2f", g);
            draw_text(pic, b.x + b.w + 6, b.y, value, kWhite, 1);
        } else {
            draw_text(pic, b.x + b.w + 6, b.y, "-", kWhite, 1);
        }
        fill(pic, mid, b.y - 1, 1, b.h + 2, kWhite);
    }
}

}  // namespace asd::video
