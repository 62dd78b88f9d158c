// Whole-board runs: build/bin/simboard as a process, with the probe program in place of volcheck
// and recorder, judged from the outside (exit status, console log, card and flash, ctl).
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sim_board.hpp"

namespace {

namespace fs = std::filesystem;
using testsupport::count;
using testsupport::read_file;
using Seconds = testsupport::SimBoard::Seconds;

// A board with no modules and no programs unless a test gives them.
class BoardRun : public ::testing::Test {
  protected:
    // `simboard ctl` itself, on this board.
    int ctl(const std::vector<std::string>& words, std::string& output) {
        std::vector<std::string> args = {"ctl", "--root", root_.string()};
        args.insert(args.end(), words.begin(), words.end());
        return board_.command(args, output);
    }
    // Waits for the board to answer (it prepares its root first): the status's exit status.
    int wait_answer(std::string& output) {
        int rc = 2;
        board_.until([&] { return (rc = ctl({"status"}, output)) != 2; }, Seconds(10));
        return rc;
    }
    std::string console() { return board_.console(); }

    testsupport::SimBoard board_{"boardrun"};
    const fs::path& dir_ = board_.dir();
    const fs::path& root_ = board_.root();
};

TEST_F(BoardRun, BootsWithoutModulesOrProgramsAndExitsZero) {
    ASSERT_EQ(board_.run({"--duration", "1"}), 0) << board_.output();
    const std::string out = board_.output();
    const std::string log = console();
    EXPECT_NE(log.find("power on: boot 1"), std::string::npos) << log;
    EXPECT_NE(log.find("module camcore is not built"), std::string::npos) << log;
    EXPECT_NE(log.find("module accelmon is not built"), std::string::npos) << log;
    EXPECT_NE(log.find("program volcheck is not built"), std::string::npos) << log;
    EXPECT_NE(log.find("program recorder is not built"), std::string::npos) << log;
    EXPECT_NE(log.find("power off (board stopping)"), std::string::npos) << log;
    EXPECT_EQ(out, log);  // stdout is not a terminal: the same lines, no status line drawing
    EXPECT_TRUE(fs::is_symlink(root_ / "dev/ttySAC1") || !fs::exists(root_ / "dev/ttySAC1"));
    EXPECT_EQ(read_file(root_ / "dev/.nodes").find("/dev/winbond0 c 240 0\n"), 0u);
}

TEST_F(BoardRun, ProgramsRunInOrderWithTheirConsolePrefixed) {
    ASSERT_EQ(board_.run({"--run", std::string(PROBE_EXE) + " say first", "--start",
                          std::string(PROBE_EXE) + " hold", "--duration", "1.5"}),
              0)
        << board_.output();
    const std::string log = console();
    const auto first = log.find("[board_probe] first");
    const auto exited = log.find("board_probe exited with status 0");
    const auto held = log.find("[board_probe] root " + root_.string() + " socket " +
                               (root_ / "run/dev.sock").string() + " tz UTC0");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(exited, std::string::npos) << log;
    ASSERT_NE(held, std::string::npos) << log;
    EXPECT_LT(first, exited);
    EXPECT_LT(exited, held);  // the second step starts only after the first has ended
}

TEST_F(BoardRun, ARebootRequestBootsAgainAndTheCardAndFlashKeepTheirContents) {
    ASSERT_EQ(board_.run({"--start", std::string(PROBE_EXE) + " reboot-once", "--duration", "3"}),
              0)
        << board_.output();
    EXPECT_EQ(read_file(root_ / "mnt/mmcblk0p1/probe.log"), "boot 1\nboot 2\n");
    EXPECT_EQ(read_file(root_ / "mnt/jffs_user/config/probe"), "2\n");
    const std::string log = console();
    EXPECT_NE(log.find("[board_probe] probe boot 1, flash says (none)"), std::string::npos) << log;
    EXPECT_NE(log.find("reboot: reboot requested by board_probe (pid"), std::string::npos) << log;
    EXPECT_NE(log.find("power on: boot 2 (reboot requested by board_probe"), std::string::npos)
        << log;
    EXPECT_NE(log.find("[board_probe] probe boot 2, flash says 1"), std::string::npos) << log;
    EXPECT_EQ(log.find("probe boot 3"), std::string::npos) << log;

    // A new board on the same root finds everything where it was.
    ASSERT_EQ(board_.run({"--start", std::string(PROBE_EXE) + " reboot-once", "--duration", "1"}),
              0);
    EXPECT_EQ(read_file(root_ / "mnt/mmcblk0p1/probe.log"), "boot 1\nboot 2\nboot 3\n");
}

TEST_F(BoardRun, ModulesAreLoadedAtEveryBootAndRemovedAtEveryPowerOff) {
    // The kernel tests' module stands in for accelmon.
    fs::create_directories(dir_ / "modules");
    fs::create_symlink(TESTMOD_PATH, dir_ / "modules/accelmon.so");
    std::ofstream(dir_ / "s.txt") << "0.3 reboot\n+0.3 quit\n";
    board_.module_dir = (dir_ / "modules").string();
    ASSERT_EQ(board_.run({"--scenario", (dir_ / "s.txt").string()}), 0) << board_.output();
    const std::string log = console();
    EXPECT_EQ(count(log, "module camcore is not built"), 2u) << log;
    EXPECT_EQ(count(log, "[board] insmod accelmon\n"), 2u) << log;
    EXPECT_EQ(count(log, "[kernel] testmod: loaded"), 2u) << log;
    EXPECT_EQ(count(log, "[board] rmmod accelmon\n"), 2u) << log;
    EXPECT_EQ(count(log, "[kernel] testmod: unloaded"), 2u) << log;
    EXPECT_LT(log.find("rmmod accelmon"), log.find("power on: boot 2 (reboot by the operator)"));
}

TEST_F(BoardRun, BadInputStopsBeforeAnythingIsMade) {
    std::string out;
    EXPECT_NE(board_.command({"--root", root_.string(), "--frobnicate"}, out), 0);
    EXPECT_NE(out.find("unknown option --frobnicate"), std::string::npos) << out;

    std::ofstream(dir_ / "bad.txt") << "# fine\n1 card full\n2 card explode\n";
    EXPECT_NE(
        board_.command({"--root", root_.string(), "--scenario", (dir_ / "bad.txt").string()}, out),
        0);
    EXPECT_NE(out.find("bad.txt:3: unknown action 'card explode'"), std::string::npos) << out;

    EXPECT_NE(board_.command(
                  {"--root", root_.string(), "--scenario", (dir_ / "missing.txt").string()}, out),
              0);
    EXPECT_NE(out.find("cannot read scenario"), std::string::npos) << out;

    std::ofstream(dir_ / "plain") << "x";
    EXPECT_NE(board_.command({"--root", (dir_ / "plain/board").string(), "--duration", "1"}, out),
              0);
    EXPECT_NE(out.find("cannot create board root"), std::string::npos) << out;

    EXPECT_FALSE(fs::exists(root_));
    EXPECT_FALSE(fs::exists(dir_ / "plain.board"));
}

// Every path, type, file content and link target under `dir`.
std::map<std::string, std::string> snapshot(const fs::path& dir) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = fs::relative(e.path(), dir).string();
        out[rel] = e.is_symlink()        ? "link " + fs::read_symlink(e.path()).string()
                   : e.is_regular_file() ? "file " + read_file(e.path())
                                         : "other";
    }
    return out;
}

