// What the recorder writes on the card in driving mode: the records of each camera model, the
// headers, the times, the file change at 20 MiB and on the GPS's time, the ring of files with
// locked files skipped, and how the last file of a run looks when the power goes.
#include <gtest/gtest.h>

#include <cstdio>

#include "board_run.hpp"
#include "recording_checks.hpp"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// The date of "Receive time to GPS yyyy-mm-dd hh:mm:ss" (two-digit year) as seconds since 1970.
std::vector<time_t> gps_times_applied(const std::string& console) {
    std::vector<time_t> out;
    const std::string key = "[recorder] Receive time to GPS ";
    for (size_t pos = console.find(key); pos != std::string::npos;
         pos = console.find(key, pos + 1)) {
        int y, mo, d, h, mi, s;
        if (std::sscanf(console.c_str() + pos + key.size(), "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h,
                        &mi, &s) == 6) {
            out.push_back(utc(2000 + y, mo, d, h, mi, s));
        }
    }
    return out;
}

time_t gps_date(const asd::GpsRecord& g) {
    return utc(2000 + g.year, g.month, g.day, g.hour, g.minute, g.second);
}

// Runs asdtool check on the files (its output into `out`); its exit status and output.
int asdtool_check(const std::vector<std::string>& files, std::string& output, const fs::path& out) {
    std::vector<std::string> argv = {ASDTOOL_EXE, "check"};
    argv.insert(argv.end(), files.begin(), files.end());
    const pid_t pid = testsupport::spawn(argv, out);
    const int status = pid > 0 ? testsupport::wait_exit(pid) : -1;
    output = read_file(out);
    return status;
}

TEST(Recording, TwoCameraModelRecordsBothCamerasAudioGpsAndTheAccelerometer) {
    BoardRun board("two-cameras");
    const time_t rtc = utc(2015, 6, 1, 12, 0, 0);
    board.start({"--rtc", "2015-06-01 12:00:00", "--gps-fix-after", "1"});
    // The sixth GPS fix sets the clocks to the GPS's time (the PC's) and starts file 1.
    ASSERT_TRUE(board.wait_for(rec_file(1))) << board.console();
    ASSERT_TRUE(board.until([&] {
        const auto r = board.recording(1);
        return r.count(asd::Kind::Audio) >= 2 && r.count(asd::Kind::Gps) >= 2;
    }));
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    const std::string console = board.console();
    EXPECT_EQ(count(console, "[recorder] Model TK700"), 1u);
    ASSERT_EQ(board.recordings(), (std::vector<int>{0, 1}));
    const asd::Recording first = board.recording(0);
    const asd::Recording last = board.recording(1);
    expect_sound(first, "rec00000000", true);
    expect_sound(last, "rec00000001", false);  // the power went
    for (const auto* rec : {&first, &last}) {
        EXPECT_GT(video_count(*rec, kRear), 0u);
        EXPECT_GT(video_count(*rec, kFront), 0u);
        EXPECT_GT(rec->count(asd::Kind::Accel), 0u);
        EXPECT_GT(rec->count(asd::Kind::Audio), 0u);
        expect_peripherals_follow(*rec, kRear, "two cameras");
        expect_audio_blocks(*rec, "two cameras");
    }

    // Until the sixth fix the clock is the RTC's; then once the GPS's.
    EXPECT_GE(first.base.start.sec, static_cast<uint32_t>(rtc));
    EXPECT_LT(first.base.start.sec, static_cast<uint32_t>(rtc + 60));
    EXPECT_GE(seconds(first.base.end), seconds(first.base.start));
    const std::vector<time_t> applied = gps_times_applied(console);
    ASSERT_EQ(applied.size(), 1u) << console;
    const time_t gps = applied[0];
    EXPECT_GE(last.base.start.sec, static_cast<uint32_t>(gps));
    EXPECT_LT(last.base.start.sec, static_cast<uint32_t>(gps + 10));
    const auto before = gps_records(first);
    ASSERT_FALSE(before.empty());
    EXPECT_LE(before.size(), 5u);  // of the first five fixes, those that came while recording
    for (const auto& g : before) {
        EXPECT_EQ(g.status, 'A');
        EXPECT_LT(gps_date(g), gps);
    }
    // The sixth was pending when the file changed; a new file starts without it.
    const auto after = gps_records(last);
    ASSERT_FALSE(after.empty());
    for (const auto& g : after) EXPECT_GT(gps_date(g), gps);
    EXPECT_LE(gps_date(after.front()), gps + 2);  // the seventh (a second of jitter allowed)
    // The RTC got the GPS's date too (registers: s m h weekday day month year, BCD).
    const std::string rtcState = read_file(board.root() / "state/rtc");
    const time_t t = gps;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char date[48];
    std::snprintf(date, sizeof date, " %02d %02d %02d ", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year % 100);
    EXPECT_NE(rtcState.find(date), std::string::npos) << rtcState << " lacks" << date;

    // The tool says the same of the two files: neither is damaged, the last was not closed.
    std::string out;
    EXPECT_EQ(asdtool_check({board.recording_path(0).string(), board.recording_path(1).string()},
                            out, board.root() / "check.txt"),
              0)
        << out;
    EXPECT_NE(
        out.find("rec00000000.asd: ok, " + std::to_string(first.records.size()) + " records\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("rec00000001.asd: ok, " + std::to_string(last.records.size()) +
                       " records, not closed (power lost)\n"),
              std::string::npos)
        << out;
}

