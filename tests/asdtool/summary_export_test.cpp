// The card summary and the export read back what the recorder's own writer put on a card: files
// closed and left open, the recording index with its locks, snapshots; damaged and odd files are
// reported, never fatal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "asd_reader.hpp"
#include "board_root.hpp"
#include "capture.h"
#include "card_index.hpp"
#include "card_summary.hpp"
#include "config.h"
#include "event.h"
#include "files.hpp"
#include "gps.h"
#include "le.hpp"
#include "recfile.h"
#include "recinfo.h"
#include "recording_export.hpp"
#include "snapshot.h"
#include "storage.h"

namespace {

namespace fs = std::filesystem;

using testsupport::count;
using testsupport::read_file;

std::vector<uint8_t> bytes_of(const fs::path& path) {
    const std::string b = read_file(path);
    return {b.begin(), b.end()};
}

// A JPEG-like frame: what the writer stores is opaque to it, the export must keep it byte for byte.
std::vector<uint8_t> frame(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    v[0] = 0xFF;
    v[1] = 0xD8;
    return v;
}

class CardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(board.card() / "data");
        std::ofstream(board.card() / "Firmware_version.txt") << "x";
        std::memset(&g_exFileHeader, 0, sizeof g_exFileHeader);
        g_qp = 4;
        g_recinfo.fill(0);
        g_maxFileCount = 90;
        g_maxLockCount = 6;
        g_sdErrorCnt = 0;
        g_lock_status = 0;
        int heading = 0;
        ASSERT_TRUE(ParseGPSTX("$GPSTX,071226,230633,A,4722.4520,N,00832.3160,W,9,40,271,,417*00",
                               gps, heading));
        le::put_i16(gs, gsrec::X, -300);
        le::put_i16(gs, gsrec::Y, 20);
        le::put_i16(gs, gsrec::Z, 1024);
        le::put_i16(gs, gsrec::W, 255);
    }
    void TearDown() override {
        if (rec_fd >= 0) stop_record();
    }

    // One driving-mode round as the capture threads write it: rear frame, GPS, accelerometer,
    // front frame, audio.
    void write_round(bool withGps = true) {
        ASSERT_EQ(write_videoframe(640, 480, 0, rear.data(), static_cast<int>(rear.size())), 0);
        if (withGps) {
            le::put_u32(gps, gpsrec::RECV_SEC, current_rectime().sec);
            ASSERT_EQ(write_gpsframe(gps.data()), 0);
        }
        ASSERT_EQ(write_gsensorframe(gs.data()), 0);
        ASSERT_EQ(write_videoframe(640, 480, 1, front.data(), static_cast<int>(front.size())), 0);
        ASSERT_EQ(write_audioframe(audio.data(), static_cast<int>(audio.size())), 0);
    }

    fs::path data() const { return board.card() / "data"; }
    fs::path file(int index) const { return data() / asd::recording_name(index); }

    testsupport::BoardRoot board;
    std::vector<uint8_t> rear = frame(3001, 1), front = frame(2000, 2), audio = frame(8192, 3);
    std::array<uint8_t, gpsrec::SIZE> gps{};
    std::array<uint8_t, gsrec::SIZE> gs{};
};

// ---- the recording index ---------------------------------------------------------------------