TEST_F(BoardRun, AStartThatFailsChangesNothing) {
    ASSERT_EQ(board_.run({"--duration", "0.3"}), 0) << board_.output();
    // As a board that was killed leaves it: a port's link still in place.
    fs::create_symlink("/dev/pts/77", root_ / "dev/ttySAC1");
    const auto before = snapshot(root_);
    std::ofstream(dir_ / "capture.log") << "keep me";
    std::ofstream(dir_ / "audio.txt") << "1 audio source " << (dir_ / "missing.wav").string();
    std::ofstream(dir_ / "date.txt") << "1 gps date 2026-02-30 12:00:00\n";
    std::ofstream(dir_ / "escape.txt") << "1 \x1b[2Jboom\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--tty2", (dir_ / "capture.log").string()}, "a regular file"},
        {{"--tty1", dir_.string()}, "a folder"},
        {{"--scenario", "/dev/zero"}, "not a regular file (a character device)"},
        {{"--scenario", dir_.string()}, "not a regular file (a folder)"},
        {{"--scenario", (dir_ / "audio.txt").string()}, "audio.txt:1: 'audio source"},
        {{"--scenario", (dir_ / "date.txt").string()}, "date.txt:1: 'gps date 2026-02-30"},
        {{"--scenario", (dir_ / "escape.txt").string()}, "unknown action '\\x1B[2Jboom'"},
        {{"--card", "300M"}, "401M to 39999M"},
    };
    for (const auto& [options, expected] : cases) {
        std::vector<std::string> args = {
            "--root",       root_.string(),     "--bin-dir",  board_.empty_dir(),
            "--module-dir", board_.empty_dir(), "--duration", "1"};
        args.insert(args.end(), options.begin(), options.end());
        std::string out;
        EXPECT_NE(board_.command(args, out), 0) << options[1];
        EXPECT_NE(out.find(expected), std::string::npos) << out;
        EXPECT_EQ(count(out, "\n"), 1u) << out;  // one line
        EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
        EXPECT_EQ(snapshot(root_), before) << options[1];
    }
    EXPECT_EQ(read_file(dir_ / "capture.log"), "keep me");

    // A folder of other things is no board's root.
    const fs::path home = dir_ / "home";
    fs::create_directories(home / "mnt");
    std::ofstream(home / "notes.txt") << "mine";
    const auto home_before = snapshot(home);
    std::string out;
    EXPECT_NE(board_.command({"--root", home.string(), "--duration", "1"}, out), 0);
    EXPECT_NE(out.find("is not a board's root ('notes.txt' is no part of a board)"),
              std::string::npos)
        << out;
    EXPECT_EQ(snapshot(home), home_before);
}

