// The card failing while the recorder works: full, failing or taken out in the middle of the
// recording, of a file change, or of the index save of an event. The recorder halts with ERRSD,
// keeps the watchdog fed and never crashes; once the card works again and the box reboots, it
// records again, and the locks it had before are all there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>

#include "board_run.hpp"
#include "recording_checks.hpp"

namespace e2e {
namespace {

using namespace std::chrono_literals;

constexpr const char* kErrSd = "$PZVK,#ERRSD,00*cc";

// The recording file the console names after `from`, or -1.
int recorded_after(const std::string& console, size_t from) {
    const std::string line = "rec file /mnt/mmcblk0p1/data/rec";
    const size_t at = console.find(line, from);
    return at == std::string::npos ? -1 : std::atoi(console.c_str() + at + line.size());
}

// fault: full, failing or remove; moment: recording, file-change or event.
class CardFault : public ::testing::TestWithParam<std::tuple<std::string, std::string>> {};

TEST_P(CardFault, HaltsThenRecordsAgainWithEveryEarlierLock) {
    const auto& [fault, moment] = GetParam();
    BoardRun board("card-" + fault + "-" + moment);
    // Two files locked by earlier events; the ring goes on after them.
    Recinfo info;
    info.next = 2;
    info.lockCount = 2;
    info.entry[0] = Recinfo::lock(1, 1);
    info.entry[1] = Recinfo::lock(0, 2);
    board.write_recinfo(info);
    board.write_card("data/rec00000000.asd", "an impact's file");
    board.write_card("data/rec00000001.asd", "a button's file");
    board.start({"--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(2))) << board.console();
    ASSERT_TRUE(board.until([&] { return board.recording(2).count(asd::Kind::Video) >= 5; }));

    if (moment == "recording") {
        ASSERT_TRUE(board.act("card " + fault));
    } else if (moment == "file-change") {
        // The sixth GPS fix sets the clock and starts a new file: its creation fails.
        ASSERT_TRUE(board.act("card at 1 names " + fault));
        ASSERT_TRUE(board.act("gps fix"));
    } else {
        // The button's lock is saved: the save fails.
        ASSERT_TRUE(board.act("card at 1 index " + fault));
        ASSERT_TRUE(board.act("button"));
    }
    ASSERT_TRUE(board.wait_for("error halt, code 255", 0, 1, 120s)) << board.console();
    ASSERT_NO_FATAL_FAILURE(expect_halting(board, kErrSd));

    ASSERT_TRUE(board.act(fault == "remove" ? "card insert" : "card ok"));
    ASSERT_TRUE(board.act("reboot"));
    const auto boot = board.wait_for("[board] power on: boot 2");
    ASSERT_TRUE(boot) << board.console();
    ASSERT_TRUE(board.wait_for("[recorder] rec file ", *boot)) << board.console();
    const int index = recorded_after(board.console(), *boot);
    ASSERT_GE(index, 2);
    ASSERT_TRUE(board.until([&] { return board.recording(index).count(asd::Kind::Video) >= 3; }));
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    const std::string console = board.console();
    EXPECT_EQ(console.find("[board] recorder killed"), std::string::npos) << console;
    EXPECT_EQ(console.find("[board] recorder exited"), std::string::npos) << console;
    EXPECT_EQ(console.find("power on: boot 3"), std::string::npos) << console;
    const auto after = board.recinfo();
    ASSERT_TRUE(after);
    EXPECT_EQ(after->entry[0], info.entry[0]);
    EXPECT_EQ(after->entry[1], info.entry[1]);
    EXPECT_EQ(read_file(board.recording_path(0)), "an impact's file");
    EXPECT_EQ(read_file(board.recording_path(1)), "a button's file");
    expect_sound(board.recording(index), "after the reboot", false);
}

INSTANTIATE_TEST_SUITE_P(Faults, CardFault,
                         ::testing::Combine(::testing::Values("full", "failing", "remove"),
                                            ::testing::Values("recording", "file-change", "event")),
                         [](const auto& info) {
                             std::string name =
                                 std::get<0>(info.param) + "_during_" + std::get<1>(info.param);
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

}  // namespace
}  // namespace e2e
