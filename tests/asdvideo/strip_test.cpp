// The strip's drawing on pictures in memory: glyphs land where they should, nothing is drawn
// outside the picture, the gauge's bars follow the acceleration and the label shows when set.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "video_strip.hpp"

namespace {

using asd::video::Colour;
using asd::video::Picture;
using asd::video::StripState;

// A picture of one colour.
struct Canvas {
    Canvas(int w, int h, Colour c)
        : y(static_cast<size_t>(w * h), c.y),
          u(static_cast<size_t>(w * h / 4), c.u),
          v(static_cast<size_t>(w * h / 4), c.v) {
        pic.width = w;
        pic.height = h;
        pic.plane = {y.data(), u.data(), v.data()};
        pic.stride = {w, w / 2, w / 2};
    }
    uint8_t luma(int x, int row) const { return y[static_cast<size_t>(row * pic.width + x)]; }
    uint8_t cr(int x, int row) const {
        return v[static_cast<size_t>((row / 2) * (pic.width / 2) + x / 2)];
    }
    // The pixels of a rectangle as rows of '#' (brighter than `level`) and '.'.
    std::vector<std::string> pattern(int x, int row, int w, int h, uint8_t level = 128) const {
        std::vector<std::string> out;
        for (int j = row; j < row + h; ++j) {
            std::string line;
            for (int i = x; i < x + w; ++i) line += luma(i, j) > level ? '#' : '.';
            out.push_back(line);
        }
        return out;
    }