TEST(CardIndexTest, DecodesLocksAndRejectsOtherSizes) {
    std::vector<uint8_t> b(asd::kIndexBytes);
    le::put_u32(b, 0, 17);
    le::put_u32(b, 4, 2);
    le::put_u32(b, 8 + 4 * 3, (1u << 16) | 1);     // file 3: impact, generation 1
    le::put_u32(b, 8 + 4 * 1399, (2u << 16) | 2);  // the last file: external alarm, generation 2
    std::string error;
    const auto index = asd::parse_index(b, error);
    ASSERT_TRUE(index) << error;
    EXPECT_EQ(index->next, 17u);
    EXPECT_EQ(index->lockCount, 2u);
    EXPECT_EQ(index->locked_files(), 2u);
    EXPECT_EQ(index->lock_of(3), (asd::Lock{1, 1}));
    EXPECT_EQ(index->lock_of(1399), (asd::Lock{2, 2}));
    EXPECT_FALSE(index->lock_of(4));
    EXPECT_FALSE(index->lock_of(1400));
    EXPECT_EQ(asd::lock_type_name(0), "emergency button");
    EXPECT_EQ(asd::lock_type_name(7), "lock type 7");

    EXPECT_FALSE(asd::parse_index(std::span(b).first(100), error));
    EXPECT_NE(error.find("100 bytes"), std::string::npos) << error;
    testsupport::BoardRoot root;
    const fs::path longer = root.root() / "recinfo";
    b.push_back(0);
    std::ofstream(longer, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    EXPECT_FALSE(asd::read_index(longer.string(), error));
    EXPECT_NE(error.find("longer than 5608"), std::string::npos) << error;
    EXPECT_FALSE(asd::read_index((root.root() / "none").string(), error));
    EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

// What the recorder never writes makes the index damaged; the largest values it writes do not.
TEST(CardIndexTest, ImpossibleValuesMakeTheIndexDamaged) {
    std::vector<uint8_t> b(asd::kIndexBytes);
    le::put_u32(b, 0, 1399);                      // the last file of the largest ring
    le::put_u32(b, 4, 200);                       // the most events a card keeps
    le::put_u32(b, 8 + 4 * 0, (2u << 16) | 200);  // external alarm, the last generation
    std::string error;
    ASSERT_TRUE(asd::parse_index(b, error)) << error;

    const struct {
        size_t word;
        uint32_t value;
        const char* why;
    } bad[] = {
        {0, 1400, "damaged: next file 1400, beyond the ring's 1400 files"},
        {0, 4294967295u, "damaged: next file 4294967295"},
        {1, 201, "damaged: 201 events kept"},
        {1, 4294967295u, "damaged: 4294967295 events kept"},
        {2 + 7, (154u << 16) | 1, "lock entry of file 7 is 0x009a0001 (unknown lock type)"},
        {2 + 7, (3u << 16) | 1, "(unknown lock type)"},
        {2 + 8, (1u << 24) | 1, "lock entry of file 8 is 0x01000001 (bits 24..31 set)"},
        {2 + 9, 1u << 16, "(generation 0)"},
        {2 + 1399, 201, "lock entry of file 1399 is 0x000000c9 (generation beyond"},
    };
    for (const auto& c : bad) {
        std::vector<uint8_t> d = b;
        le::put_u32(d, 4 * c.word, c.value);
        error.clear();
        EXPECT_FALSE(asd::parse_index(d, error)) << c.why;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
}

// ---- summary -----------------------------------------------------------------------------------

TEST_F(CardTest, SummaryCountsTheRecordsOfEveryFileAndTheEventsOfTheIndex) {
    start_record();  // rec00000000: three rounds, closed
    for (int i = 0; i < 3; ++i) write_round();
    const RecTime firstEnd = g_endtime;
    stop_record();
    start_record();  // rec00000001: one round, left open as by a power cut
    write_round(false);
    const RecTime lastWrite = g_endtime;
    lock_file(0, LOCK_IMPACT, 1);
    lock_file(1, LOCK_IMPACT, 1);
    lock_file(5, LOCK_EMERGENCY, 2);  // a locked file that is no longer on the card
    g_recinfo[RECINFO_LOCKCOUNT] = 2;
    ASSERT_EQ(write_recinfo(), 0);
    fs::create_directories(board.card() / "snapshot");
    g_snapIndex = 0;
    g_snapCnt = 0;
    g_meterEvent = 1;
    MakeSnapShot(rear.data(), static_cast<int>(rear.size()));
    std::ofstream(data() / "Rear_sensorError");

    const asd::CardSummary s = asd::summarize_card(board.card());
    ASSERT_TRUE(s.error.empty()) << s.error;
    ASSERT_EQ(s.files.size(), 2u);
    const asd::FileSummary& a = s.files[0];
    EXPECT_EQ(a.name, "rec00000000.asd");
    EXPECT_EQ(a.index, 0u);
    EXPECT_TRUE(a.closed);
    EXPECT_EQ(a.frames[0], 3u);
    EXPECT_EQ(a.frames[1], 3u);
    EXPECT_EQ(a.gps, 3u);
    EXPECT_EQ(a.accel, 3u);
    EXPECT_EQ(a.audioBytes, 3u * 8192);
    EXPECT_NEAR(a.audio_seconds(), 3 * 8192 / 8000.0, 1e-9);
    EXPECT_EQ(a.end, (asd::Time{firstEnd.sec, firstEnd.usec}));
    EXPECT_EQ(a.size, fs::file_size(file(0)));
    EXPECT_EQ(a.lock, (asd::Lock{1, 1}));
    const asd::FileSummary& b = s.files[1];
    EXPECT_FALSE(b.closed);
    EXPECT_FALSE(b.damage);
    EXPECT_EQ(b.gps, 0u);
    // A file left open ends at its last record, not at the start time its header still holds.
    EXPECT_EQ(b.end, (asd::Time{lastWrite.sec, lastWrite.usec}));

    ASSERT_EQ(s.events.size(), 2u);
    EXPECT_EQ(s.events[0].generation, 1);
    EXPECT_EQ(s.events[0].type, LOCK_IMPACT);
    EXPECT_EQ(s.events[0].files, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(s.events[1].type, LOCK_EMERGENCY);
    ASSERT_EQ(s.snapshots.size(), 1u);
    EXPECT_EQ(s.snapshots[0].name, "001-1.jpg");
    EXPECT_EQ(s.snapshots[0].size, rear.size());
    EXPECT_EQ(s.snapshotIndex, 1);
    EXPECT_EQ(s.markers, std::vector<std::string>{"data/Rear_sensorError"});

    const std::string text = asd::format_summary(s);
    EXPECT_NE(text.find("2 files"), std::string::npos) << text;
    EXPECT_NE(text.find("event 1   impact            rec00000000.asd rec00000001.asd"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("rec00000005.asd (not on the card)"), std::string::npos) << text;
    EXPECT_NE(text.find("rec00000001.asd: not closed"), std::string::npos) << text;
    EXPECT_NE(text.find("2 kept, 3 files locked; next file rec00000002.asd"), std::string::npos)
        << text;
    EXPECT_NE(text.find("001-1.jpg"), std::string::npos) << text;
    EXPECT_NE(text.find("the next set after a restart is 002"), std::string::npos) << text;
    EXPECT_NE(text.find("rear camera failed"), std::string::npos) << text;
    // The totals row adds the files up: 4 frames a camera, 3 GPS points, 4 accelerometer records.
    EXPECT_NE(text.find("      4     4     3      4"), std::string::npos) << text;
}

// Files are listed in the order they were recorded, which after the ring wrapped is not the
// order of their names.
TEST_F(CardTest, SummaryListsFilesInRecordingOrder) {
    g_recinfo[RECINFO_NEXT] = 89;
    start_record();
    write_round();
    stop_record();
    start_record();  // wraps to 0
    write_round();
    stop_record();
    const asd::CardSummary s = asd::summarize_card(board.card());
    ASSERT_EQ(s.files.size(), 2u);
    EXPECT_EQ(s.files[0].name, "rec00000089.asd");
    EXPECT_EQ(s.files[1].name, "rec00000000.asd");
}

TEST_F(CardTest, SummaryReportsOddFilesAndAMissingIndexWithoutStopping) {
    start_record();
    write_round();
    stop_record();
    start_record();
    stop_record();  // closed before its first record: an empty file
    std::vector<uint8_t> b = bytes_of(file(0));
    b[100] ^= 0xFF;  // inside the first record's JPEG length
    std::ofstream(data() / "rec00000007.asd", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    std::ofstream(data() / "recinfo") << "short";

    const asd::CardSummary s = asd::summarize_card(board.card());
    ASSERT_TRUE(s.error.empty());
    ASSERT_EQ(s.files.size(), 3u);
    EXPECT_FALSE(s.index);
    EXPECT_TRUE(s.events.empty());
    const std::string text = asd::format_summary(s);
    EXPECT_NE(text.find("rec00000001.asd: empty"), std::string::npos) << text;
    EXPECT_NE(text.find("rec00000007.asd: damaged at byte"), std::string::npos) << text;
    EXPECT_NE(text.find("Recording index: "), std::string::npos) << text;
    EXPECT_NE(text.find("5 bytes, not 5608"), std::string::npos) << text;
    EXPECT_NE(text.find("Snapshots in snapshot/: 0"), std::string::npos) << text;
}

// A file that cannot be read is neither empty nor counted among the recordings: it is named with
// the reason, apart from the table. What bears a recording's name and is no file is listed too.
TEST_F(CardTest, SummaryNamesWhatCannotBeReadApartFromEmptyFiles) {
    start_record();
    write_round();
    stop_record();
    start_record();
    stop_record();  // rec00000001: empty
    fs::create_directories(data() / "rec00000004.asd");
    fs::create_symlink(data() / "gone", data() / "rec00000005.asd");
    std::ofstream(file(6)).close();
    fs::resize_file(file(6), 2ull << 30);  // sparse: not read whole
    if (::geteuid() != 0) {
        std::ofstream(file(7)) << "locked";
        fs::permissions(file(7), fs::perms::none);
    }

    const asd::CardSummary s = asd::summarize_card(board.card());
    ASSERT_TRUE(s.error.empty()) << s.error;
    const std::string text = asd::format_summary(s);
    const size_t unread = ::geteuid() != 0 ? 4 : 3;
    EXPECT_NE(text.find("Recordings in data/: 2 files, "), std::string::npos) << text;
    EXPECT_NE(text.find("; " + std::to_string(unread) + " more that cannot be read\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  rec00000001.asd: empty, closed before its first record\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  rec00000004.asd: cannot be read: a directory, not a file\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  rec00000005.asd: cannot be read: cannot open: No such file"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  rec00000006.asd: cannot be read: recording longer than"),
              std::string::npos)
        << text;
    if (::geteuid() != 0) {
        EXPECT_NE(text.find("  rec00000007.asd: cannot be read: cannot open: Permission denied"),
                  std::string::npos)
            << text;
        fs::permissions(file(7), fs::perms::owner_all);
    }
    // Only the empty file says "empty"; the totals are the readable files'.
    EXPECT_EQ(count(text, "empty"), 1u) << text;
    EXPECT_EQ(count(text, "cannot be read:"), unread) << text;
    EXPECT_NE(text.find("  total"), std::string::npos) << text;
}

// A damaged index is said to be damaged, and none of its events or locks is shown.
TEST_F(CardTest, SummarySaysTheIndexIsDamagedInsteadOfShowingIt) {
    start_record();
    write_round();
    stop_record();
    std::vector<uint8_t> b(asd::kIndexBytes, 0x9a);
    le::put_u32(b, 0, 4294967295u);
    le::put_u32(b, 4, 4294967295u);
    std::ofstream(data() / "recinfo", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));

    const asd::CardSummary s = asd::summarize_card(board.card());
    EXPECT_FALSE(s.index);
    EXPECT_TRUE(s.events.empty());
    EXPECT_FALSE(s.files[0].lock);
    const std::string text = asd::format_summary(s);
    EXPECT_NE(text.find("Recording index: " + (data() / "recinfo").string() +
                        ": damaged: next file 4294967295, beyond the ring's 1400 files\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("kept"), std::string::npos) << text;
    EXPECT_EQ(text.find("lock type"), std::string::npos) << text;
}

TEST(CardSummaryTest, CardWithoutDataDirectory) {
    testsupport::BoardRoot board;
    const asd::CardSummary s = asd::summarize_card(board.card());
    EXPECT_FALSE(s.error.empty());
    EXPECT_NE(asd::format_summary(s).find("no data/ directory"), std::string::npos);
    fs::create_directories(board.card() / "data");
    fs::permissions(board.card() / "data", fs::perms::none);
    const asd::CardSummary locked = asd::summarize_card(board.card());
    fs::permissions(board.card() / "data", fs::perms::owner_all);
    if (::geteuid() != 0) {
        EXPECT_NE(locked.error.find("cannot read"), std::string::npos) << locked.error;
    }
}

// ---- export ------------------------------------------------------------------------------------

TEST_F(CardTest, ExportWritesEveryFrameTrackSampleAndSound) {
    start_record();
    for (int i = 0; i < 3; ++i) write_round();
    gps[gpsrec::STATUS] = 'V';  // a record without a fix stays out of the track
    write_round();
    stop_record();
    const fs::path out = board.root() / "export";

    asd::ExportReport report;
    ASSERT_EQ(asd::export_recording(file(0).string(), out, report), "");
    EXPECT_EQ(report.frames[0], 4u);
    EXPECT_EQ(report.frames[1], 4u);
    EXPECT_EQ(report.gpsRecords, 4u);
    EXPECT_EQ(report.gpsPoints, 3u);
    EXPECT_EQ(report.accel, 4u);
    EXPECT_EQ(report.audioBytes, 4u * 8192);
    EXPECT_FALSE(report.damage);

    // Frames: numbered per camera, named with their time, bytes as recorded.
    const asd::Recording rec = asd::read_file(file(0).string());
    const auto& firstRear = std::get<asd::VideoRecord>(rec.records[0].body);
    std::vector<fs::path> rears, fronts;
    for (const auto& e : fs::directory_iterator(out / "rear")) rears.push_back(e.path());
    for (const auto& e : fs::directory_iterator(out / "front")) fronts.push_back(e.path());
    std::sort(rears.begin(), rears.end());
    ASSERT_EQ(rears.size(), 4u);
    ASSERT_EQ(fronts.size(), 4u);
    EXPECT_EQ(rears[0].filename().string().substr(0, 6), "00001_");
    const std::string stamp = asd::iso_time(firstRear.time);  // 2026-12-07T23:06:33.123456Z
    const std::string compact = stamp.substr(0, 4) + stamp.substr(5, 2) + stamp.substr(8, 5) +
                                stamp.substr(14, 2) + stamp.substr(17, 6) + "Z.jpg";
    EXPECT_EQ(rears[0].filename().string(), "00001_" + compact);
    EXPECT_EQ(bytes_of(rears[0]), rear);
    EXPECT_EQ(bytes_of(fronts[0]), front);
    const std::string frames = read_file(out / "frames.csv");
    EXPECT_EQ(count(frames, "\n"), 1u + 8u);
    EXPECT_NE(frames.find("rear,1," + stamp), std::string::npos) << frames;
    EXPECT_NE(frames.find(",640,480,3001,rear/00001_"), std::string::npos) << frames;

    // GPS: degrees from the receiver's ddmm.mmmm, west negative, the receiver's own time.
    const std::string gpx = read_file(out / "track.gpx");
    EXPECT_EQ(count(gpx, "<trkpt "), 3u);
    EXPECT_NE(gpx.find("<trkpt lat=\"47.374200\" lon=\"-8.538600\"><ele>417</ele>"
                       "<time>2026-12-07T23:06:33Z</time>"),
              std::string::npos)
        << gpx;
    EXPECT_NE(gpx.find("</trkseg>\n  </trk>\n</gpx>\n"), std::string::npos);
    const std::string gpsCsv = read_file(out / "gps.csv");
    EXPECT_EQ(count(gpsCsv, "\n"), 1u + 4u);
    EXPECT_NE(gpsCsv.find(",V,47.374200,-8.538600,"), std::string::npos) << gpsCsv;

    const std::string accel = read_file(out / "accel.csv");
    EXPECT_EQ(count(accel, "\n"), 1u + 4u);
    EXPECT_NE(accel.find(",-300,20,1024,255\n"), std::string::npos) << accel;

    // Audio: a WAV header for 8 kHz unsigned 8-bit mono, then the records' samples in order.
    const std::vector<uint8_t> wav = bytes_of(out / "audio.wav");
    ASSERT_EQ(wav.size(), 44u + 4 * 8192);
    const auto header = asd::wav_header(4 * 8192);
    EXPECT_TRUE(std::equal(header.begin(), header.end(), wav.begin()));
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), wav.begin() + 44));
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), wav.end() - 8192));
}

TEST_F(CardTest, ExportRefusesADirectoryInUseAndAFileWithoutRecords) {
    start_record();
    write_round();
    stop_record();
    const fs::path out = board.root() / "export";
    fs::create_directories(out);
    std::ofstream(out / "keep.txt") << "mine";
    asd::ExportReport report;
    const std::string why = asd::export_recording(file(0).string(), out, report);
    EXPECT_NE(why.find("not empty"), std::string::npos) << why;
    EXPECT_EQ(read_file(out / "keep.txt"), "mine");

    start_record();
    stop_record();  // rec00000001: empty
    EXPECT_NE(asd::export_recording(file(1).string(), board.root() / "e1", report)
                  .find("nothing to export"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(board.root() / "e1"));
    EXPECT_NE(asd::export_recording((data() / "none.asd").string(), board.root() / "e2", report)
                  .find("cannot open"),
              std::string::npos);
}

// A cut file (a card pulled in the middle of a write) gives the records before the cut.
TEST_F(CardTest, ExportOfADamagedFileKeepsWhatCameBeforeTheDamage) {
    start_record();
    write_round();
    write_round();
    stop_record();
    std::vector<uint8_t> b = bytes_of(file(0));
    const asd::Recording whole = asd::parse(b);
    const uint64_t cut = whole.records[8].offset + 10;  // inside the second round's front frame
    b.resize(cut);
    const fs::path cutFile = data() / "rec00000002.asd";
    std::ofstream(cutFile, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));

    asd::ExportReport report;
    ASSERT_EQ(asd::export_recording(cutFile.string(), board.root() / "export", report), "");
    ASSERT_TRUE(report.damage);
    EXPECT_EQ(report.damage->offset, whole.records[8].offset);
    EXPECT_EQ(report.frames[0], 2u);
    EXPECT_EQ(report.frames[1], 1u);
    EXPECT_EQ(report.gpsRecords, 2u);
    EXPECT_EQ(report.audioBytes, 8192u);
}

// A card's own directories are no place for an export: a directory named like a recording in
// data/ stops the recorder when the ring reaches its name. Nothing is created there.
TEST_F(CardTest, ExportRefusesATargetInsideACard) {
    start_record();
    write_round();
    stop_record();
    asd::ExportReport report;
    const fs::path targets[] = {data() / "rec00000009.asd", data() / "x", board.card(),
                                board.card() / "exports/one"};
    for (const fs::path& target : targets) {
        const std::string why = asd::export_recording(file(0).string(), target, report);
        EXPECT_NE(why.find("is inside the card " + board.card().string()), std::string::npos)
            << why;
        EXPECT_FALSE(fs::exists(target) && target != board.card()) << target;
    }
    EXPECT_FALSE(fs::exists(board.card() / "exports"));
    // Through a relative path and a link into the card alike.
    fs::create_directory_symlink(data(), board.root() / "to-data");
    EXPECT_NE(asd::export_recording(file(0).string(), board.root() / "to-data/x", report)
                  .find("is inside the card"),
              std::string::npos);
    EXPECT_FALSE(fs::exists(data() / "x"));

    // A card is known by its recording index as well as by the firmware's stamp.
    fs::remove(board.card() / "Firmware_version.txt");
    EXPECT_NE(asd::export_recording(file(0).string(), data() / "x", report).find("inside the card"),
              std::string::npos);
    fs::remove(data() / "recinfo");
    EXPECT_EQ(asd::export_recording(file(0).string(), board.root() / "out", report), "");
}

// Damage in the header (an end before the start) leaves every record to export; a time that
// cannot be ends the export there, so no file name carries it.
TEST_F(CardTest, ExportStopsAtAnImpossibleTime) {
    start_record();
    write_round();
    write_round();
    stop_record();
    std::vector<uint8_t> b = bytes_of(file(0));
    const asd::Recording whole = asd::parse(b);
    le::put_u32(b, whole.records[5].offset + 22, 4294967295u);  // the second rear frame
    std::ofstream(data() / "rec00000002.asd", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    asd::ExportReport report;
    ASSERT_EQ(asd::export_recording(file(2).string(), board.root() / "e", report), "");
    ASSERT_TRUE(report.damage);
    EXPECT_EQ(report.frames[0], 1u);
    EXPECT_EQ(report.frames[1], 1u);
    EXPECT_EQ(read_file(board.root() / "e/frames.csv").find("4294967"), std::string::npos);
    for (const auto& e : fs::recursive_directory_iterator(board.root() / "e"))
        EXPECT_EQ(e.path().string().find("4294967"), std::string::npos) << e.path();

    b = bytes_of(file(0));
    le::put_u32(b, 20, whole.base.start.sec - 1);  // ends before it starts
    std::ofstream(data() / "rec00000003.asd", std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    ASSERT_EQ(asd::export_recording(file(3).string(), board.root() / "f", report), "");
    ASSERT_TRUE(report.damage);
    EXPECT_EQ(report.damage->offset, 20u);
    EXPECT_EQ(report.frames[0] + report.frames[1], 4u);
}

TEST(ExportFormatTest, GpsDegreesFromReceiverText) {
    EXPECT_NEAR(*asd::gps_degrees("4722.452000", 'N', false), 47.3742, 1e-9);
    EXPECT_NEAR(*asd::gps_degrees("4722.452000", 'S', false), -47.3742, 1e-9);
    EXPECT_NEAR(*asd::gps_degrees("00832.316000", 'E', true), 8.538600, 1e-9);
    EXPECT_NEAR(*asd::gps_degrees("17959.999999", 'W', true), -(179 + 59.999999 / 60), 1e-9);
    EXPECT_EQ(*asd::gps_degrees("0.000000", 'N', false), 0.0);
    EXPECT_EQ(*asd::gps_degrees("9000.000000", 'N', false), 90.0);
    EXPECT_FALSE(asd::gps_degrees("9000.000001", 'N', false));  // beyond the pole
    EXPECT_FALSE(asd::gps_degrees("18000.100000", 'E', true));
    EXPECT_FALSE(asd::gps_degrees("4760.000000", 'N', false));  // 60 minutes
    EXPECT_FALSE(asd::gps_degrees("", 'N', false));
    EXPECT_FALSE(asd::gps_degrees("47x22", 'N', false));
    EXPECT_FALSE(asd::gps_degrees("-4722.0", 'N', false));
    EXPECT_FALSE(asd::gps_degrees("nan", 'N', false));
}

// RIFF, a 16-byte PCM format chunk (mono, 8000 Hz, 8000 bytes a second, 8-bit), the data chunk.
TEST(ExportFormatTest, WavHeaderForEightKilohertzUnsignedBytes) {
    const auto h = asd::wav_header(8192);
    EXPECT_EQ(std::string(h.begin(), h.end()),
              std::string("RIFF\x24\x20\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\x40\x1F\0\0"
                          "\x40\x1F\0\0\x01\0\x08\0data\0\x20\0\0",
                          44));
    // An odd number of samples is padded to an even chunk, which the RIFF size counts.
    EXPECT_EQ(le::get_u32(asd::wav_header(3), 4), 36u + 4);
    EXPECT_EQ(le::get_u32(asd::wav_header(3), 40), 3u);
}

}  // namespace
