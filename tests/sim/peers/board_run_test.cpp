// Whole-board runs of build/bin/simboard with its peers and devices, judged from the outside:
// the peers' transcripts, the playback and codec logs, the RTC's state and the console, with the
// probe program (the recorder's own link and device code) or the real programs on the board.
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "peers_support.hpp"
#include "sim_board.hpp"

namespace {

namespace fs = std::filesystem;
using peerstest::transcript_sentences;
using testsupport::count;
using testsupport::read_file;

std::string probe(const std::string& args) {
    return std::string(PEERS_PROBE_EXE) + " " + args;
}

// A board with no modules and no programs unless a test gives them.
class PeersRun : public ::testing::Test {
  protected:
    // Runs the board to its end; its exit status.
    int run(const std::vector<std::string>& options) { return board_.run(options); }
    std::string scenario(const std::string& text) {
        const fs::path p = board_.dir() / ("scenario" + std::to_string(++scenarios_) + ".txt");
        std::ofstream(p) << text;
        return p.string();
    }
    std::string console() { return board_.console(); }
    std::string output() { return board_.output(); }
    // Runs the board until its console holds `text` (`times` times), however long the machine
    // takes to get there, then stops it: a run of fixed length can end before a slow program
    // has said its part.
    void run_until(const std::vector<std::string>& options, const std::string& text,
                   int times = 1) {
        board_.start(options);
        ASSERT_TRUE(board_.wait_for(text, 0, times)) << console();
        ASSERT_NO_FATAL_FAILURE(quit());
    }
    void quit() {
        ASSERT_TRUE(board_.act("quit"));
        ASSERT_EQ(board_.wait_exit(), 0) << output();
    }

