// Frame numbers in the JPEG comments, the gaps between them, and counting video records by
// their heads: how the benchmarks count recorded and lost frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "frame_gaps.hpp"
#include "frame_number.hpp"
#include "record_heads.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

void segment(Bytes& b, uint8_t marker, const std::string& body) {
    const size_t n = body.size() + 2;
    b.insert(b.end(), {0xFF, marker, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    b.insert(b.end(), body.begin(), body.end());
}

Bytes jpeg(const std::vector<std::pair<uint8_t, std::string>>& segments) {
    Bytes b = {0xFF, 0xD8};
    for (const auto& [marker, body] : segments) segment(b, marker, body);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

TEST(FrameNumber, FromTheFrameComment) {
    EXPECT_EQ(benchframe::frame_number(jpeg({{0xE0, "JFIF"}, {0xFE, "frame 42"}})), 42u);
    EXPECT_EQ(
        benchframe::frame_number(jpeg({{0xFE, "other"}, {0xFE, "frame 18446744073709551615"}})),
        18446744073709551615u)
        << "the first frame comment, after others";
}

TEST(FrameNumber, NoneFromWhatIsNotOne) {
    EXPECT_EQ(benchframe::frame_number(jpeg({{0xE0, "JFIF"}})), std::nullopt);
    EXPECT_EQ(benchframe::frame_number(jpeg({{0xFE, "frame "}})), std::nullopt);
    EXPECT_EQ(benchframe::frame_number(jpeg({{0xFE, "frame 12x"}})), std::nullopt);
    EXPECT_EQ(benchframe::frame_number(jpeg({{0xFE, "frame 99999999999999999999"}})), std::nullopt)
        << "too large";
    EXPECT_EQ(benchframe::frame_number(jpeg({{0xDA, "scan"}, {0xFE, "frame 1"}})), std::nullopt)
        << "a comment in the image data is no header";
    EXPECT_EQ(benchframe::frame_number(Bytes{0x00, 0xD8, 0xFF, 0xFE}), std::nullopt);

    Bytes cut = jpeg({{0xFE, "frame 7"}});
    cut.resize(8);  // the segment runs past the end
    EXPECT_EQ(benchframe::frame_number(cut), std::nullopt);
    Bytes bad = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x01, 'x'};  // length below its own two bytes
    EXPECT_EQ(benchframe::frame_number(bad), std::nullopt);
}

TEST(FrameGaps, SkippedNumbersPerChannel) {
    benchframe::FrameGaps g;
    for (uint64_t n : {10, 11, 13, 14}) g.add(0, 0, n);  // one lost on channel 0
    for (uint64_t n : {10, 11, 12, 16}) g.add(1, 0, n);  // three lost on channel 1
    const auto c = g.count();
    EXPECT_EQ(c.frames, 8u);
    EXPECT_EQ(c.lostInFile, 4u);
    EXPECT_EQ(c.lostAtChange, 0u);
    EXPECT_EQ(c.expected, 5u + 7u);
}

TEST(FrameGaps, FileChangesRepeatsAndUnnumberedApart) {
    benchframe::FrameGaps g;
    g.add(0, 0, 1);
    g.add(0, 0, 2);
    g.add(0, 1, 4);  // one frame lost at the change
    g.add(0, 1, 4);  // the same picture twice
    g.add(0, 1, 3);  // an older one: no gap, no step back
    g.add(0, 1, std::nullopt);
    g.add(0, 1, 6);
    const auto c = g.count();
    EXPECT_EQ(c.lostAtChange, 1u);
    EXPECT_EQ(c.lostInFile, 1u) << "5, against the highest number seen";
    EXPECT_EQ(c.repeated, 2u);
    EXPECT_EQ(c.unnumbered, 1u);
    EXPECT_EQ(c.lost(), 2u);
    EXPECT_EQ(c.expected, 6u);
}

class RecordHeads : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/recheads-XXXXXX";
        fd = ::mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        path = tmpl;
        bytes.assign(84, 0);
    }
    void TearDown() override {
        ::close(fd);
        ::unlink(path.c_str());
    }
    void record(uint8_t kind, size_t payload) {
        Bytes r = {kind, 0xFF, 0, 0, 0, 0};
        const size_t head = kind == 0x01 ? 26 : kind == 0x03 ? 18 : kind == 0x00 ? 22 : 94;
        r.resize(head, 0);
        if (kind == 0x01 || kind == 0x03) {
            for (int i = 0; i < 4; ++i) r[14 + i] = static_cast<uint8_t>(payload >> (8 * i));
        }
        r.resize(head + payload, 0xAB);
        bytes.insert(bytes.end(), r.begin(), r.end());
    }
    size_t count() {
        EXPECT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
        return benchrec::count_video_records(fd);
    }
    int fd = -1;
    std::string path;
    Bytes bytes;
};

TEST_F(RecordHeads, CountsVideoAmongEveryKind) {
    record(0x01, 35000);
    record(0x02, 0);
    record(0x00, 0);
    record(0x03, 8192);
    record(0x01, 1);
    EXPECT_EQ(count(), 2u);
    EXPECT_EQ(benchrec::count_video_records(path.c_str()), 2u);
}

TEST_F(RecordHeads, StopsAtARecordStillBeingWritten) {
    record(0x01, 100);
    record(0x01, 100);
    bytes.resize(bytes.size() - 1);
    EXPECT_EQ(count(), 1u);
    bytes.resize(84 + 10);  // not even a whole head
    EXPECT_EQ(count(), 0u);
}

TEST_F(RecordHeads, StopsAtWhatIsNoRecord) {
    record(0x01, 10);
    bytes.insert(bytes.end(), {0x04, 0xFF});  // unknown kind
    bytes.resize(bytes.size() + 30, 0);
    record(0x01, 10);
    EXPECT_EQ(count(), 1u);
    bytes.assign(84, 0);
    record(0x01, 10);
    bytes[85] = 0x00;  // no 0xFF mark
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(benchrec::count_video_records("/nonexistent/rec.asd"), 0u);
}

}  // namespace