TEST(Recording, OneCameraModelRecordsTheFrontCameraOnly) {
    BoardRun board("one-camera");
    board.start({"--model", "tk500", "--gps-fix-after", "0"});
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    ASSERT_TRUE(board.until([&] {
        const auto r = board.recording(0);
        return r.count(asd::Kind::Audio) >= 2 && r.count(asd::Kind::Gps) >= 2;
    }));
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    EXPECT_EQ(count(board.console(), "[recorder] Model TK500"), 1u);
    for (const int index : board.recordings()) {
        const asd::Recording rec = board.recording(index);
        const std::string name = "rec" + std::to_string(index);
        expect_sound(rec, name, rec.ending() == asd::Ending::Closed);
        EXPECT_EQ(video_count(rec, kRear), 0u);
        EXPECT_GT(video_count(rec, kFront), 0u);
        expect_peripherals_follow(rec, kFront, name);
        expect_audio_blocks(rec, name);
    }
    const asd::Recording rec = board.recording(0);
    EXPECT_GT(rec.count(asd::Kind::Gps), 0u);
    EXPECT_GT(rec.count(asd::Kind::Accel), 0u);
}

// A card just over 400 MB holds a ring of 23 files. The index names file 22 next and files 0 and
// 1 are locked: the file after 22 is 2. Frames of 98000 bytes, ten a second from each camera,
// make the recorder change files at 20 MiB (after about ten seconds); once file 2 is begun, a
// frame a second keeps it from filling before the board is stopped, however slow the machine.
TEST(Recording, FilesChangeAt20MiBAndTheRingSkipsLockedFiles) {
    BoardRun board("ring");
    BasicConf conf;
    conf.useAudio = 1;  // audio off: video and accelerometer records only
    board.configure(conf);
    Recinfo info;
    info.next = 22;
    info.lockCount = 2;
    info.entry[0] = Recinfo::lock(1, 1);
    info.entry[1] = Recinfo::lock(2, 2);
    board.write_recinfo(info);
    board.write_card("data/rec00000000.asd", "an impact's file");
    board.write_card("data/rec00000001.asd", "an alarm's file");
    const std::string jpegs = board.big_jpeg_dir();
    board.start({"--card", "450M", "--camera-fps", "10", "--front-jpegs", jpegs, "--rear-jpegs",
                 jpegs, "--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(2), 0, 1, 180s)) << board.console();
    ASSERT_TRUE(board.act("camera fps 1"));
    ASSERT_TRUE(board.until([&] { return board.recording(2).records.size() >= 2; }));
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    const std::string console = board.console();
    EXPECT_NE(console.find("[recorder] Max file count : 23, Max Lock Count 6"), std::string::npos);
    EXPECT_EQ(board.recordings(), (std::vector<int>{0, 1, 2, 22}));
    const asd::Recording full = board.recording(22);
    expect_sound(full, "rec00000022", true);
    EXPECT_LE(full.fileSize, kMaxFileSize);
    // The next frame (98026 bytes as a record) would not have fitted.
    EXPECT_GT(full.fileSize + 98026, kMaxFileSize);
    EXPECT_EQ(full.count(asd::Kind::Audio), 0u);
    expect_peripherals_follow(full, kRear, "rec00000022");
    expect_sound(board.recording(2), "rec00000002", false);
    // The locked files are untouched; the index names the file after the one being recorded.
    EXPECT_EQ(read_file(board.recording_path(0)), "an impact's file");
    EXPECT_EQ(read_file(board.recording_path(1)), "an alarm's file");
    const auto after = board.recinfo();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->next, 3u);
    EXPECT_EQ(after->lockCount, 2u);
    EXPECT_EQ(after->locked(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(after->entry[0], info.entry[0]);
    EXPECT_EQ(after->entry[1], info.entry[1]);
}

}  // namespace
}  // namespace e2e
