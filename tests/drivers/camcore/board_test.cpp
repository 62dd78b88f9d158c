// camcore on the whole simulated board: simboard as a process, the camera probe as the program
// that reaches the cameras through the device transport from another process; the cameras'
// options, actions and status items.
//
// The capture run lasts CAMCORE_BOARD_SECONDS seconds (default 3; 10 for the full check).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
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

class CamerasOnTheBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/camboard-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        root_ = dir_ / "board";
        fs::create_directories(dir_ / "empty");
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    pid_t spawn(std::vector<std::string> args, const fs::path& out) {
        args.insert(args.begin(), SIMBOARD_EXE);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        const int rc = ::posix_spawn(&pid, SIMBOARD_EXE, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        return rc == 0 ? pid : -1;
    }
    static int wait_exit(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int run(std::vector<std::string> args, std::string& output) {
        const fs::path out = dir_ / "out.txt";
        const pid_t pid = spawn(std::move(args), out);
        if (pid < 0) return -1;
        const int rc = wait_exit(pid);
        output = read_file(out);
        return rc;
    }
    std::vector<std::string> board_args(std::vector<std::string> more) {
        std::vector<std::string> args = {"--root", root_.string(), "--bin-dir",
                                         (dir_ / "empty").string()};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }
    std::string console() { return read_file(root_ / "log/console.log"); }

    fs::path dir_;
    fs::path root_;
};

double capture_seconds() {
    const char* s = std::getenv("CAMCORE_BOARD_SECONDS");
    const double v = s != nullptr ? std::atof(s) : 0;
    return v > 0 ? v : 3.0;
}

TEST_F(CamerasOnTheBoard, AnotherProcessReadsJpegFramesFromBothCamerasAtOnce) {
    const double seconds = capture_seconds();
    const fs::path out = dir_ / "out.txt";
    const pid_t board = spawn(
        board_args({"--run", std::string(CAMERA_PROBE_EXE) + " " + std::to_string(seconds)}), out);
    ASSERT_GT(board, 0);
    // The probe's verdict ends the run (bring-up takes about two seconds).
    const auto limit =
        std::chrono::steady_clock::now() + std::chrono::seconds(30 + static_cast<int>(seconds));
    std::string log;
    while (std::chrono::steady_clock::now() < limit) {
        log = console();
        if (log.find("camera_probe: ok") != std::string::npos ||
            log.find("camera_probe: FAILED") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string ctl_out;
    run({"ctl", "--root", root_.string(), "quit"}, ctl_out);
    EXPECT_EQ(wait_exit(board), 0);
    log = console();
    EXPECT_NE(log.find("camera_probe: ok"), std::string::npos) << log;
    EXPECT_NE(log.find("Find OV7725 CMOS sensor - Front Sensor"), std::string::npos);
    EXPECT_NE(log.find("Find MT9V111 CMOS sensor - Rear Sensor"), std::string::npos);
    // Both cameras delivered, never faster than their sensors' 15 frames a second (how close to
    // it they come depends on the machine: bench_camcore measures that).
    for (const char* cam : {"front", "rear"}) {
        const std::string tag = std::string("camera_probe: ") + cam + " ";
        const auto at = log.find(tag);
        ASSERT_NE(at, std::string::npos) << cam;
        const int frames = std::atoi(log.c_str() + at + tag.size());
        EXPECT_GT(frames, 0) << cam;
        EXPECT_LE(frames, static_cast<int>(seconds * 15) + 2) << cam;
    }
}

TEST_F(CamerasOnTheBoard, ScenarioActionsReachTheCameras) {
    const fs::path scenario = dir_ / "cameras.txt";
    std::ofstream(scenario) << "1 camera fail rear busy\n"
                               "+0.2 camera sensor front none\n"
                               "+0.2 camera fps 5\n"
                               "+0.2 camera recover rear\n"
                               "+0.2 quit\n";
    std::string out;
    ASSERT_EQ(run(board_args({"--scenario", scenario.string(), "--front-sensor", "mt9m112d"}), out),
              0)
        << out;
    const std::string log = console();
    EXPECT_NE(log.find("w99685 rear: camera fails: busy for ever"), std::string::npos) << log;
    EXPECT_NE(log.find("w99685 front: sensor none"), std::string::npos) << log;
    EXPECT_NE(log.find("w99685 rear: camera recovered"), std::string::npos) << log;
}

TEST_F(CamerasOnTheBoard, BadCameraLinesAndOptionsAreRefusedBeforeTheBoardStarts) {
    const fs::path scenario = dir_ / "bad.txt";
    std::ofstream(scenario) << "1 camera fail side busy\n";
    std::string out;
    EXPECT_NE(run(board_args({"--scenario", scenario.string()}), out), 0);
    EXPECT_NE(out.find("unknown camera 'side'"), std::string::npos) << out;
    EXPECT_NE(run(board_args({"--rear-sensor", "ov9999"}), out), 0);
    EXPECT_NE(out.find("unknown sensor 'ov9999'"), std::string::npos) << out;
    EXPECT_NE(run(board_args({"--front-jpegs", (dir_ / "empty").string()}), out), 0);
    EXPECT_NE(out.find("no JPEG file in"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(root_ / "log/console.log"));
}

}  // namespace
