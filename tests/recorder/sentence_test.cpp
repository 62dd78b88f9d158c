// Port set-up, sending, line gathering and field conversion shared by both serial links.
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

TEST(ChunkText, EndsAtTheCountOrTheFirstNul) {
    sentence::Chunk chunk{};
    const std::string bytes("$GPSTX\0tail", 11);
    std::copy(bytes.begin(), bytes.end(), chunk.begin());
    EXPECT_EQ(sentence::ChunkText(chunk, 11), "$GPSTX");
    EXPECT_EQ(sentence::ChunkText(chunk, 3), "$GP");
    EXPECT_EQ(sentence::ChunkText(chunk, 0), "");
    EXPECT_EQ(sentence::ChunkText(chunk, -1), "");
}

TEST(LineGatherer, ReassemblesALineSplitOverTwoReads) {
    LineGatherer g;
    EXPECT_TRUE(Gather(g, "$APW,A,O,").empty());
    EXPECT_EQ(Gather(g, "F,F,0915,,\r\n"), std::vector<std::string>{"$APW,A,O,F,F,0915,,\r\n"});
}

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

TEST(Fields, AreFoundAfterTheirCommaOrAreAbsent) {
    const std::string_view line = "$APW,A,,C\r\n";
    EXPECT_EQ(sentence::Field(line, 1), "A,,C\r\n");
    EXPECT_EQ(sentence::Field(line, 2), ",C\r\n");
    EXPECT_TRUE(sentence::FieldEmpty(*sentence::Field(line, 2)));
    EXPECT_EQ(sentence::Field(line, 3), "C\r\n");
    EXPECT_FALSE(sentence::Field(line, 4).has_value());
    EXPECT_EQ(sentence::FieldLetter(*sentence::Field(line, 2), 'F'), 'F');
    EXPECT_EQ(sentence::FieldLetter(*sentence::Field(line, 3), 'F'), 'C');
}

TEST(ScanInt, ConvertsLikeLeadingDecimalConversion) {
    auto scan = [](std::string_view text, size_t width, int& v) {
        return sentence::ScanInt(text, width, v);
    };
    int v = -1;
    EXPECT_TRUE(scan("  42,7", 0, v));
    EXPECT_EQ(v, 42);
    EXPECT_TRUE(scan("-17x", 0, v));
    EXPECT_EQ(v, -17);
    EXPECT_TRUE(scan("+5", 0, v));
    EXPECT_EQ(v, 5);

    v = 99;
    EXPECT_FALSE(scan(",12", 0, v));
    EXPECT_FALSE(scan("-", 0, v));
    EXPECT_FALSE(scan("\r\n", 0, v));
    EXPECT_FALSE(scan("", 0, v));
    EXPECT_EQ(v, 99);

    // The width counts the sign but not the white space before it.
    EXPECT_TRUE(scan(" 1234", 2, v));
    EXPECT_EQ(v, 12);
    EXPECT_TRUE(scan("-56", 2, v));
    EXPECT_EQ(v, -5);

    // Values beyond the int range saturate instead of overflowing.
    EXPECT_TRUE(scan("99999999999999999999", 0, v));
    EXPECT_EQ(v, INT_MAX);
    EXPECT_TRUE(scan("-99999999999999999999", 0, v));
    EXPECT_EQ(v, INT_MIN);
}

TEST(ScanInt, AdvancesPastWhatItUsed) {
    std::string_view text = "0915,";
    int a = 0, b = 0;
    ASSERT_TRUE(sentence::ScanInt(text, 2, a));
    ASSERT_TRUE(sentence::ScanInt(text, 2, b));
    EXPECT_EQ(a, 9);
    EXPECT_EQ(b, 15);
    EXPECT_EQ(text, ",");
}

TEST(ScanPairs, StopsAtTheFirstNumberThatDoesNotConvert) {
    std::array<int, 3> v{};
    EXPECT_EQ(sentence::ScanPairs("230394,", v), 3u);
    EXPECT_EQ(v, (std::array<int, 3>{23, 3, 94}));
    v = {};
    EXPECT_EQ(sentence::ScanPairs("2303,", v), 2u);
    v = {};
    EXPECT_EQ(sentence::ScanPairs("9,", v), 1u);
    EXPECT_EQ(v[0], 9);
    EXPECT_EQ(sentence::ScanPairs(",", v), 0u);
}

TEST(ScanFraction, TakesTheNumberUpToTheComma) {
    EXPECT_DOUBLE_EQ(*sentence::ScanFraction("4807.038,N,01131.000"), 4807.038);
    EXPECT_DOUBLE_EQ(*sentence::ScanFraction("-12.5abc,"), -12.5);
    EXPECT_FALSE(sentence::ScanFraction(",N").has_value());
    EXPECT_FALSE(sentence::ScanFraction("abc,").has_value());
    EXPECT_FALSE(sentence::ScanFraction("nan,").has_value());
    EXPECT_FALSE(sentence::ScanFraction("inf,").has_value());
    EXPECT_FALSE(sentence::ScanFraction("1e999,").has_value());
    // Digits behind the comma belong to the next field.
    EXPECT_DOUBLE_EQ(*sentence::ScanFraction("12,34"), 12.0);
}

}  // namespace
