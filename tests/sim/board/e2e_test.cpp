// Whole-board runs: build/bin/simboard as a process, with the probe program in place of volcheck
// and recorder, judged from the outside (exit status, console log, card and flash, ctl).
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Starts simboard (or `simboard ctl`) with its stdout and stderr in `out_file`.
pid_t spawn_board(const std::vector<std::string>& args, const fs::path& out_file) {
    std::vector<std::string> argv = {SIMBOARD_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> p;
    for (auto& a : argv) p.push_back(a.data());
    p.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, SIMBOARD_EXE, &actions, nullptr, p.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int wait_exit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class BoardRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/boardrun-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        root_ = dir_ / "board";
        fs::create_directories(dir_ / "empty");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // Runs simboard to its end; returns its exit status, its output in `output`.
    int run(std::vector<std::string> args, std::string& output) {
        const fs::path out = dir_ / "out.txt";
        const pid_t pid = spawn_board(args, out);
        if (pid < 0) return -1;
        const int rc = wait_exit(pid);
        output = read_file(out);
        return rc;
    }
    int ctl(std::vector<std::string> words, std::string& output) {
        words.insert(words.begin(), {"ctl", "--root", root_.string()});
        return run(words, output);
    }
    // Options for a board with no modules and only the given start-up steps.
    std::vector<std::string> quiet_board(std::vector<std::string> more) {
        std::vector<std::string> args = {"--root",       root_.string(),
                                         "--module-dir", (dir_ / "empty").string(),
                                         "--bin-dir",    (dir_ / "empty").string()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    std::string console() { return read_file(root_ / "log/console.log"); }

    fs::path dir_;
    fs::path root_;
};

TEST_F(BoardRun, BootsWithoutModulesOrProgramsAndExitsZero) {
    std::string out;
    ASSERT_EQ(run(quiet_board({"--duration", "1"}), out), 0) << out;
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
    std::string out;
    ASSERT_EQ(run(quiet_board({"--run", std::string(PROBE_EXE) + " say first", "--start",
                               std::string(PROBE_EXE) + " hold", "--duration", "1.5"}),
                  out),
              0)
        << out;
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
    std::string out;
    ASSERT_EQ(
        run(quiet_board({"--start", std::string(PROBE_EXE) + " reboot-once", "--duration", "3"}),
            out),
        0)
        << out;
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
    ASSERT_EQ(
        run(quiet_board({"--start", std::string(PROBE_EXE) + " reboot-once", "--duration", "1"}),
            out),
        0);
    EXPECT_EQ(read_file(root_ / "mnt/mmcblk0p1/probe.log"), "boot 1\nboot 2\nboot 3\n");
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

TEST_F(BoardRun, ModulesAreLoadedAtEveryBootAndRemovedAtEveryPowerOff) {
    // The kernel tests' module stands in for accelmon.
    fs::create_directories(dir_ / "modules");
    fs::create_symlink(TESTMOD_PATH, dir_ / "modules/accelmon.so");
    std::ofstream(dir_ / "s.txt") << "0.3 reboot\n+0.3 quit\n";
    std::string out;
    ASSERT_EQ(run({"--root", root_.string(), "--module-dir", (dir_ / "modules").string(),
                   "--bin-dir", (dir_ / "empty").string(), "--scenario", (dir_ / "s.txt").string()},
                  out),
              0)
        << out;
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
    EXPECT_NE(run({"--root", root_.string(), "--frobnicate"}, out), 0);
    EXPECT_NE(out.find("unknown option --frobnicate"), std::string::npos) << out;

    std::ofstream(dir_ / "bad.txt") << "# fine\n1 card full\n2 card explode\n";
    EXPECT_NE(run({"--root", root_.string(), "--scenario", (dir_ / "bad.txt").string()}, out), 0);
    EXPECT_NE(out.find("bad.txt:3: unknown action 'card explode'"), std::string::npos) << out;

    EXPECT_NE(run({"--root", root_.string(), "--scenario", (dir_ / "missing.txt").string()}, out),
              0);
    EXPECT_NE(out.find("cannot read scenario"), std::string::npos) << out;

    std::ofstream(dir_ / "plain") << "x";
    EXPECT_NE(run({"--root", (dir_ / "plain/board").string(), "--duration", "1"}, out), 0);
    EXPECT_NE(out.find("cannot create board root"), std::string::npos) << out;

    EXPECT_FALSE(fs::exists(root_));
    EXPECT_FALSE(fs::exists(dir_ / "plain.board"));
}

TEST_F(BoardRun, ScenarioDrivesTheCardAndThePower) {
    std::ofstream(dir_ / "s.txt") << "0.2 card remove\n"
                                     "+0.2 card insert\n"
                                     "+0.2 card full\n"
                                     "+0.2 card insert   # refused: not removed\n"
                                     "+0.2 power cycle\n"
                                     "+0.3 quit\n";
    std::string out;
    ASSERT_EQ(run(quiet_board({"--scenario", (dir_ / "s.txt").string(), "--duration", "20"}), out),
              0)
        << out;
    const std::string log = console();
    EXPECT_NE(log.find("scenario line 1: card remove"), std::string::npos) << log;
    EXPECT_NE(log.find("scenario line 4: card insert: the card is not removed"), std::string::npos)
        << log;
    EXPECT_NE(log.find("power on: boot 2 (power cycle)"), std::string::npos) << log;
    EXPECT_NE(log.find("stopping: quit"), std::string::npos) << log;
    const std::string card = read_file(root_ / "run/card");
    ASSERT_EQ(card.size(), 32u);
    EXPECT_EQ(card[20], 1);  // still full after the power cycle
}

TEST_F(BoardRun, ControlSocketActionsAndStatus) {
    std::string out;
    EXPECT_EQ(ctl({"status"}, out), 2);  // no board yet
    EXPECT_NE(out.find("no board is running"), std::string::npos) << out;

    const pid_t board =
        spawn_board(quiet_board({"--start", std::string(PROBE_EXE) + " hold", "--duration", "60"}),
                    dir_ / "board.txt");
    ASSERT_GT(board, 0);
    // Wait for the board to answer (it prepares its root first).
    int rc = 2;
    for (int i = 0; i < 200 && rc == 2; ++i) {
        rc = ctl({"status"}, out);
        if (rc == 2) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("power on"), std::string::npos) << out;
    EXPECT_NE(out.find("boots 1"), std::string::npos) << out;
    EXPECT_NE(out.find("board_probe (pid"), std::string::npos) << out;
    EXPECT_NE(out.find("card 0 B of 8.0 GiB used, ok"), std::string::npos) << out;

    EXPECT_EQ(ctl({"card", "failing"}, out), 0) << out;
    EXPECT_EQ(read_file(root_ / "run/card")[20], 2);
    EXPECT_EQ(ctl({"card", "insert"}, out), 1);
    EXPECT_NE(out.find("the card is not removed"), std::string::npos) << out;
    EXPECT_EQ(ctl({"frobnicate", "now"}, out), 1);
    EXPECT_NE(out.find("unknown action 'frobnicate now'"), std::string::npos) << out;
    EXPECT_EQ(ctl({"reboot", "please"}, out), 1);
    EXPECT_NE(out.find("takes no arguments"), std::string::npos) << out;

    // A second board on the same root is refused.
    EXPECT_EQ(run(quiet_board({"--duration", "1"}), out), 1);
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
    EXPECT_EQ(wait_exit(board), 0);
}

TEST_F(BoardRun, SigtermPowersOffCleanly) {
    const pid_t board =
        spawn_board(quiet_board({"--start", std::string(PROBE_EXE) + " hold"}), dir_ / "board.txt");
    ASSERT_GT(board, 0);
    std::string out;
    int rc = 2;
    for (int i = 0; i < 200 && rc == 2; ++i) {
        rc = ctl({"status"}, out);
        if (rc == 2) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(rc, 0) << out;
    ::kill(board, SIGTERM);
    EXPECT_EQ(wait_exit(board), 0);
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
