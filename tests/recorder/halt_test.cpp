// The error halt gives rec_mutex back: while one thread repeats the halt, the front sub-board's
// reader still takes GPS time and the erase key, and nothing opens a recording file again.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "app_fixture.hpp"
#include "eventually.hpp"

using namespace apptest;
using namespace storagetest;

namespace {

// A hook that holds the halting thread where the endless loop would begin, until released; the
// thread then leaves the halt by the test's exception.
struct HeldHalt {
    static inline std::mutex m;
    static inline std::condition_variable cv;
    static inline int code = -1;
    static inline bool release = false;

    static void Hook(int c) {
        std::unique_lock<std::mutex> lock(m);
        code = c;
        cv.notify_all();
        cv.wait(lock, [] { return release; });
        throw HaltEntered{c};
    }
    static bool Entered() {
        std::lock_guard<std::mutex> lock(m);
        return code >= 0;
    }
    static void Release() {
        {
            std::lock_guard<std::mutex> lock(m);
            release = true;
        }
        cv.notify_all();
    }
};

bool rec_mutex_free() {
    if (pthread_mutex_trylock(&rec_mutex) != 0) return false;
    pthread_mutex_unlock(&rec_mutex);
    return true;
}

class Halt : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        HeldHalt::code = -1;
        HeldHalt::release = false;
        set_halt_hook(HeldHalt::Hook);
    }
    void TearDown() override {
        HeldHalt::Release();
        if (halting.joinable()) halting.join();
        AppTest::TearDown();
    }
    // Enters the halt on a thread of its own, from where a writer enters it: holding rec_mutex.
    void HaltWhileWriting(int code) {
        halting = std::thread([code] {
            try {
                RecLock hold;
                error_halt(code, true);
            } catch (const HaltEntered&) {
            }
        });
        ASSERT_TRUE(testsupport::eventually(HeldHalt::Entered));
    }

    std::thread halting;
};

TEST_F(Halt, TheEraseKeyAndGpsTimeGoOnAndNoFileOpensAgain) {
    Recording();
    linktest::Console([] {
        RecLock hold;
        event_proc(LOCK_EMERGENCY);
    });
    ASSERT_NE(lock_entry(0), 0u);
    ASSERT_NO_FATAL_FAILURE(HaltWhileWriting(HALT_STORAGE));
    EXPECT_EQ(HeldHalt::code, HALT_STORAGE);
    EXPECT_EQ(rec_fd, -1);  // closed by the registered step
    EXPECT_EQ(g_bRec, 0);
    ASSERT_TRUE(testsupport::eventually(rec_mutex_free));

    // The sub-board's reader: a record with a fix (GPS time, under rec_mutex) and the erase key.
    auto erase = Gps('A', 254);
    const std::string console = linktest::Console([&] { Dispatch(EVENT_GPS, erase); });
    EXPECT_NE(console.find("clear lock file\n"), std::string::npos) << console;
    EXPECT_EQ(g_gps_init, 1);
    EXPECT_EQ(lock_entry(0), 0u);
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 0u);
    const auto stored = read_bytes(board.host("/mnt/mmcblk0p1/data/recinfo"));
    ASSERT_EQ(stored.size(), 5608u);
    EXPECT_EQ(u32_at(stored, 4), 0u);
    EXPECT_EQ(u32_at(stored, 8), 0u);

    // A mode command that opens a file (IBC 'B') opens none.
    const std::string refused = linktest::Console([] {
        RecLock hold;
        start_record();
    });
    EXPECT_NE(refused.find("no new recording file"), std::string::npos) << refused;
    EXPECT_EQ(g_bRec, 0);
    EXPECT_EQ(rec_fd, -1);
    EXPECT_FALSE(std::filesystem::exists(rec_path(1)));
}

// A halt entered without rec_mutex (the card's size at start-up) closes the file under it and
// leaves it free as well.
TEST_F(Halt, EnteredWithoutTheLockLeavesItFree) {
    Recording();
    halting = std::thread([] {
        try {
            error_halt(HALT_FRONT_CAMERA, true);
        } catch (const HaltEntered&) {
        }
    });
    ASSERT_TRUE(testsupport::eventually(HeldHalt::Entered));
    EXPECT_EQ(HeldHalt::code, HALT_FRONT_CAMERA);
    EXPECT_EQ(rec_fd, -1);
    EXPECT_TRUE(rec_mutex_free());
}

}  // namespace