TEST_F(BoardRun, ScenarioDrivesTheCardAndThePower) {
    std::ofstream(dir_ / "s.txt") << "0.2 card remove\n"
                                     "+0.2 card insert\n"
                                     "+0.2 card full\n"
                                     "+0.2 card insert   # refused: not removed\n"
                                     "+0.2 power cycle\n"
                                     "+0 log \x1b]0;title\x07 \x9b\n"
                                     "+0.3 quit\n";
    ASSERT_EQ(board_.run({"--scenario", (dir_ / "s.txt").string(), "--duration", "20"}), 0)
        << board_.output();
    const std::string log = console();
    EXPECT_NE(log.find("scenario line 1: card remove"), std::string::npos) << log;
    EXPECT_NE(log.find("scenario line 4: card insert: the card is not removed"), std::string::npos)
        << log;
    EXPECT_NE(log.find("power on: boot 2 (power cycle)"), std::string::npos) << log;
    EXPECT_NE(log.find("stopping: quit"), std::string::npos) << log;
    // What a scenario writes goes to the terminal escaped.
    EXPECT_NE(log.find("[note] \\x1B]0;title\\x07 \\x9B\n"), std::string::npos) << log;
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    const std::string card = read_file(root_ / "run/card");
    ASSERT_EQ(card.size(), 32u);
    EXPECT_EQ(card[20], 1);  // still full after the power cycle
}

