// The IBC controller's commands on the whole board: parking mode and back to driving by a
// reboot, the timed periods and their counted commands, and snapshots.
#include <gtest/gtest.h>

#include <algorithm>

#include "board_run.hpp"
#include "le.hpp"
#include "recording_checks.hpp"

namespace e2e {
namespace {

const std::string kFndOff = "$PZVK,#FND0,00*cc";
const std::string kReboot = "$PZVK,#REBOOT,00*cc";

size_t sentences(const BoardRun& board, const std::string& sentence) {
    size_t n = 0;
    for (const auto& l : board.subboard()) n += l.text == sentence ? 1 : 0;
    return n;
}

// Frames of 4000 bytes for the parking tests: a capture then takes a small part of the timer's
// period even on a slow machine, so that the frames come at the timer's pace.
std::vector<std::string> small_frames(BoardRun& board) {
    const std::string jpegs = board.big_jpeg_dir(4000);
    return {"--front-jpegs", jpegs, "--rear-jpegs", jpegs};
}

// What a parking file holds: frames of both cameras from the timer at its `period`, nothing else.
void expect_parking_file(const asd::Recording& rec, double period, const std::string& name) {
    SCOPED_TRACE(name);
    expect_sound(rec, name, true);
    EXPECT_EQ(rec.count(asd::Kind::Audio), 0u);
    EXPECT_EQ(rec.count(asd::Kind::Gps), 0u);
    EXPECT_EQ(rec.count(asd::Kind::Accel), 0u);
    expect_paced(video_times(rec, kRear), period, 6, "rear camera");
    expect_paced(video_times(rec, kFront), period, 6, "front camera");
}

// Position just after the `n`th occurrence of `text` in the console (from 1), or npos.
size_t after_nth(const std::string& console, const std::string& text, int n) {
    size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        const size_t at = console.find(text, pos);
        if (at == std::string::npos) return std::string::npos;
        pos = at + text.size();
    }
    return pos;
}

// 'B' parks: the display goes off, a new file records three frames a second of each camera
// (parking rate 1 in the configuration); an impact locks nothing, the emergency button does.
// 'C' drives again by a reboot.
TEST(Modes, ParkingRecordsFromTheTimerAndDrivingAgainReboots) {
    BoardRun board("parking");
    BasicConf conf;
    conf.fpsParking = 1;
    board.configure(conf);
    auto options = small_frames(board);
    options.insert(options.end(), {"--gps-fix-after", "1000"});
    board.start(options);
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    ASSERT_TRUE(board.until([&] { return board.recording(0).count(asd::Kind::Audio) >= 1; }));
    ASSERT_TRUE(board.act("ibc parking"));
    ASSERT_TRUE(board.wait_for("[recorder] ChangeDRMode")) << board.console();
    ASSERT_TRUE(board.act("gps fix"));  // GPS sentences with a fix, which parking does not record
    ASSERT_TRUE(board.wait_for(rec_file(1))) << board.console();  // after the display's delay
    ASSERT_TRUE(board.until([&] { return board.recording(1).count(asd::Kind::Video) >= 12; }));

    const size_t parked = board.console().size();
    ASSERT_TRUE(board.act("impact 4 x"));
    settle();
    EXPECT_EQ(board.console().find("Gsensor value over critical section area", parked),
              std::string::npos);
    ASSERT_TRUE(board.act("button"));
    ASSERT_TRUE(board.wait_for("[recorder] Emergency Recording....", parked)) << board.console();
    ASSERT_TRUE(board.wait_for("[recorder] lock file 1 lock index 1", parked)) << board.console();
    const size_t frames = board.recording(1).count(asd::Kind::Video);
    ASSERT_TRUE(
        board.until([&] { return board.recording(1).count(asd::Kind::Video) >= frames + 6; }));

    ASSERT_TRUE(board.act("ibc driving"));
    const auto boot = board.wait_for("[board] power on: boot 2 (reboot requested by recorder");
    ASSERT_TRUE(boot) << board.console();
    ASSERT_TRUE(board.wait_for(rec_file(2), *boot)) << board.console();
    ASSERT_TRUE(board.until([&] {
        const auto r = board.recording(2);
        return r.count(asd::Kind::Audio) >= 1 && video_count(r, kRear) >= 1;
    }));
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    EXPECT_EQ(sentences(board, kFndOff), 9u);
    EXPECT_EQ(sentences(board, kReboot), 1u);
    EXPECT_EQ(sentences(board, "$PZVK,#FND7,00*cc"), 4u);
    EXPECT_EQ(sentences(board, "$PZVK,#REC0,00*cc"), 1u);
    EXPECT_EQ(board.prompts(), std::vector<std::string>{"074.wav"});
    // The knob (at 20) is not read while parking, where its ADC has no clock.
    for (const auto& l : with_text(board.codec(), "output volume")) {
        EXPECT_EQ(l.text, "reg 0x6D = 0x14 (20) output volume") << l.time;
    }
    // Both runs of the recorder started the IBC link.
    const auto ibc = board.ibc();
    EXPECT_EQ(ibc.size(), 6u);
    EXPECT_EQ(with_text(ibc, "$PIB,#APWSTART,00*cc").size(), 6u);
    const auto locks = board.recinfo();
    ASSERT_TRUE(locks);
    EXPECT_EQ(locks->locked(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(locks->entry[1], Recinfo::lock(0, 1));

    const asd::Recording driving = board.recording(0);
    expect_sound(driving, "rec00000000", true);
    EXPECT_GT(driving.count(asd::Kind::Audio), 0u);
    expect_parking_file(board.recording(1), 1.0 / 3, "rec00000001");
    const asd::Recording again = board.recording(2);
    expect_sound(again, "rec00000002", false);
    EXPECT_GT(video_count(again, kFront), 0u);
    expect_audio_blocks(again, "rec00000002");
}

// A timed period of 100 s announced by 'F' commands: at the 60th the recorder goes on in a new
// file at full rate in driving mode, with impact thresholds of 300 and mode commands refused; at
// the 90th it stops; the next 'A' reboots. The commands come faster than one a second: the rule
// counts commands.
TEST(Modes, ATimedPeriodOf100SecondsSwitchesAtThe60thCommandAndStopsAtThe90th) {
    BoardRun board("period-100");
    board.start({"--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    const std::string command = "ibc send F 10:00:00 10:01:40";
    auto send = [&](int from, int to) {
        for (int i = from; i <= to; ++i) ASSERT_TRUE(board.act(command)) << i;
    };
    // A half-g knock is no impact for the usual thresholds.
    ASSERT_TRUE(board.act("impact 0.5 x"));
    send(1, 59);
    settle();
    EXPECT_EQ(count(board.console(), "Full fps"), 0u);
    send(60, 60);
    ASSERT_TRUE(board.wait_for("[recorder] Full fps...")) << board.console();
    ASSERT_TRUE(board.wait_for(rec_file(1))) << board.console();
    ASSERT_TRUE(board.until([&] { return board.recording(1).count(asd::Kind::Audio) >= 1; }));
    // Now it is: the thresholds are 300.
    EXPECT_EQ(count(board.console(), "Gsensor value over critical section area"), 0u);
    ASSERT_TRUE(board.act("impact 0.5 x"));
    ASSERT_TRUE(board.wait_for("[recorder] Gsensor value over critical section area"))
        << board.console();
    ASSERT_TRUE(board.wait_for("[recorder] Lock Normal 1....")) << board.console();
    // Mode commands are refused until the reboot.
    const size_t refused = board.console().size();
    ASSERT_TRUE(board.act("ibc parking"));
    send(61, 89);
    settle();
    EXPECT_EQ(board.console().find("ChangeDRMode", refused), std::string::npos);
    EXPECT_EQ(count(board.console(), "stop_recording"), 0u);
    send(90, 90);
    const auto stopped = board.wait_for("[recorder] stop_recording....");
    ASSERT_TRUE(stopped) << board.console();
    settle();
    EXPECT_EQ(board.console().find("rec file", *stopped), std::string::npos);

    ASSERT_TRUE(board.act("ibc snapshot end"));
    const auto boot = board.wait_for("[board] power on: boot 2 (reboot requested by recorder");
    ASSERT_TRUE(boot) << board.console();
    ASSERT_TRUE(board.wait_for(rec_file(2), *boot)) << board.console();
    ASSERT_TRUE(board.until([&] { return !board.recording(2).records.empty(); }));
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    // The switch came with the 60th command, the stop with the 90th.
    const std::string console = board.console();
    const std::string sent = "[board] ctl: " + command;
    const size_t switched = console.find("[recorder] Full fps...");
    EXPECT_GT(switched, after_nth(console, sent, 60));
    EXPECT_LT(switched, after_nth(console, sent, 61));
    EXPECT_GT(console.find("[recorder] stop_recording...."), after_nth(console, sent, 90));
    EXPECT_EQ(sentences(board, kReboot), 1u);
    EXPECT_EQ(sentences(board, kFndOff), 0u);
    // Both files of the period were recorded in driving mode and closed whole.
    for (const int index : {0, 1}) {
        const asd::Recording rec = board.recording(index);
        expect_sound(rec, "period file", true);
        EXPECT_GT(rec.count(asd::Kind::Audio), 0u) << index;
        EXPECT_GT(video_count(rec, kRear), 0u) << index;
    }
    EXPECT_EQ(board.recordings(), (std::vector<int>{0, 1, 2}));
}

// A timed period of 60 s announced by 'T' commands: recording stops at the 50th and starts again
// in parking mode (one frame a second of each camera) at the 60th.
TEST(Modes, ATimedPeriodOf60SecondsStopsAtThe50thCommandAndParksAtThe60th) {
    BoardRun board("period-60");
    auto options = small_frames(board);
    options.insert(options.end(), {"--gps-fix-after", "1000"});
    board.start(options);
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    const std::string command = "ibc send T 10:00:00 10:01:00";
    auto send = [&](int from, int to) {
        for (int i = from; i <= to; ++i) ASSERT_TRUE(board.act(command)) << i;
    };
    send(1, 49);
    settle();
    EXPECT_EQ(count(board.console(), "stop_recording"), 0u);
    send(50, 50);
    const auto stopped = board.wait_for("[recorder] stop_recording....");
    ASSERT_TRUE(stopped) << board.console();
    send(51, 59);
    settle();
    EXPECT_EQ(board.console().find("rec file", *stopped), std::string::npos);
    send(60, 60);
    ASSERT_TRUE(board.wait_for("[recorder] ChangeDRMode", *stopped)) << board.console();
    ASSERT_TRUE(board.wait_for(rec_file(1), *stopped)) << board.console();
    ASSERT_TRUE(board.until([&] { return board.recording(1).count(asd::Kind::Video) >= 12; }));
    ASSERT_TRUE(board.act("ibc snapshot end"));
    const auto boot = board.wait_for("[board] power on: boot 2 (reboot requested by recorder");
    ASSERT_TRUE(boot) << board.console();
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    const std::string console = board.console();
    const std::string sent = "[board] ctl: " + command;
    const size_t stop = console.find("[recorder] stop_recording....");
    EXPECT_GT(stop, after_nth(console, sent, 50));
    EXPECT_LT(stop, after_nth(console, sent, 51));
    EXPECT_GT(console.find("[recorder] ChangeDRMode"), after_nth(console, sent, 60));
    EXPECT_EQ(sentences(board, kFndOff), 9u);
    EXPECT_EQ(sentences(board, kReboot), 1u);
    const asd::Recording driving = board.recording(0);
    expect_sound(driving, "rec00000000", true);
    EXPECT_GT(driving.count(asd::Kind::Audio), 0u);
    expect_parking_file(board.recording(1), 1.0, "rec00000001");
}

// Snapshots: four pictures of the rear camera in a set, a fifth request refused until the set
// ends; the index file names the set after the one in progress.
TEST(Modes, SnapshotsAreTakenFourToASet) {
    BoardRun board("snapshots");
    board.start({"--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    const fs::path dir = board.card() / "snapshot";
    auto index_file = [&] {
        const std::string b = read_file(dir / "index");
        return b.size() == 4
                   ? le::get_i32(std::span(reinterpret_cast<const uint8_t*>(b.data()), 4), 0)
                   : -1;
    };
    for (int n = 1; n <= 4; ++n) {
        ASSERT_TRUE(board.act("ibc snapshot"));
        const std::string name = "/mnt/mmcblk0p1/snapshot/001-" + std::to_string(n) + ".jpg";
        ASSERT_TRUE(board.wait_for("[recorder] " + name)) << board.console();
    }
    EXPECT_EQ(index_file(), 1);
    ASSERT_TRUE(board.act("ibc snapshot"));  // a fifth: refused
    settle();
    ASSERT_TRUE(board.act("ibc snapshot end"));
    ASSERT_TRUE(board.act("ibc snapshot"));
    ASSERT_TRUE(board.wait_for("[recorder] /mnt/mmcblk0p1/snapshot/002-1.jpg")) << board.console();
    // The line comes before the picture and the index are saved: the power stays on until then.
    ASSERT_TRUE(board.until([&] { return index_file() == 2; })) << board.console();
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"001-1.jpg", "001-2.jpg", "001-3.jpg", "001-4.jpg",
                                               "002-1.jpg", "index"}));
    EXPECT_EQ(index_file(), 2);
    // Each picture is a frame of the rear camera exactly as it went into the recording.
    const asd::Recording rec = board.recording(0, true);
    for (const auto& name : names) {
        if (name == "index") continue;
        const std::string jpeg = read_file(dir / name);
        const auto same = std::find_if(rec.records.begin(), rec.records.end(), [&](const auto& r) {
            const auto* v = std::get_if<asd::VideoRecord>(&r.body);
            return v != nullptr && v->channel == kRear && v->jpeg.size() == jpeg.size() &&
                   std::equal(v->jpeg.begin(), v->jpeg.end(),
                              reinterpret_cast<const uint8_t*>(jpeg.data()));
        });
        EXPECT_NE(same, rec.records.end()) << name;
    }
}

}  // namespace
}  // namespace e2e
