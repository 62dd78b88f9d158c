// Drawing on a YUV 4:2:0 picture (limited range, BT.601), for the strip the combined clip burns
// into its frames: the box's date and time, speed and heading, the accelerometer's X, Y and Z as
// bars, a time line of the clip with its marked moments, and the mark's label while it is near.
//
// Text uses a built-in 5x7 pixel font of digits, capital letters and a few signs (lower case
// is drawn as capitals; other characters as '?'), scaled by whole pixels.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace asd::video {

// Planes of a picture that lives elsewhere (an AVFrame, a test's buffer).
struct Picture {
    int width = 0;
    int height = 0;
    std::array<uint8_t*, 3> plane{};  // Y, U (Cb), V (Cr); U and V at half width and height
    std::array<int, 3> stride{};
};

struct Colour {
    uint8_t y, u, v;
};

constexpr Colour kWhite{235, 128, 128};
constexpr Colour kGrey{110, 128, 128};
constexpr Colour kDarkGrey{50, 128, 128};
constexpr Colour kRed{81, 90, 240};
constexpr Colour kYellow{210, 16, 146};
constexpr Colour kGreen{145, 54, 34};

// Pixels of `text` at `scale`: 6 * scale a character, 8 * scale high.
int text_width(std::string_view text, int scale);
// Draws `text` with its top left corner at (x, y); what falls outside the picture is left out.
void draw_text(Picture& pic, int x, int y, std::string_view text, Colour colour, int scale);
void fill(Picture& pic, int x, int y, int w, int h, Colour colour);
// Darkens a rectangle towards black, keeping `keep` (0..256) / 256 of its brightness and colour.
void darken(Picture& pic, int x, int y, int w, int h, int keep);

// What the strip shows at one moment of the clip.
struct StripState {
    std::string clock;                           // "2026-12-07 23:06:33"
    std::string motion;                          // "42 km/h  271° W", "no GPS"
    std::optional<std::array<double, 3>> accel;  // X, Y, Z in g; nothing without a sample
    double progress = 0;                         // where the clip is, 0..1
    std::vector<double> marks;                   // where its marked moments are, 0..1
    std::string label;  // shown in red while a marked moment is near ("IMPACT")
};

// Height of the strip at the bottom of the picture.
constexpr int kStripHeight = 56;
// Pixels of the gauge's bars for 1 g, either side of 0; values beyond kGaugeLimit g are cut.
constexpr int kGaugePerG = 30;
constexpr int kGaugeLimit = 2;

// Draws the strip over the bottom kStripHeight rows of `pic` (its width at least 320).
void draw_strip(Picture& pic, const StripState& state);

// Where the gauge's bar of `axis` (0 X, 1 Y, 2 Z) is in a picture `width` wide and `height`
// high: its left edge, top and full width; the bar grows from the middle.
struct BarPlace {
    int x, y, w, h;
};
BarPlace gauge_bar(int width, int height, int axis);
// Where the label goes.
BarPlace label_place(int width, int height, std::string_view label);

}  // namespace asd::video
