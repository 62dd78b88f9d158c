// The recording reader reads back everything the recorder's writer wrote, and stops at the first
// damaged byte of a truncated or corrupt file with a reason.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "asd_reader.hpp"
#include "board_root.hpp"
#include "capture.h"
#include "config.h"
#include "event.h"
#include "gps.h"
#include "le.hpp"
#include "recfile.h"
#include "recinfo.h"
#include "storage.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed ^ (i * 13));
    return v;
}

class ReaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(board.card() / "data");
        std::ofstream(board.card() / "Firmware_version.txt") << "x";
        std::memset(&g_exFileHeader, 0, sizeof g_exFileHeader);
        g_exFileHeader.tzIndex = 28;
        g_exFileHeader.speedUnit = 1;
        g_exFileHeader.usePassword = 1;
        std::strcpy(g_exFileHeader.password, "secret");
        std::strcpy(g_exFileHeader.vehicleNumber, "12 GA 3456");
        g_qp = 5;
        g_recinfo.fill(0);
        g_maxFileCount = 90;
        g_sdErrorCnt = 0;
        g_lock_status = 0;
        start_record();
    }
    void TearDown() override {
        if (rec_fd >= 0) stop_record();
    }
    fs::path file() const { return board.card() / "data/rec00000000.asd"; }
    std::vector<uint8_t> bytes() const {
        std::ifstream in(file(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    // Writes one record of every kind, twice, and closes the file.
    void write_sample() {
        int heading = 0;
        ASSERT_TRUE(ParseGPSTX("$GPSTX,290212,235958,A,37.123456,S,127.654321,W,0,9,271,255,0\n",
                               gps, heading));
        le::put_u32(gps, gpsrec::RECV_SEC, current_rectime().sec);
        le::put_i16(gs, gsrec::X, -300);
        le::put_i16(gs, gsrec::Y, 20);
        le::put_i16(gs, gsrec::Z, 1024);
        le::put_i16(gs, gsrec::W, 17);
        for (int round = 0; round < 2; ++round) {
            ASSERT_EQ(write_videoframe(640, 480, 0, rear.data(), static_cast<int>(rear.size())), 0);
            ASSERT_EQ(write_gpsframe(gps.data()), 0);
            ASSERT_EQ(write_gsensorframe(gs.data()), 0);
            ASSERT_EQ(write_videoframe(640, 240, 1, front.data(), static_cast<int>(front.size())),
                      0);
            ASSERT_EQ(write_audioframe(audio.data(), static_cast<int>(audio.size())), 0);
        }
        endTime = g_endtime;
        stop_record();
    }

    testsupport::BoardRoot board;
    std::vector<uint8_t> rear = pattern(4321, 1), front = pattern(999, 2), audio = pattern(8192, 3);
    std::array<uint8_t, gpsrec::SIZE> gps{};
    std::array<uint8_t, gsrec::SIZE> gs{};
    RecTime endTime{};
};

TEST_F(ReaderTest, ReadsBackEverythingTheWriterWrote) {
    write_sample();
    const asd::Recording rec = asd::read_file(file().string(), {.payloads = true});
    ASSERT_FALSE(rec.damage) << rec.damage->reason;
    EXPECT_EQ(rec.base.quantiser, 5);
    EXPECT_EQ(rec.base.videoRecords, 4u);
    EXPECT_EQ(rec.base.end.sec, endTime.sec);
    EXPECT_EQ(rec.base.end.usec, endTime.usec);
    EXPECT_TRUE(rec.closed());
    EXPECT_EQ(rec.ext.tzIndex, 28);
    EXPECT_EQ(rec.ext.speedUnit, 1);
    EXPECT_EQ(rec.ext.usePassword, 1);
    EXPECT_EQ(rec.ext.password, "secret");
    EXPECT_EQ(rec.ext.vehicleNumber, "12 GA 3456");
    EXPECT_EQ(rec.ext.headerFlag, 1);

    ASSERT_EQ(rec.records.size(), 10u);
    EXPECT_EQ(rec.count(asd::Kind::Video), 4u);
    EXPECT_EQ(rec.count(asd::Kind::Gps), 2u);
    EXPECT_EQ(rec.count(asd::Kind::Accel), 2u);
    EXPECT_EQ(rec.count(asd::Kind::Audio), 2u);
    EXPECT_EQ(rec.records[0].offset, 84u);
    EXPECT_EQ(rec.base.start, std::get<asd::VideoRecord>(rec.records[0].body).time);

    const auto& v0 = std::get<asd::VideoRecord>(rec.records[0].body);
    EXPECT_EQ(v0.width, 640);
    EXPECT_EQ(v0.height, 480);
    EXPECT_EQ(v0.channel, 0);
    EXPECT_EQ(v0.jpeg, rear);
    const auto& v1 = std::get<asd::VideoRecord>(rec.records[3].body);
    EXPECT_EQ(v1.height, 240);
    EXPECT_EQ(v1.channel, 1);
    EXPECT_EQ(v1.jpeg, front);

    const auto& g = std::get<asd::GpsRecord>(rec.records[1].body);
    EXPECT_EQ(g.status, 'A');
    EXPECT_EQ(g.latHemisphere, 'S');
    EXPECT_EQ(g.lonHemisphere, 'W');
    EXPECT_EQ(g.heading, 271);
    EXPECT_EQ(g.key, 255);
    EXPECT_EQ(g.latitude, "37.123456");
    EXPECT_EQ(g.longitude, "127.654321");
    EXPECT_EQ(g.received.sec, le::get_u32(gps, gpsrec::RECV_SEC));
    EXPECT_EQ(g.year, 12);
    EXPECT_EQ(g.day, 29);
    EXPECT_EQ(g.second, 58);

    const auto& a = std::get<asd::AccelRecord>(rec.records[2].body);
    EXPECT_EQ(a.x, -300);
    EXPECT_EQ(a.y, 20);
    EXPECT_EQ(a.z, 1024);
    EXPECT_EQ(a.w, 17);
    EXPECT_NE(a.time.sec, 0u);

    const auto& s = std::get<asd::AudioRecord>(rec.records[4].body);
    EXPECT_EQ(s.length, 8192u);
    EXPECT_EQ(s.samples, audio);
    EXPECT_EQ(rec.records[9].offset + rec.records[9].size, rec.fileSize);
}

TEST_F(ReaderTest, FileStillBeingRecordedIsNotClosedButSound) {
    ASSERT_EQ(write_videoframe(640, 480, 1, front.data(), 999), 0);
    const asd::Recording rec = asd::read_file(file().string());
    EXPECT_FALSE(rec.damage);
    EXPECT_FALSE(rec.cutShort);
    EXPECT_FALSE(rec.closed());
    EXPECT_EQ(rec.ending(), asd::Ending::NotClosed);
    EXPECT_EQ(rec.records.size(), 1u);
    EXPECT_TRUE(std::get<asd::VideoRecord>(rec.records[0].body).jpeg.empty());  // not loaded
}

// The power went while the last record was written: the records before it are whole, the file
// is not damaged.
TEST_F(ReaderTest, LastWriteOfAFileNeverClosedMayBeCutShort) {
    ASSERT_EQ(write_videoframe(640, 480, 1, front.data(), 999), 0);
    ASSERT_EQ(write_audioframe(audio.data(), static_cast<int>(audio.size())), 0);
    const std::vector<uint8_t> whole = bytes();
    const asd::Recording full = asd::parse(whole);
    ASSERT_EQ(full.records.size(), 2u);
    const auto last = static_cast<size_t>(full.records[1].offset);
    for (const size_t cut : {last + 3, last + 16, last + 1000, whole.size() - 1}) {
        const asd::Recording rec = asd::parse(std::span(whole).first(cut));
        EXPECT_FALSE(rec.damage) << "cut at " << cut << ": " << rec.damage->reason;
        ASSERT_TRUE(rec.cutShort) << "cut at " << cut;
        EXPECT_EQ(rec.cutShort->offset, full.records[1].offset);
        EXPECT_EQ(rec.ending(), asd::Ending::NotClosed);
        EXPECT_EQ(rec.records.size(), 1u);
    }
    // The header itself cut short: nothing but the interrupted write.
    const asd::Recording header = asd::parse(std::span(whole).first(40));
    EXPECT_FALSE(header.damage);
    ASSERT_TRUE(header.cutShort);
    EXPECT_NE(header.cutShort->reason.find("truncated header"), std::string::npos);
    EXPECT_TRUE(header.records.empty());

    // Anything else in a file never closed is damage all the same.
    std::vector<uint8_t> b = whole;
    b[full.records[1].offset + 1] = 0x00;
    const asd::Recording corrupt = asd::parse(b);
    ASSERT_TRUE(corrupt.damage);
    EXPECT_FALSE(corrupt.cutShort);
}

// Every start of a file truncates it; a stop before the first record leaves it empty.
TEST_F(ReaderTest, EmptyFileWasOpenedButNeverWritten) {
    stop_record();
    const asd::Recording rec = asd::read_file(file().string());
    EXPECT_FALSE(rec.damage);
    EXPECT_FALSE(rec.cutShort);
    EXPECT_EQ(rec.ending(), asd::Ending::Empty);
    EXPECT_FALSE(rec.closed());
    EXPECT_TRUE(rec.records.empty());
    EXPECT_STREQ(asd::ending_name(rec.ending()), "empty (opened, never written)");
}

// What cannot be read is neither empty nor damaged: nothing is decoded, and the reason is given.
TEST_F(ReaderTest, MissingFile) {
    const asd::Recording rec = asd::read_file((board.card() / "nothing.asd").string());
    EXPECT_NE(rec.readError.find("cannot open: No such file"), std::string::npos) << rec.readError;
    EXPECT_FALSE(rec.damage);
    EXPECT_NE(rec.ending(), asd::Ending::Empty);
}

// Directories, devices, pipes and files larger than any recording are refused before anything
// is read from them (a pipe without a writer would block the open, a device never ends).
TEST_F(ReaderTest, OnlyRegularFilesUpToTheLargestRecordingAreRead) {
    const fs::path dir = board.root() / "folder.asd";
    fs::create_directories(dir);
    const fs::path fifo = board.root() / "pipe.asd";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<fs::path, const char*> refused[] = {
        {dir, "a directory, not a file"},
        {"/dev/zero", "a device, not a file"},
        {"/dev/urandom", "a device, not a file"},
        {fifo, "a pipe, not a file"},
    };
    for (const auto& [path, why] : refused) {
        const asd::Recording rec = asd::read_file(path.string());
        EXPECT_EQ(rec.readError, why) << path;
        EXPECT_FALSE(rec.damage) << path;
        EXPECT_EQ(rec.fileSize, 0u) << path;
    }

    // Sparse files: one byte over the largest recording is not read, the largest is.
    const fs::path big = board.root() / "big.asd";
    std::ofstream(big).close();
    fs::resize_file(big, asd::kMaxRecordingBytes + 1);
    EXPECT_EQ(asd::read_file(big.string()).readError,
              "recording longer than 21073920 bytes (21073921): not read");
    fs::resize_file(big, 2ull << 30);
    EXPECT_NE(asd::read_file(big.string()).readError.find("(2147483648): not read"),
              std::string::npos);
    fs::resize_file(big, asd::kMaxRecordingBytes);
    const asd::Recording largest = asd::read_file(big.string());
    EXPECT_EQ(largest.readError, "");
    EXPECT_EQ(largest.fileSize, asd::kMaxRecordingBytes);
    ASSERT_TRUE(largest.damage);
    EXPECT_NE(largest.damage->reason.find("no recording header"), std::string::npos);

    // A link to a recording is the recording.
    write_sample();
    const fs::path link = board.root() / "link.asd";
    fs::create_symlink(file(), link);
    const asd::Recording linked = asd::read_file(link.string());
    EXPECT_EQ(linked.readError, "");
    EXPECT_EQ(linked.records.size(), 10u);
}

// Every cut of a closed file gives the complete records before the cut and a reason, never a
// crash.
TEST_F(ReaderTest, EveryTruncationOfAClosedFileIsReported) {
    write_sample();
    const std::vector<uint8_t> whole = bytes();
    const asd::Recording full = asd::parse(whole);
    ASSERT_FALSE(full.damage);
    EXPECT_EQ(full.ending(), asd::Ending::Closed);
    for (size_t cut = 28; cut < whole.size(); cut += 37) {
        const asd::Recording rec = asd::parse(std::span(whole).first(cut));
        ASSERT_TRUE(rec.damage) << "cut at " << cut;
        EXPECT_FALSE(rec.cutShort);
        size_t complete = 0;
        while (complete < full.records.size() &&
               full.records[complete].offset + full.records[complete].size <= cut) {
            ++complete;
        }
        if (cut >= 84) {
            // A cut right at a record boundary looks like a file still being written, except that
            // the completed header then counts more video records than are left.
            EXPECT_EQ(rec.records.size(), complete) << "cut at " << cut;
        }
        EXPECT_LE(rec.damage->offset, cut);
        EXPECT_FALSE(rec.damage->reason.empty());
    }
    const asd::Recording cutInRecord = asd::parse(std::span(whole).first(84 + 100));
    ASSERT_TRUE(cutInRecord.damage);
    EXPECT_EQ(cutInRecord.damage->offset, 84u);
    EXPECT_NE(cutInRecord.damage->reason.find("truncated video record"), std::string::npos)
        << cutInRecord.damage->reason;
    const asd::Recording cutInHeader = asd::parse(std::span(whole).first(50));
    EXPECT_NE(cutInHeader.damage->reason.find("truncated header"), std::string::npos);
}

TEST_F(ReaderTest, CorruptionIsFoundAtItsByte) {
    write_sample();
    const std::vector<uint8_t> whole = bytes();
    const asd::Recording full = asd::parse(whole);
    const uint64_t third = full.records[2].offset;

    std::vector<uint8_t> b = whole;
    b[third + 2] ^= 0x01;  // previous-record offset
    asd::Recording rec = asd::parse(b);
    ASSERT_TRUE(rec.damage);
    EXPECT_EQ(rec.damage->offset, third + 2);
    EXPECT_NE(rec.damage->reason.find("previous-record offset"), std::string::npos);
    EXPECT_EQ(rec.records.size(), 2u);

    b = whole;
    b[third] = 0x07;  // unknown kind
    rec = asd::parse(b);
    EXPECT_EQ(rec.damage->offset, third);
    EXPECT_NE(rec.damage->reason.find("unknown record kind 0x07"), std::string::npos);

    b = whole;
    b[third + 1] = 0x00;  // tag mark
    rec = asd::parse(b);
    EXPECT_EQ(rec.damage->offset, third + 1);

    b = whole;
    le::put_u32(b, full.records[0].offset + 14, 0xFFFFFFF0u);  // absurd JPEG length
    rec = asd::parse(b);
    EXPECT_EQ(rec.damage->offset, full.records[0].offset + 14);
    EXPECT_NE(rec.damage->reason.find("out of range"), std::string::npos);

    b = whole;
    le::put_u32(b, full.records[0].offset + 14, 4000);  // shorter JPEG: the chain breaks after it
    rec = asd::parse(b);
    ASSERT_TRUE(rec.damage);
    EXPECT_EQ(rec.records.size(), 1u);

    b = whole;
    b[0] = 0x12;
    rec = asd::parse(b);
    EXPECT_EQ(rec.damage->offset, 0u);
    EXPECT_NE(rec.damage->reason.find("no recording header"), std::string::npos);

    b = whole;
    le::put_u32(b, 8, 5);  // the header counts a video record that is not there
    rec = asd::parse(b);
    EXPECT_EQ(rec.damage->offset, 8u);
    EXPECT_NE(rec.damage->reason.find("counts 5 video records"), std::string::npos);
}

// Values the recorder never writes are damage at their byte: the records before them are whole,
// the file is not. 999999 microseconds is the last legal value.
TEST_F(ReaderTest, ImpossibleValuesAreDamage) {
    write_sample();
    const std::vector<uint8_t> whole = bytes();
    const asd::Recording full = asd::parse(whole);
    ASSERT_FALSE(full.damage);
    ASSERT_EQ(full.records.size(), 10u);

    // The microseconds of each kind's time: video, GPS, accelerometer, audio (records 5..9 hold
    // the second round, in that order: rear frame, GPS, accelerometer, front frame, audio).
    const std::pair<size_t, size_t> usecOf[] = {{5, 22}, {6, 66}, {7, 18}, {9, 10}};
    for (const auto& [index, at] : usecOf) {
        const uint64_t off = full.records[index].offset;
        std::vector<uint8_t> b = whole;
        le::put_u32(b, off + at, 999999);
        EXPECT_FALSE(asd::parse(b).damage) << "record " << index;
        for (const uint32_t usec : {1000000u, 4294967295u}) {
            le::put_u32(b, off + at, usec);
            const asd::Recording rec = asd::parse(b);
            ASSERT_TRUE(rec.damage) << "record " << index;
            EXPECT_EQ(rec.damage->offset, off + at) << "record " << index;
            EXPECT_NE(
                rec.damage->reason.find("time with " + std::to_string(usec) + " microseconds"),
                std::string::npos)
                << rec.damage->reason;
            EXPECT_EQ(rec.records.size(), index);
        }
    }

    const uint64_t video = full.records[5].offset;
    std::vector<uint8_t> b = whole;
    b[video + 10] = 7;
    asd::Recording rec = asd::parse(b);
    ASSERT_TRUE(rec.damage);
    EXPECT_EQ(rec.damage->offset, video + 10);
    EXPECT_NE(rec.damage->reason.find("channel 7"), std::string::npos) << rec.damage->reason;
    EXPECT_EQ(rec.records.size(), 5u);
    b[video + 10] = 2;
    EXPECT_TRUE(asd::parse(b).damage);

    for (const size_t field : {6, 8}) {
        b = whole;
        le::put_u16(b, video + field, 0);
        rec = asd::parse(b);
        ASSERT_TRUE(rec.damage) << field;
        EXPECT_EQ(rec.damage->offset, video + 6);
        EXPECT_NE(rec.damage->reason.find(field == 6 ? "0x480" : "640x0"), std::string::npos)
            << rec.damage->reason;
    }

    // The header's times: after every record was read, so that they are all there.
    b = whole;
    le::put_u32(b, 16, 4294967295u);  // start microseconds
    rec = asd::parse(b);
    ASSERT_TRUE(rec.damage);
    EXPECT_EQ(rec.damage->offset, 16u);
    EXPECT_NE(rec.damage->reason.find("start time with 4294967295"), std::string::npos);
    EXPECT_EQ(rec.records.size(), 10u);
    b = whole;
    le::put_u32(b, 24, 1000000);  // end microseconds
    EXPECT_EQ(asd::parse(b).damage->offset, 24u);

    b = whole;  // a closed file that ends before it starts
    le::put_u32(b, 20, full.base.start.sec);
    le::put_u32(b, 24, full.base.start.usec);
    EXPECT_FALSE(asd::parse(b).damage);  // ends as it starts: allowed
    if (full.base.start.usec > 0) {
        le::put_u32(b, 24, full.base.start.usec - 1);
    } else {
        le::put_u32(b, 20, full.base.start.sec - 1);
    }
    rec = asd::parse(b);
    ASSERT_TRUE(rec.damage);
    EXPECT_EQ(rec.damage->offset, 20u);
    EXPECT_NE(rec.damage->reason.find("before the start time"), std::string::npos);
}

}  // namespace
