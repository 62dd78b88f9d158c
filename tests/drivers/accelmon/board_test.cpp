// accelmon through the board: build/bin/simboard loads accelmon.so at power-on, and a probe
// program in another process takes the records with SIGIO as the recorder does, while the test
// drives the car's motion, the button and the knob with `simboard ctl`.
//
// The run takes about ACCELMON_BOARD_SECONDS seconds (default 4; set 10 for a longer run): the
// test moves on to the next motion once the probe has printed enough records of the one before.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
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
using namespace std::chrono_literals;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

pid_t spawn(const std::vector<std::string>& args, const fs::path& out_file) {
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

double run_seconds() {
    const char* text = std::getenv("ACCELMON_BOARD_SECONDS");
    const double s = text != nullptr ? std::atof(text) : 0;
    return s >= 2 ? s : 4;
}

struct ProbeRecord {
    long ms = 0;
    int x = 0, y = 0, z = 0, v = 0;
    bool marker() const { return x == 255 && y == 255; }
};

enum class Phase { kParked, kDriving, kBraking, kCornering, kUnknown };

// What the car did when a sample was taken, from its axes (1024 counts per g, car axes).
Phase phase_of(const ProbeRecord& r) {
    if (r.x == 0 && r.y == 0 && r.z == 1024) return Phase::kParked;
    const bool upright = r.z > 900 && r.z < 1150;
    if (upright && r.x < -330 && r.x > -600 && std::abs(r.y) < 130) return Phase::kBraking;
    if (upright && r.y > 230 && r.y < 480 && std::abs(r.x) < 130) return Phase::kCornering;
    if (upright && std::abs(r.x) < 130 && std::abs(r.y) < 130) return Phase::kDriving;
    return Phase::kUnknown;
}

class ThroughTheBoard : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/accelmon-board-XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        root_ = dir_ / "board";
        fs::create_directories(dir_ / "empty");
    }
    void TearDown() override {
        if (board_ > 0) {
            ::kill(board_, SIGTERM);
            wait_exit(board_);
        }
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    int ctl(std::vector<std::string> words) {
        words.insert(words.begin(), {"ctl", "--root", root_.string()});
        const pid_t pid = spawn(words, dir_ / "ctl.txt");
        return pid < 0 ? -1 : wait_exit(pid);
    }
    std::string console() { return read_file(root_ / "log/console.log"); }
    std::vector<std::string> probe_lines() {
        std::vector<std::string> out;
        std::istringstream in(console());
        const std::string prefix = "[accel_probe] ";
        for (std::string line; std::getline(in, line);) {
            const auto pos = line.find(prefix);
            if (pos != std::string::npos) out.push_back(line.substr(pos + prefix.size()));
        }
        return out;
    }
    std::vector<ProbeRecord> records() {
        std::vector<ProbeRecord> out;
        for (const auto& line : probe_lines()) {
            ProbeRecord r;
            if (std::sscanf(line.c_str(), "record %ld %d %d %d %d", &r.ms, &r.x, &r.y, &r.z,
                            &r.v) == 5)
                out.push_back(r);
        }
        return out;
    }
    bool probe_said(const std::string& text) {
        const auto lines = probe_lines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
    // Waits (up to a minute: a slow host only makes the run longer) for `n` more records.
    bool wait_records(size_t n) {
        const size_t target = records().size() + n;
        for (int i = 0; i < 1200; ++i) {
            if (records().size() >= target) return true;
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    fs::path dir_;
    fs::path root_;
    pid_t board_ = -1;
};

TEST_F(ThroughTheBoard, AProgramGetsSamplesThatFollowTheMotionAndOneMarkerPerPress) {
    const double seconds = run_seconds();
    const size_t per_phase = std::max<size_t>(3, static_cast<size_t>(seconds * 3 / 4));
    board_ = spawn({"--root", root_.string(), "--module-dir", MODULE_DIR, "--bin-dir",
                    (dir_ / "empty").string(), "--knob", "20", "--start",
                    std::string(ACCEL_PROBE_EXE) + " 120 sub35", "--duration", "150"},
                   dir_ / "board.txt");
    ASSERT_GT(board_, 0);
    for (int i = 0; i < 600 && !probe_said("sampling"); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(probe_said("sampling")) << console();
    EXPECT_TRUE(probe_said("second open: Device or resource busy"));

    ASSERT_TRUE(wait_records(per_phase)) << "parked";
    ASSERT_EQ(ctl({"motion", "driving"}), 0);
    ASSERT_TRUE(wait_records(per_phase)) << "driving";
    ASSERT_EQ(ctl({"motion", "braking"}), 0);
    ASSERT_TRUE(wait_records(per_phase / 2 + 1)) << "braking";
    ASSERT_EQ(ctl({"button"}), 0);
    ASSERT_TRUE(wait_records(per_phase / 2 + 2)) << "braking after the press";
    ASSERT_EQ(ctl({"motion", "cornering"}), 0);
    ASSERT_EQ(ctl({"knob", "33"}), 0);
    ASSERT_TRUE(wait_records(per_phase)) << "cornering";

    std::ofstream(root_ / "mnt/mmcblk0p1/accel_probe.stop") << "stop\n";
    for (int i = 0; i < 600; ++i) {
        const auto lines = probe_lines();
        if (std::any_of(lines.begin(), lines.end(),
                        [](const std::string& l) { return l.rfind("records ", 0) == 0; }))
            break;
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(ctl({"quit"}), 0);
    EXPECT_EQ(wait_exit(board_), 0);
    board_ = -1;

    const auto recs = records();
    const std::string log = console();
    ASSERT_GE(recs.size(), 4 * per_phase) << log;

    // One marker, for the one press, during the braking.
    std::vector<size_t> markers;
    for (size_t i = 0; i < recs.size(); ++i) {
        if (recs[i].marker()) markers.push_back(i);
    }
    ASSERT_EQ(markers.size(), 1u) << log;
    const size_t m = markers[0];
    EXPECT_EQ(recs[m].z, 254);
    ASSERT_GT(m, 0u);
    ASSERT_LT(m + 1, recs.size());
    EXPECT_EQ(phase_of(recs[m - 1]), Phase::kBraking) << log;

    // The samples follow the motion, in its order.
    std::vector<Phase> phases;
    for (const auto& r : recs) {
        if (r.marker()) continue;
        const Phase p = phase_of(r);
        EXPECT_NE(p, Phase::kUnknown) << r.x << " " << r.y << " " << r.z;
        if (phases.empty() || phases.back() != p) phases.push_back(p);
    }
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::kParked, Phase::kDriving, Phase::kBraking,
                                          Phase::kCornering}))
        << log;

    // The knob: the ADC's reset value first, then the knob's level, then its one change. (A
    // host that stalls the first tick between the start of its conversion and its read lets
    // that tick see the level at once.)
    std::vector<int> levels;
    for (const auto& r : recs) {
        if (r.v != 255) levels.push_back(r.v);
    }
    if (!levels.empty() && levels.front() == 0) levels.erase(levels.begin());
    EXPECT_EQ(levels, (std::vector<int>{20, 33})) << log;
    EXPECT_TRUE(recs.front().v == 0 || recs.front().v == 20) << log;

    // The rate, for the person reading the output (about three a second).
    const double span = static_cast<double>(recs.back().ms - recs.front().ms);
    const double per_second = 1000.0 * static_cast<double>(recs.size() - 1) / span;
    std::printf("%zu records in %.1f s: %.2f a second\n", recs.size(), span / 1000, per_second);

    EXPECT_NE(log.find("Gsensor ID : 3a"), std::string::npos) << log;
    EXPECT_NE(log.find("Gsensor module init. Ver_3.5K"), std::string::npos) << log;
}

}  // namespace
