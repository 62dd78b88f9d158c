// Events on the whole board: an impact, the emergency button and the external alarm lock files
// in the recording index, switch the sub-board's recording indicator and play their prompts; the
// erase key clears the locks; the oldest event's files return to the ring when the locks run out;
// parking mode changes what locks.
#include <gtest/gtest.h>

#include "board_run.hpp"
#include "recording_checks.hpp"

namespace e2e {
namespace {

using namespace std::chrono_literals;

constexpr unsigned kButton = 0;
constexpr unsigned kImpact = 1;
constexpr unsigned kAlarm = 2;

const std::string kRec0 = "$PZVK,#REC0,00*cc";
const std::string kRec1 = "$PZVK,#REC1,00*cc";

// The recording-indicator commands the sub-board got, in order.
std::vector<std::string> indicator(const BoardRun& board) {
    std::vector<std::string> out;
    for (const auto& l : with_text(board.subboard(), "#REC")) out.push_back(l.text);
    return out;
}

// The impact locks the file being recorded; the post-recording goes on over the next file change
// (at 20 MiB) and ends at the second (the GPS's time), which locks the file recorded then, all
// within the post-recording's 60 s. The cameras' rate sets that order, not the machine's speed:
// three frames a second of 98000 bytes from each camera fill a file in 35 s at the very least
// (longer on a slow machine), so the impact comes once file 0 holds 17 MiB; it is locked long
// before the last 3 MiB are written (5 s or more), which even a slow machine writes well within
// the 60 s. Then a frame a second keeps file 1 from filling while the GPS sets the clock.
TEST(Events, AnImpactWhileDrivingLocksItsFileAndTheNextUntilThePostRecordingEnds) {
    BoardRun board("impact");
    const std::string jpegs = board.big_jpeg_dir();
    board.start({"--camera-fps", "3", "--front-jpegs", jpegs, "--rear-jpegs", jpegs,
                 "--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(0))) << board.console();
    ASSERT_TRUE(board.until(
        [&] {
            std::error_code ec;
            const auto size = fs::file_size(board.recording_path(0), ec);
            return !ec && size >= 17 * 1024 * 1024;
        },
        180s));
    ASSERT_TRUE(board.act("impact 4 x"));
    ASSERT_TRUE(board.wait_for("[recorder] Gsensor value over critical section area"))
        << board.console();
    const auto locked = board.wait_for("[recorder] lock file 0 lock index 1");
    ASSERT_TRUE(locked) << board.console();
    ASSERT_EQ(board.console().find(rec_file(1)), std::string::npos) << board.console();
    ASSERT_TRUE(board.wait_for(rec_file(1), *locked)) << board.console();  // file 0 is full
    ASSERT_TRUE(board.act("camera fps 1"));
    auto locks = board.recinfo();
    ASSERT_TRUE(locks);
    EXPECT_EQ(locks->locked(), std::vector<size_t>{0});
    EXPECT_EQ(indicator(board), std::vector<std::string>{kRec0});

    ASSERT_TRUE(board.act("gps fix"));  // the sixth fix changes the clock and the file
    const auto gps = board.wait_for("[recorder] Receive time to GPS");
    ASSERT_TRUE(gps) << board.console();
    const auto end = board.wait_for("[recorder] end of post recording", *gps);
    ASSERT_TRUE(end) << board.console();
    EXPECT_EQ(count(board.console(), "[recorder] end of post recording"), 1u);
    ASSERT_TRUE(board.wait_for(rec_file(2), *end)) << board.console();
    ASSERT_TRUE(board.until([&] { return board.prompts().size() >= 2; }));
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    locks = board.recinfo();
    ASSERT_TRUE(locks);
    EXPECT_EQ(locks->lockCount, 1u);
    EXPECT_EQ(locks->locked(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(locks->entry[0], Recinfo::lock(kImpact, 1));
    EXPECT_EQ(locks->entry[1], Recinfo::lock(kImpact, 1));
    EXPECT_EQ(locks->next, 3u);
    EXPECT_EQ(indicator(board), (std::vector<std::string>{kRec0, kRec1}));
    EXPECT_EQ(board.prompts(), (std::vector<std::string>{"074.wav", "071.wav"}));
    const asd::Recording first = board.recording(0);
    expect_sound(first, "rec00000000", true);
    EXPECT_GT(first.fileSize + 98026, kMaxFileSize);  // closed at the 20 MiB bound
    expect_sound(board.recording(1), "rec00000001", true);
}

// With a file change before them, the button and the alarm lock the file being recorded and the
// one before it; the erase key in between clears every lock.
TEST(Events, TheButtonAndTheAlarmLockTheRecentFilesAndTheEraseKeyClearsThem) {
    BoardRun board("button-alarm");
    board.start({"--gps-fix-after", "0"});
    ASSERT_TRUE(board.wait_for(rec_file(1))) << board.console();  // at the sixth GPS fix

    ASSERT_TRUE(board.act("button"));
    ASSERT_TRUE(board.wait_for("[recorder] Emergency Recording....")) << board.console();
    ASSERT_TRUE(board.wait_for("[recorder] lock file 1 lock index 1")) << board.console();
    // The index is saved after the lines that tell of the locks.
    std::optional<Recinfo> locks;
    ASSERT_TRUE(board.until([&] {
        locks = board.recinfo();
        return locks && locks->lockCount != 0;
    })) << board.console();
    EXPECT_EQ(locks->lockCount, 1u);
    EXPECT_EQ(locks->locked(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(locks->entry[0], Recinfo::lock(kButton, 1));
    EXPECT_EQ(locks->entry[1], Recinfo::lock(kButton, 1));
    EXPECT_EQ(locks->next, 2u);

    ASSERT_TRUE(board.act("key erase"));
    ASSERT_TRUE(board.wait_for("[recorder] clear lock file")) << board.console();
    ASSERT_TRUE(board.until([&] {
        const auto r = board.recinfo();
        return r && r->lockCount == 0 && r->locked().empty();
    })) << board.console();
    ASSERT_TRUE(board.until([&] { return board.prompts().size() >= 2; }));

    const size_t before_alarm = board.console().size();
    ASSERT_TRUE(board.act("alarm"));
    ASSERT_TRUE(board.wait_for("[recorder] External Alram....", before_alarm)) << board.console();
    ASSERT_TRUE(board.wait_for("[recorder] lock file 1 lock index 1", before_alarm))
        << board.console();
    settle();
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    locks = board.recinfo();
    ASSERT_TRUE(locks);
    EXPECT_EQ(locks->lockCount, 1u);
    EXPECT_EQ(locks->locked(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(locks->entry[0], Recinfo::lock(kAlarm, 1));
    EXPECT_EQ(locks->entry[1], Recinfo::lock(kAlarm, 1));
    // Event, erased (back to normal), event.
    EXPECT_EQ(indicator(board), (std::vector<std::string>{kRec0, kRec1, kRec0}));
    // The button's prompt and the erase key's; the alarm has none.
    EXPECT_EQ(board.prompts(), (std::vector<std::string>{"074.wav", "079.wav"}));
    EXPECT_EQ(count(board.console(), "Gsensor value over critical section area"), 0u);
}

// Six events fill a card's locks: the seventh releases the oldest event's files, the others
// move up a generation, the new event takes the last. The erase key is switched off.
TEST(Events, WhenTheLocksRunOutTheOldestEventsFilesReturnToTheRing) {
    BoardRun board("rotation");
    BasicConf conf;
    conf.eraseDisabled = 1;
    board.configure(conf);
    Recinfo info;
    info.next = 10;
    info.lockCount = 6;
    info.entry[3] = Recinfo::lock(kImpact, 1);
    info.entry[4] = Recinfo::lock(kImpact, 1);
    info.entry[5] = Recinfo::lock(kButton, 2);
    info.entry[6] = Recinfo::lock(kAlarm, 3);
    info.entry[7] = Recinfo::lock(kImpact, 4);
    info.entry[8] = Recinfo::lock(kButton, 5);
    info.entry[9] = Recinfo::lock(kImpact, 6);
    board.write_recinfo(info);
    board.start({"--card", "450M", "--gps-fix-after", "1000"});
    ASSERT_TRUE(board.wait_for(rec_file(10))) << board.console();
    ASSERT_TRUE(board.act("button"));
    ASSERT_TRUE(board.wait_for("[recorder] Lock Rotation....")) << board.console();
    ASSERT_TRUE(board.wait_for("[recorder] lock file 10 lock index 6")) << board.console();
    ASSERT_TRUE(board.until([&] { return !board.prompts().empty(); }));
    ASSERT_TRUE(board.act("key erase"));  // switched off: nothing at all
    settle();
    ASSERT_EQ(board.flush_and_quit(), 0) << board.output();

    const std::string console = board.console();
    EXPECT_NE(console.find("[recorder] Max file count : 23, Max Lock Count 6"), std::string::npos);
    EXPECT_EQ(count(console, "clear lock file"), 0u);
    const auto locks = board.recinfo();
    ASSERT_TRUE(locks);
    EXPECT_EQ(locks->lockCount, 6u);
    EXPECT_EQ(locks->locked(), (std::vector<size_t>{5, 6, 7, 8, 9, 10}));
    EXPECT_EQ(locks->entry[5], Recinfo::lock(kButton, 1));
    EXPECT_EQ(locks->entry[6], Recinfo::lock(kAlarm, 2));
    EXPECT_EQ(locks->entry[7], Recinfo::lock(kImpact, 3));
    EXPECT_EQ(locks->entry[8], Recinfo::lock(kButton, 4));
    EXPECT_EQ(locks->entry[9], Recinfo::lock(kImpact, 5));
    EXPECT_EQ(locks->entry[10], Recinfo::lock(kButton, 6));
    EXPECT_EQ(locks->next, 11u);
    EXPECT_EQ(indicator(board), std::vector<std::string>{kRec0});
    EXPECT_EQ(board.prompts(), std::vector<std::string>{"074.wav"});
}

}  // namespace
}  // namespace e2e
