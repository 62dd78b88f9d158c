// Failures on the whole board: the vehicle supply going away, a front camera that stops
// answering, a card that is full or taken out, and the links that go on during the error halt.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "board_run.hpp"
#include "recording_checks.hpp"

namespace e2e {
namespace {

std::vector<double> times_of(const std::vector<LogLine>& lines, const std::string& text) {
    std::vector<double> out;
    for (const auto& l : lines) {
        if (l.text == text) out.push_back(l.time);
    }
    return out;
}

// Boots the board and waits until its first file holds ten frames.
void start_recording(BoardRun& board) {
    board.start({"--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    ASSERT_TRUE(board.until([&] { return board.recording(0).count(asd::Kind::Video) >= 10; }));
}

// The error halt repeats its code to the sub-board every half second (and its prompt), and keeps
// the watchdog fed: the board is not reset.
void expect_error_halt(BoardRun& board, const std::string& sentence) {
    ASSERT_TRUE(board.until([&] { return times_of(board.subboard(), sentence).size() >= 6; }))
        << board.console();
    // Fed every half second (the watchdog's timeout is 30 s).
    const std::string status = board.status();
    const size_t at = status.find("watchdog running, 30 s timeout, ");
    ASSERT_NE(at, std::string::npos) << status;
    EXPECT_GT(std::atof(status.c_str() + at + 32), 25.0) << status;
    ASSERT_EQ(board.quit(), 0) << board.output();

    expect_paced(times_of(board.subboard(), sentence), 0.5, 6, sentence);
    const auto prompts = board.prompts();
    EXPECT_GE(std::count(prompts.begin(), prompts.end(), "079.wav"), 3);
    const std::string console = board.console();
    EXPECT_EQ(console.find("watchdog: not kept alive"), std::string::npos);
    EXPECT_EQ(console.find("power on: boot 2"), std::string::npos);
}

// The supply fails: the recorder quiets the codec, tells the sub-board, closes its file whole
// and reboots; back on power it records again.
TEST(Faults, PowerDetectShutsDownAndReboots) {
    BoardRun board("power-detect");
    ASSERT_NO_FATAL_FAILURE(start_recording(board));
    ASSERT_TRUE(board.act("power fail"));
    ASSERT_TRUE(board.wait_for("[recorder] shutdown")) << board.console();
    const auto boot = board.wait_for("[board] power on: boot 2 (reboot requested by recorder");
    ASSERT_TRUE(boot) << board.console();
    ASSERT_TRUE(board.act("power restore"));
    ASSERT_TRUE(board.wait_for(rec_file(1), *boot)) << board.console();
    ASSERT_TRUE(board.until([&] { return !board.recording(1).records.empty(); }));
    ASSERT_EQ(board.quit(), 0) << board.output();

    const std::string console = board.console();
    EXPECT_LT(console.find("[recorder] shutdown"),
              console.find("[board] reboot: reboot requested"));
    const auto reboot = times_of(board.subboard(), "$PZVK,#REBOOT,00*cc");
    ASSERT_EQ(reboot.size(), 1u);
    // The volume went to 0 before the notice.
    const auto silenced = with_text(board.codec(), "reg 0x6D = 0x00 (0) output volume");
    ASSERT_EQ(silenced.size(), 1u);
    EXPECT_LE(silenced[0].time, reboot[0]);
    expect_sound(board.recording(0), "rec00000000", true);
    expect_sound(board.recording(1), "rec00000001", false);
}

// The front camera's coprocessor stays busy: the recorder closes its file, leaves the
// sensorError marker and halts with code 1.
TEST(Faults, AFrontCameraFailureHaltsWithError1) {
    BoardRun board("front-camera");
    ASSERT_NO_FATAL_FAILURE(start_recording(board));
    ASSERT_TRUE(board.act("camera fail front busy"));
    ASSERT_TRUE(board.wait_for("[recorder] Capture error..")) << board.console();
    ASSERT_TRUE(board.wait_for("error halt, code 1")) << board.console();
    expect_error_halt(board, "$PZVK,#ERR1,00*cc");
    EXPECT_TRUE(fs::exists(board.data() / "sensorError"));
    EXPECT_FALSE(fs::exists(board.data() / "Rear_sensorError"));
    expect_sound(board.recording(0), "rec00000000", true);
    EXPECT_EQ(board.recordings(), std::vector<int>{0});
}

TEST(Faults, AFullCardHaltsWithErrorSD) {
    BoardRun board("card-full");
    ASSERT_NO_FATAL_FAILURE(start_recording(board));
    ASSERT_TRUE(board.act("card full"));
    ASSERT_TRUE(board.wait_for("error halt, code 255")) << board.console();
    expect_error_halt(board, "$PZVK,#ERRSD,00*cc");
    // What was written before stays readable; the header could not be completed any more.
    const asd::Recording rec = board.recording(0);
    EXPECT_FALSE(rec.damage) << rec.damage->reason;
    EXPECT_GE(rec.count(asd::Kind::Video), 10u);
    EXPECT_EQ(board.recordings(), std::vector<int>{0});
}

TEST(Faults, ARemovedCardHaltsWithErrorSD) {
    BoardRun board("card-removed");
    ASSERT_NO_FATAL_FAILURE(start_recording(board));
    ASSERT_TRUE(board.act("card remove"));
    ASSERT_TRUE(board.wait_for("error halt, code 255")) << board.console();
    expect_error_halt(board, "$PZVK,#ERRSD,00*cc");
}

// A card that fills up while parking halts the recorder from the parking capture; the IBC
// reader goes on, and the engine starting again (IBC 'C') still reboots the box.
TEST(Faults, AStorageHaltWhileParkingStillRebootsOnTheEngineStart) {
    BoardRun board("halt-parking");
    board.start({"--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    ASSERT_TRUE(board.act("ibc parking"));
    ASSERT_TRUE(board.wait_for(rec_file(1))) << board.console();  // after the display's delay
    ASSERT_TRUE(board.until([&] { return board.recording(1).count(asd::Kind::Video) >= 2; }));
    ASSERT_TRUE(board.act("card full"));
    const auto halted = board.wait_for("error halt, code 255");
    ASSERT_TRUE(halted) << board.console();
    ASSERT_TRUE(board.until([&] {
        return times_of(board.subboard(), "$PZVK,#ERRSD,00*cc").size() >= 2;
    })) << board.console();

    ASSERT_TRUE(board.act("ibc driving"));
    ASSERT_TRUE(board.wait_for("[recorder] System rebooting..", *halted)) << board.console();
    const auto boot = board.wait_for("[board] power on: boot 2 (reboot requested by recorder");
    ASSERT_TRUE(boot) << board.console();
    ASSERT_EQ(board.quit(), 0) << board.output();

    const auto reboot = times_of(board.subboard(), "$PZVK,#REBOOT,00*cc");
    ASSERT_EQ(reboot.size(), 1u);
    EXPECT_GT(reboot[0], times_of(board.subboard(), "$PZVK,#ERRSD,00*cc").front());
    // What the parking file holds up to the halt reads whole.
    const asd::Recording parked = board.recording(1);
    EXPECT_FALSE(parked.damage) << parked.damage->reason;
    EXPECT_GE(parked.count(asd::Kind::Video), 2u);
}

// After the front camera halted the recorder, the front sub-board's reader goes on: a GPS fix
// (which takes the writer's lock for GPS time) and then the erase key, which clears the locks on
// the card.
TEST(Faults, TheEraseKeyStillClearsTheLocksDuringAnErrorHalt) {
    BoardRun board("halt-erase");
    ASSERT_NO_FATAL_FAILURE(start_recording(board));
    ASSERT_TRUE(board.act("button"));
    ASSERT_TRUE(board.wait_for("[recorder] Lock Normal 1....")) << board.console();
    ASSERT_TRUE(board.until([&] {
        const auto r = board.recinfo();
        return r && r->lockCount == 1 && !r->locked().empty();
    }));
    ASSERT_TRUE(board.act("camera fail front busy"));
    const auto halted = board.wait_for("error halt, code 1");
    ASSERT_TRUE(halted) << board.console();

    ASSERT_TRUE(board.act("gps fix"));
    ASSERT_TRUE(board.wait_for("[recorder] Receive time to GPS", *halted)) << board.console();
    ASSERT_TRUE(board.act("key erase"));
    ASSERT_TRUE(board.wait_for("[recorder] clear lock file", *halted)) << board.console();
    ASSERT_TRUE(board.until([&] {
        const auto r = board.recinfo();
        return r && r->lockCount == 0 && r->locked().empty();
    })) << board.console();
    expect_error_halt(board, "$PZVK,#ERR1,00*cc");
}

}  // namespace
}  // namespace e2e