TEST_F(BoardRun, ControlSocketActionsAndStatus) {
    std::string out;
    EXPECT_EQ(ctl({"status"}, out), 2);  // no board yet
    EXPECT_NE(out.find("no board is running"), std::string::npos) << out;

    board_.start({"--start", std::string(PROBE_EXE) + " hold", "--duration", "60"});
    ASSERT_TRUE(board_.running());
    ASSERT_EQ(wait_answer(out), 0) << out;
    EXPECT_NE(out.find("power on"), std::string::npos) << out;
    EXPECT_NE(out.find("boots 1"), std::string::npos) << out;
    EXPECT_NE(out.find("board_probe (pid"), std::string::npos) << out;
    EXPECT_NE(out.find("card 0 B of 8.0 GiB used, ok"), std::string::npos) << out;

    EXPECT_EQ(ctl({"log", "\x1b[2Jwiped"}, out), 0) << out;
    EXPECT_TRUE(board_.wait_for("[note] \\x1B[2Jwiped\n"));

    // Stopped, the board answers nobody: ctl says so in its time.
    ::kill(board_.pid(), SIGSTOP);
    EXPECT_EQ(ctl({"--timeout", "0.5", "status"}, out), 2);
    ::kill(board_.pid(), SIGCONT);
    EXPECT_NE(out.find("did not answer within 0.5 s"), std::string::npos) << out;

    EXPECT_EQ(ctl({"card", "failing"}, out), 0) << out;
    EXPECT_EQ(read_file(root_ / "run/card")[20], 2);
    EXPECT_EQ(ctl({"card", "insert"}, out), 1);
    EXPECT_NE(out.find("the card is not removed"), std::string::npos) << out;
    EXPECT_EQ(ctl({"frobnicate", "now"}, out), 1);
    EXPECT_NE(out.find("unknown action 'frobnicate now'"), std::string::npos) << out;
    EXPECT_EQ(ctl({"reboot", "please"}, out), 1);
    EXPECT_NE(out.find("takes no arguments"), std::string::npos) << out;

    // A second board on the same root is refused.
    EXPECT_EQ(board_.command({"--root", root_.string(), "--module-dir", board_.empty_dir(),
                              "--bin-dir", board_.empty_dir(), "--duration", "1"},
                             out),
              1);
    EXPECT_NE(out.find("another board is running"), std::string::npos) << out;

    EXPECT_EQ(ctl({"reboot"}, out), 0) << out;
    EXPECT_EQ(ctl({"status"}, out), 0);
    EXPECT_NE(out.find("boots 2"), std::string::npos) << out;
    EXPECT_NE(out.find("boot 2 at"), std::string::npos) << out;
    EXPECT_NE(out.find("reboot by the operator"), std::string::npos) << out;

    EXPECT_EQ(ctl({"power", "off"}, out), 0) << out;
    EXPECT_EQ(ctl({"power", "off"}, out), 1);
    EXPECT_EQ(ctl({"status"}, out), 0);
    EXPECT_NE(out.find("power off"), std::string::npos) << out;

    EXPECT_EQ(ctl({"quit"}, out), 0) << out;
    EXPECT_EQ(board_.wait_exit(), 0);
}

TEST_F(BoardRun, SigtermPowersOffCleanly) {
    board_.start({"--start", std::string(PROBE_EXE) + " hold"});
    ASSERT_TRUE(board_.running());
    std::string out;
    ASSERT_EQ(wait_answer(out), 0) << out;
    EXPECT_EQ(board_.terminate(), 0);
    const std::string log = console();
    EXPECT_NE(log.find("stopping: signal"), std::string::npos) << log;
    EXPECT_NE(log.find("power off (board stopping)"), std::string::npos) << log;
    // The program went with the board.
    const auto pos = log.find("started board_probe (pid ");
    ASSERT_NE(pos, std::string::npos);
    const pid_t probe = std::stoi(log.substr(pos + 25));
    EXPECT_NE(::kill(probe, 0), 0);
}

}  // namespace