    testsupport::SimBoard board_{"peersrun"};
    const fs::path& root_ = board_.root();
    int scenarios_ = 0;
};

// The recorder's start-up configuration for time zone 22 (GMT+0530, no daylight saving there)
// with DST on and the speed in knots: three passes and the closing display level.
std::vector<std::string> configuration_22() {
    std::vector<std::string> out;
    for (int pass = 0; pass < 3; ++pass) {
        out.insert(out.end(), {"$PZVK,#DRSTART,00*cc", "$PZVK,#GMT+0530,00*cc",
                               "$PZVK,#DSTOFF,00*cc", "$PZVK,#SPEEDKN,00*cc", "$PZVK,#FND5,00*cc"});
    }
    out.push_back("$PZVK,#FND5,00*cc");
    return out;
}

TEST_F(PeersRun, TheLinksCarryConfigurationGpsKeysAndIbcStates) {
    // The probe writes GPS_version.txt as the recorder does, without a flush thread behind it.
    ASSERT_EQ(run({"--card-durability", "host", "--gps-fix-after", "0", "--start",
                   probe("links 22 1 2"), "--scenario",
                   scenario("1.2 ibc parking\n+0.2 key erase\n+0.2 ibc send AO 09:15:05 09:16:45\n"
                            "+0.3 gps lost\n"),
                   "--duration", "3.5"}),
              0)
        << output();
    const std::string log = console();
    // The version query, then the configuration, in the sub-board's transcript.
    std::vector<std::string> expected = {"$PZVK,#SUB35,00*cc"};
    const auto config = configuration_22();
    expected.insert(expected.end(), config.begin(), config.end());
    EXPECT_EQ(transcript_sentences(root_ / "log/subboard.log"), expected);
    EXPECT_NE(log.find("[peers_probe] version query: 1 (flag 1)"), std::string::npos) << log;
    EXPECT_EQ(read_file(root_ / "mnt/mmcblk0p1/GPS_version.txt"), "SUB3.5_Ver : 20100601");
    EXPECT_NE(log.find("[subboard] time zone GMT+0530"), std::string::npos) << log;

    // GPS records with a fix, a key, then no fix; the IBC's states.
    EXPECT_NE(log.find("[peers_probe] GPS A 4722.452000N 832.316000E"), std::string::npos) << log;
    EXPECT_EQ(count(log, " key 254 "), 1u) << log;
    EXPECT_NE(log.find("[peers_probe] GPS V 0.000000N 0.000000E"), std::string::npos) << log;
    EXPECT_NE(log.find("[peers_probe] IBC BFFF 00:00:00 00:00:00"), std::string::npos) << log;
    EXPECT_NE(log.find("[peers_probe] IBC AOFF 09:15:05 09:16:45"), std::string::npos) << log;
    EXPECT_EQ(transcript_sentences(root_ / "log/ibc.log"),
              std::vector<std::string>(3, "$PIB,#APWSTART,00*cc"));
}

TEST_F(PeersRun, TheSubBoardKindDecidesTheVersionAnswer) {
    // A track of its own, too.
    std::ofstream(board_.dir() / "t.gpx") << "<gpx><trkpt lat=\"-33.5\" lon=\"151.25\"/>"
                                             "<trkpt lat=\"-33.5001\" lon=\"151.25\"/></gpx>\n";
    // The probe writes GPS_version.txt as the recorder does, without a flush thread behind it.
    ASSERT_NO_FATAL_FAILURE(run_until({"--card-durability", "host", "--subboard", "2.4:20100930",
                                       "--gps-track", (board_.dir() / "t.gpx").string(),
                                       "--gps-fix-after", "0", "--run", probe("links 14 0 0")},
                                      "[peers_probe] GPS A 3330.00"));
    EXPECT_NE(console().find("version query: 2 (flag 2)"), std::string::npos) << console();
    // 11 m between the points: 40 km/h back and forth.
    EXPECT_NE(console().find("GPS A 3330.00"), std::string::npos) << console();
    EXPECT_NE(console().find("S 15115.000000E speed 40 heading "), std::string::npos) << console();
    EXPECT_EQ(read_file(root_ / "mnt/mmcblk0p1/GPS_version.txt"), "SUB2.4_Ver : 20100930");

    // The 3.5 board of 2010-04-30 answers, but is not taken for one that reports power-off.
    fs::remove(root_ / "log/console.log");
    ASSERT_NO_FATAL_FAILURE(run_until({"--card-durability", "host", "--subboard", "3.5:20100430",
                                       "--run", probe("links 14 0 0")},
                                      "version query: "));
    EXPECT_NE(console().find("version query: 1 (flag 0)"), std::string::npos) << console();
    EXPECT_EQ(read_file(root_ / "mnt/mmcblk0p1/GPS_version.txt"), "SUB3.5_Ver : 20100430");

    // Options that cannot be used stop the board before it starts.
    EXPECT_EQ(run({"--gps-track", (board_.dir() / "missing.gpx").string()}), 2);
    EXPECT_NE(output().find("--gps-track"), std::string::npos) << output();
    EXPECT_NE(output().find("cannot read"), std::string::npos) << output();
    EXPECT_EQ(run({"--subboard", "3.5:20101301"}), 2);
    EXPECT_NE(output().find("not a date"), std::string::npos) << output();
}

TEST_F(PeersRun, TheRecordersOwnStartUpConfiguresTheSubBoardAndTakesGpsTime) {
    board_.bin_dir = BIN_DIR;
    board_.module_dir = MODULE_DIR;  // without its cameras the recorder starts no link
    // A flat RTC: the recorder starts from its default date and takes the GPS's time at the
    // sixth fix. The board runs until then, however long the recorder takes to start.
    board_.start({"--rtc", "invalid", "--gps-fix-after", "0"});
    ASSERT_TRUE(board_.running());
    const bool tookTime =
        board_.wait_for("[recorder] Receive time to GPS", 0, 1, testsupport::SimBoard::Seconds(120))
            .has_value();
    // The recorder says so before it writes the RTC: the RTC's state file tells when it has.
    const auto rtc_stands = [&] {
        return read_file(root_ / "state/rtc").find("registers 80") != std::string::npos;
    };
    if (tookTime) board_.until([&] { return !rtc_stands(); }, testsupport::SimBoard::Seconds(30));
    ASSERT_TRUE(board_.act("quit"));
    ASSERT_EQ(board_.wait_exit(), 0) << output();
    const std::string log = console();
    ASSERT_TRUE(tookTime) << log;
    const auto sentences = transcript_sentences(root_ / "log/subboard.log");
    EXPECT_EQ(std::count(sentences.begin(), sentences.end(), "$PZVK,#DRSTART,00*cc"), 3) << log;
    EXPECT_EQ(std::count(sentences.begin(), sentences.end(), "$PZVK,#FND5,00*cc"), 4) << log;
    EXPECT_FALSE(rtc_stands()) << "the RTC still stands";
}

TEST_F(PeersRun, TheRtcKeepsItsTimeOverRebootsAndBoardRestarts) {
    const std::string read = "[peers_probe] ReadRTC 0: 2015-06-01 12:00:0";
    ASSERT_NO_FATAL_FAILURE(run_until({"--run", probe("rtc-set 15 6 1 12 0 0")}, read));
    std::string log = console();
    EXPECT_NE(log.find("[peers_probe] <i2c_write_data> success.."), std::string::npos) << log;
    EXPECT_NE(read_file(root_ / "state/rtc").find("registers 00 00 12 00 01 06 15"),
              std::string::npos);

    // A new board on the same root, rebooted once the probe has read the clock: the clock ran
    // on meanwhile.
    fs::remove(root_ / "log/console.log");
    board_.start({"--run", probe("rtc-read")});
    ASSERT_TRUE(board_.wait_for(read)) << console();
    ASSERT_TRUE(board_.act("reboot"));
    ASSERT_TRUE(board_.wait_for(read, 0, 2)) << console();
    ASSERT_TRUE(board_.act("quit"));
    ASSERT_EQ(board_.wait_exit(), 0) << output();
    log = console();
    EXPECT_NE(log.find("[board] RTC: 2015-06-01 12:00:0"), std::string::npos) << log;
    EXPECT_LT(log.find("[peers_probe] ReadRTC 0"), log.find("power on: boot 2")) << log;
    EXPECT_EQ(count(log, read), 2u) << log;
}

TEST_F(PeersRun, AFlatOrSilentRtcIsWhatTheRecorderSees) {
    ASSERT_NO_FATAL_FAILURE(run_until({"--rtc", "invalid", "--run", probe("rtc-read")},
                                      "peers_probe exited with status"));
    EXPECT_NE(console().find("[peers_probe] READ 2000-01-01 00:00:00"), std::string::npos)
        << console();

    fs::remove(root_ / "log/console.log");
    ASSERT_NO_FATAL_FAILURE(run_until({"--rtc", "unreadable", "--run", probe("rtc-read")},
                                      "peers_probe exited with status"));
    EXPECT_NE(console().find("[peers_probe] RTC read error"), std::string::npos) << console();
    EXPECT_NE(console().find("[peers_probe] ReadRTC -1"), std::string::npos) << console();
}

// The level set from the knob is checked by VolcheckReadsTheKnob.
TEST_F(PeersRun, VolcheckSetsTheCodecAndEndsWithoutTheAccelerometer) {
    board_.bin_dir = BIN_DIR;
    // No accelerometer driver (no modules): 255, and no level.
    ASSERT_NO_FATAL_FAILURE(run_until({"--run", "volcheck"}, "volcheck exited with status"));
    const std::string log = console();
    EXPECT_NE(log.find("[volcheck] i2c device driver open"), std::string::npos) << log;
    EXPECT_NE(log.find("volcheck exited with status 255"), std::string::npos) << log;
    EXPECT_EQ(log.find("APP LEVEL"), std::string::npos) << log;
}

TEST_F(PeersRun, VolcheckReadsTheKnob) {
    if (!fs::exists(fs::path(MODULE_DIR) / "accelmon.so"))
        GTEST_SKIP() << "the accelerometer driver (accelmon) is not built yet";
    board_.bin_dir = BIN_DIR;
    board_.module_dir = MODULE_DIR;
    ASSERT_NO_FATAL_FAILURE(run_until({"--run", "volcheck"}, "volcheck exited with status"));
    const std::string log = console();
    const auto at = log.find("[volcheck] APP LEVEL = ");
    ASSERT_NE(at, std::string::npos) << log;
    const int level = std::atoi(log.c_str() + at + 23);
    char expected[64];
    std::snprintf(expected, sizeof expected, "reg 0x6D = 0x%02X (%d) output volume", level & 0xFF,
                  level & 0xFF);
    EXPECT_NE(read_file(root_ / "log/codec.log").find(expected), std::string::npos);
}

TEST_F(PeersRun, PromptsPlayedWithCatAreLoggedAtTheirLength) {
    ASSERT_EQ(run({"--run", probe("prompt 74 255"), "--duration", "2"}), 0) << output();
    const std::string log = console();
    EXPECT_NE(log.find("[peers_probe] prompt done (event 2)"), std::string::npos) << log;
    EXPECT_NE(log.find("[peers_probe] prompt done (event 3)"), std::string::npos) << log;
    EXPECT_NE(log.find("[peers_probe] all prompts played"), std::string::npos) << log;
    EXPECT_EQ(transcript_sentences(root_ / "log/playback.log"),
              (std::vector<std::string>{"074.wav 300 ms 2444 bytes shell",
                                        "078.wav 300 ms 2444 bytes shell"}));
    // The microphone down during each prompt, up again after it.
    const auto codec = transcript_sentences(root_ / "log/codec.log");
    EXPECT_EQ(codec, (std::vector<std::string>{"reg 0x5A = 0x10 (16) microphone volume",
                                               "reg 0x5A = 0x38 (56) microphone volume",
                                               "reg 0x5A = 0x10 (16) microphone volume",
                                               "reg 0x5A = 0x38 (56) microphone volume"}));
}

TEST_F(PeersRun, AWatchdogNobodyFeedsResetsTheBoard) {
    ASSERT_EQ(run({"--start", probe("watchdog 1"), "--duration", "3.5"}), 0);
    const std::string log = console();
    EXPECT_NE(log.find("[peers_probe] watchdog armed (0): 1 s"), std::string::npos) << log;
    EXPECT_NE(log.find("watchdog: not kept alive for 1 s: resetting the board"), std::string::npos)
        << log;
    EXPECT_NE(log.find("power on: boot 2 (watchdog)"), std::string::npos) << log;
}

// The test's side of a PTY given to the board with --tty1/--tty2: it reads the lines the
// program sends and answers the version query as the built-in sub-board does.
class Harness {
  public:
    // The slave stays open here too, so that the board's closing it does not hang up the line.
    Harness() {
        thread_ = std::thread([this] { run(); });
    }
    ~Harness() {
        stop_ = true;
        thread_.join();
    }
    const std::string& slave_path() const { return pty_.slave_path(); }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    void run() {
        const int master = pty_.master();
        std::string partial;
        while (!stop_) {
            pollfd p{master, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0 || (p.revents & POLLIN) == 0) continue;
            std::array<char, 256> buf{};
            const ssize_t n = ::read(master, buf.data(), buf.size());
            for (ssize_t i = 0; i < n; ++i) {
                const char c = buf[static_cast<size_t>(i)];
                if (c != '\n') {
                    partial += c;
                    continue;
                }
                if (!partial.empty() && partial.back() == '\r') partial.pop_back();
                if (partial == "$PZVK,#SUB35,00*cc") {
                    const std::string answer = "$SUBOK20100601\r\n";
                    if (::write(master, answer.data(), answer.size()) < 0) break;
                }
                std::lock_guard lock(mutex_);
                lines_.push_back(partial);
                partial.clear();
            }
        }
    }

