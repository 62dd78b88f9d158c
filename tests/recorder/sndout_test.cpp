// Voice prompts: the request slot, completion reports, the error state and the microphone level,
// with playback replaced by a player the test paces.
#include "sndout.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "RTCnVolume.h"
#include "link_test_support.hpp"

namespace {

using linktest::EventLog;

std::string Prompt(const char* file) {
    return std::string("cat /mnt/jffs_user/wave/") + file + ".wav > /dev/dsp";
}

struct PlayerState {
    std::vector<std::string> commands;
    int permits = 0;
    bool open = false;
    const std::filesystem::path* i2c_log = nullptr;
    std::vector<std::string> i2c_at_play;
};

// Stands in for the shell: records each command and plays it only when the test grants a
// permit (or once the player is opened for good).
class Player {
  public:
    static int Run(const char* command) {
        std::unique_lock<std::mutex> lock(m);
        s.commands.emplace_back(command);
        if (s.i2c_log != nullptr) s.i2c_at_play.push_back(linktest::ReadFile(*s.i2c_log));
        cv.notify_all();
        cv.wait(lock, [] { return s.open || s.permits > 0; });
        if (!s.open) --s.permits;
        return 0;
    }

    static void Reset() {
        Change([] { s = PlayerState{}; });
    }
    static void Grant(int n) {
        Change([n] { s.permits += n; });
    }
    static void Open() {
        Change([] { s.open = true; });
    }
    static void WatchI2C(const std::filesystem::path* log) {
        Change([log] { s.i2c_log = log; });
    }
    // The commands run so far, once there are at least `n`.
    static std::vector<std::string> WaitForCommands(size_t n) {
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(3), [n] { return s.commands.size() >= n; });
        return s.commands;
    }
    static std::vector<std::string> I2CAtPlay() {
        std::lock_guard<std::mutex> lock(m);
        return s.i2c_at_play;
    }

  private:
    template <typename F>
    static void Change(F f) {
        std::lock_guard<std::mutex> lock(m);
        f();
        cv.notify_all();
    }
    static inline PlayerState s;
    static inline std::mutex m;
    static inline std::condition_variable cv;
};

class Prompts : public ::testing::Test {
  protected:
    void SetUp() override {
        EventLog::Clear();
        Player::Reset();
        g_soundCommand = Player::Run;
        init_snd(EventLog::Callback, -1);
    }
    void TearDown() override {
        Player::Open();
        release_snd();
        g_soundCommand = os::system;
        Player::WatchI2C(nullptr);
    }
    testsupport::BoardRoot root;
};

std::vector<int> Types(const std::vector<linktest::Event>& events) {
    std::vector<int> types;
    for (const auto& e : events) types.push_back(e.type);
    return types;
}

TEST_F(Prompts, NewestRequestWinsWhilePlaying) {
    SetSoundOutFile(74);
    ASSERT_EQ(Player::WaitForCommands(1).size(), 1u);  // 074 is playing
    SetSoundOutFile(71);
    SetSoundOutFile(79);
    Player::Grant(2);
    const auto events = EventLog::WaitFor(2);
    EXPECT_EQ(Player::WaitForCommands(2), (std::vector<std::string>{Prompt("074"), Prompt("079")}));
    EXPECT_EQ(Types(events), (std::vector<int>{EVENT_SND_DONE, EVENT_SND_DONE}));
    for (const auto& e : events) EXPECT_TRUE(e.record.empty());
}

TEST_F(Prompts, SpecialPromptPlays078AndReportsTypeThree) {
    SetSoundOutFile(255);
    Player::Grant(1);
    const auto events = EventLog::WaitFor(1);
    EXPECT_EQ(Player::WaitForCommands(1), std::vector<std::string>{Prompt("078")});
    EXPECT_EQ(Types(events), std::vector<int>{EVENT_SND078_DONE});
}

TEST_F(Prompts, SystemErrorFinishesThePromptThenRepeats079Unreported) {
    SetSoundOutFile(74);
    ASSERT_EQ(Player::WaitForCommands(1).size(), 1u);
    sndout_sysError();
    SetSoundOutFile(71);  // no longer served
    Player::Grant(3);
    const auto commands = Player::WaitForCommands(4);
    EXPECT_EQ(commands, (std::vector<std::string>{Prompt("074"), Prompt("079"), Prompt("079"),
                                                  Prompt("079")}));
    EXPECT_EQ(Types(EventLog::Now()), std::vector<int>{EVENT_SND_DONE});
}

TEST_F(Prompts, MicrophoneTurnedDownAroundEachPrompt) {
    const auto log = linktest::PlainI2C(root);
    Player::WatchI2C(&log);

    linktest::Console([] {
        SetSoundOutFile(74);
        Player::Grant(1);
        EventLog::WaitFor(1);
    });
    CloseIICDevice();
    // Microphone level 16 while the prompt plays, 56 again before the end is reported.
    EXPECT_EQ(Player::I2CAtPlay(), std::vector<std::string>{"\x5A\x10"});
    EXPECT_EQ(linktest::ReadFile(log), "\x5A\x10\x5A\x38");
}

}  // namespace
