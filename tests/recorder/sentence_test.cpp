// Port set-up, line gathering and number conversion shared by both serial links. The field
// helpers are tested through the two parsers (gps_test, ibc_test).
#include "sentence.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "link_test_support.hpp"

namespace {

using sentence::LineGatherer;

std::vector<std::string> Gather(LineGatherer& g, std::string_view bytes, bool processed = false) {
    std::vector<std::string> lines;
    g.Feed(bytes, [&](std::string_view line) {
        lines.emplace_back(line);
        return processed;
    });
    return lines;
}

TEST(PortSetup, AppliesTheLinkAttributesToTheOpenedPort) {
    testsupport::BoardRoot root;
    linktest::PtyPeer peer(root, "/dev/ttySAC1");
    const int fd = sentence::OpenPort("/dev/ttySAC1");
    ASSERT_GE(fd, 0);

    termios t;
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cc[VTIME], 30);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    os::close(fd);
}

// Lines of one read are handed over in order; a line split over reads is joined.
TEST(LineGatherer, HandsOverEveryLineOfAReadInOrder) {
    LineGatherer g;
    EXPECT_EQ(Gather(g, "$A,1\n$B,2\r\n$C"), (std::vector<std::string>{"$A,1\n", "$B,2\r\n"}));
    EXPECT_EQ(Gather(g, "\n"), std::vector<std::string>{"$C\n"});
}

TEST(LineGatherer, KeepsALineOf84CharactersAndDropsOneOf85) {
    LineGatherer g;
    const std::string longest(84, 'x');
    EXPECT_EQ(Gather(g, longest + "\n"), std::vector<std::string>{longest + "\n"});

    // 85 characters without a line feed are dropped; the next line is whole again.
    EXPECT_TRUE(Gather(g, std::string(85, 'y')).empty());
    EXPECT_EQ(Gather(g, "$APW,C\n"), std::vector<std::string>{"$APW,C\n"});
}

TEST(LineGatherer, OverlongLineLosesItsHeadAndTheWrappedPart) {
    LineGatherer g;
    // 90 characters: the first 85 are dropped when the index wraps, the remaining 5 arrive as
    // a line of their own.
    EXPECT_EQ(Gather(g, std::string(85, 'a') + "bbbbb\n"), std::vector<std::string>{"bbbbb\n"});
}

TEST(LineGatherer, ProcessedLineLeavesACleanBuffer) {
    LineGatherer g;
    Gather(g, "$GPSTX,long line with content\n", true);
    for (char c : g.line) EXPECT_EQ(c, '\0');
    EXPECT_EQ(g.index, 0u);

    Gather(g, "$OTHER,xyz\n", false);
    EXPECT_EQ(std::string(g.line.data()), "$OTHER,xyz\n");
    EXPECT_EQ(g.index, 0u);
}

TEST(LineGatherer, SurvivesEndlessNoiseWithoutLineFeeds) {
    LineGatherer g;
    std::string noise;
    for (int i = 0; i < 5000; ++i) noise.push_back(static_cast<char>(1 + (i * 37) % 255));
    size_t lines = 0;
    g.Feed(noise, [&](std::string_view line) {
        EXPECT_LE(line.size(), sentence::kLineMax + 1);
        EXPECT_EQ(line.back(), '\n');
        ++lines;
        return false;
    });
    EXPECT_LE(g.index, sentence::kLineMax);
    EXPECT_GT(lines, 0u);
}

TEST(ScanInt, ConvertsLikeLeadingDecimalConversion) {
    const struct {
        std::string_view text;
        size_t width;
        bool ok;
        int value;  // 99: left as it was
    } cases[] = {
        {"  42,7", 0, true, 42},
        {"-17x", 0, true, -17},
        {"+5", 0, true, 5},
        {",12", 0, false, 99},
        {"-", 0, false, 99},
        {"\r\n", 0, false, 99},
        {"", 0, false, 99},
        // The width counts the sign but not the white space before it.
        {" 1234", 2, true, 12},
        {"-56", 2, true, -5},
        // Values beyond the int range saturate instead of overflowing.
        {"99999999999999999999", 0, true, INT_MAX},
        {"-99999999999999999999", 0, true, INT_MIN},
    };
    for (const auto& c : cases) {
        std::string_view text = c.text;
        int v = 99;
        EXPECT_EQ(sentence::ScanInt(text, c.width, v), c.ok) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
}

}  // namespace