    peerstest::Pty pty_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

TEST_F(PeersRun, PortsAttachedToAHarnessGiveItWhatTheBuiltInPeersGet) {
    std::vector<std::string> built_in_front, built_in_ibc;
    // Until the configuration and the IBC's start are through, however long that takes.
    board_.start({"--run", probe("links 22 1 2")});
    ASSERT_TRUE(board_.until([&] {
        return transcript_sentences(root_ / "log/subboard.log").size() >= 17 &&
               transcript_sentences(root_ / "log/ibc.log").size() >= 3;
    })) << console();
    ASSERT_NO_FATAL_FAILURE(quit());
    built_in_front = transcript_sentences(root_ / "log/subboard.log");
    built_in_ibc = transcript_sentences(root_ / "log/ibc.log");
    ASSERT_EQ(built_in_front.size(), 17u);  // the version query and 16 of configuration
    ASSERT_EQ(built_in_ibc.size(), 3u);

    fs::remove_all(root_);
    Harness front, ibc;
    board_.start({"--tty1", front.slave_path(), "--tty2", ibc.slave_path(), "--run",
                  probe("links 22 1 2"), "--scenario", scenario("0.5 gps fix\n")});
    ASSERT_TRUE(board_.wait_for("gps fix: the front sub-board is not on this board")) << console();
    ASSERT_TRUE(board_.until([&] {
        return front.lines().size() >= built_in_front.size() &&
               ibc.lines().size() >= built_in_ibc.size();
    })) << console();
    ASSERT_NO_FATAL_FAILURE(quit());
    EXPECT_EQ(front.lines(), built_in_front);
    EXPECT_EQ(ibc.lines(), built_in_ibc);
    const std::string log = console();
    EXPECT_NE(log.find("ttySAC1 -> " + front.slave_path()), std::string::npos) << log;
    EXPECT_NE(log.find("version query: 1"), std::string::npos) << log;  // the harness answered
    // The built-in peers did not run: no transcripts, and their actions say why.
    EXPECT_FALSE(fs::exists(root_ / "log/subboard.log"));
    EXPECT_FALSE(fs::exists(root_ / "log/ibc.log"));
    EXPECT_NE(log.find("gps fix: the front sub-board is not on this board"), std::string::npos)
        << log;
}

}  // namespace