    std::vector<uint8_t> y, u, v;
    Picture pic;
};

constexpr Colour kBlack{16, 128, 128};

TEST(StripTest, TextIsTheFontsGlyphsScaled) {
    Canvas c(64, 32, kBlack);
    asd::video::draw_text(c.pic, 2, 3, "1", asd::video::kWhite, 1);
    EXPECT_EQ(c.pattern(2, 3, 5, 7), (std::vector<std::string>{"..#..", ".##..", "..#..", "..#..",
                                                               "..#..", "..#..", ".###."}));
    EXPECT_EQ(c.pattern(1, 2, 7, 1), std::vector<std::string>{"......."});  // nothing around it

    Canvas big(64, 32, kBlack);
    asd::video::draw_text(big.pic, 0, 0, "-", asd::video::kWhite, 2);
    EXPECT_EQ(big.pattern(0, 5, 12, 4), (std::vector<std::string>{"............", "##########..",
                                                                  "##########..", "............"}));

    // Lower case is drawn as capitals; what the font lacks as '?'; the UTF-8 degree sign is one.
    Canvas lower(64, 16, kBlack), upper(64, 16, kBlack), unknown(64, 16, kBlack),
        question(64, 16, kBlack);
    asd::video::draw_text(lower.pic, 0, 0, "km/h", asd::video::kWhite, 1);
    asd::video::draw_text(upper.pic, 0, 0, "KM/H", asd::video::kWhite, 1);
    asd::video::draw_text(unknown.pic, 0, 0, "@", asd::video::kWhite, 1);
    asd::video::draw_text(question.pic, 0, 0, "?", asd::video::kWhite, 1);
    EXPECT_EQ(lower.y, upper.y);
    EXPECT_EQ(unknown.y, question.y);
    EXPECT_EQ(asd::video::text_width("271\u00b0 W", 2), 6 * 12);
}

TEST(StripTest, DrawingStopsAtThePicturesEdges) {
    Canvas c(20, 10, kBlack);
    asd::video::draw_text(c.pic, -3, -2, "88", asd::video::kWhite, 3);
    asd::video::draw_text(c.pic, 15, 6, "WWW", asd::video::kWhite, 2);
    asd::video::fill(c.pic, -5, -5, 100, 100, asd::video::kRed);
    asd::video::darken(c.pic, 10, 5, 50, 50, 0);
    EXPECT_EQ(c.luma(0, 0), asd::video::kRed.y);
    EXPECT_EQ(c.luma(19, 9), 16);  // darkened to black
    EXPECT_EQ(c.cr(19, 9), 128);
    EXPECT_EQ(c.y.size(), 200u);
}

// On a white picture: the strip's rows go dark, the gauge's bars grow from their middle by
// 30 pixels a g, beyond 2 g they stop and turn red; without a sample they stay empty.
TEST(StripTest, GaugeBarsFollowTheAcceleration) {
    Canvas c(640, 480, asd::video::kWhite);
    StripState s;
    s.clock = "2026-12-07 23:06:33";
    s.motion = "42 km/h  271\u00b0 W";
    s.accel = std::array<double, 3>{1.0, -0.5, 3.0};
    asd::video::draw_strip(c.pic, s);
    EXPECT_EQ(c.luma(320, 100), asd::video::kWhite.y);  // above the strip: untouched
    EXPECT_LT(c.luma(320, 480 - asd::video::kStripHeight + 10), 100);

    const auto bar = [&](int axis) { return asd::video::gauge_bar(640, 480, axis); };
    const auto lit = [&](int axis, int dx) {
        const auto b = bar(axis);
        return c.luma(b.x + b.w / 2 + dx, b.y + b.h / 2);
    };
    EXPECT_EQ(lit(0, 29), asd::video::kYellow.y);
    EXPECT_EQ(lit(0, 31), asd::video::kDarkGrey.y);
    EXPECT_EQ(lit(0, -2), asd::video::kDarkGrey.y);
    EXPECT_EQ(lit(1, -15), asd::video::kYellow.y);
    EXPECT_EQ(lit(1, -16), asd::video::kDarkGrey.y);
    EXPECT_EQ(lit(1, 2), asd::video::kDarkGrey.y);
    EXPECT_EQ(lit(2, 59), asd::video::kRed.y);  // 3 g: cut at 2 g, red
    EXPECT_EQ(c.cr(bar(2).x + bar(2).w - 1, bar(2).y + 2), asd::video::kRed.v);

    Canvas none(640, 480, asd::video::kWhite);
    s.accel.reset();
    asd::video::draw_strip(none.pic, s);
    const auto b = bar(0);
    EXPECT_EQ(none.luma(b.x + b.w / 2 + 10, b.y + 2), asd::video::kDarkGrey.y);
    EXPECT_EQ(none.luma(b.x + b.w / 2 - 10, b.y + 2), asd::video::kDarkGrey.y);
}

TEST(StripTest, TheLabelShowsInRedOnlyWhenSet) {
    StripState s;
    s.clock = "2026-12-07 23:06:33";
    s.motion = "no GPS";
    s.progress = 0.5;
    s.marks = {0.25};
    const auto place = asd::video::label_place(1280, 480, "IMPACT");
    Canvas quiet(1280, 480, asd::video::kWhite), marked(1280, 480, asd::video::kWhite);
    asd::video::draw_strip(quiet.pic, s);
    s.label = "IMPACT";
    asd::video::draw_strip(marked.pic, s);
    EXPECT_EQ(marked.cr(place.x + 1, place.y + 1), asd::video::kRed.v);
    EXPECT_NE(quiet.cr(place.x + 1, place.y + 1), asd::video::kRed.v);
    // The time line: a red tick at a quarter, the white cursor at the middle.
    const int top = 480 - asd::video::kStripHeight;
    const int x25 = 8 + static_cast<int>(0.25 * (1280 - 16 - 1));
    const int x50 = 8 + static_cast<int>(0.5 * (1280 - 16 - 1));
    EXPECT_EQ(quiet.cr(x25, top + 1), asd::video::kRed.v);
    EXPECT_EQ(quiet.luma(x50, top + 1), asd::video::kWhite.y);
    EXPECT_EQ(quiet.luma(x50 + 100, top + 3), asd::video::kDarkGrey.y);  // still to play
    EXPECT_EQ(quiet.luma(x50 - 100, top + 3), asd::video::kGrey.y);      // played
}

}  // namespace
