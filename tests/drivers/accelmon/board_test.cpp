// accelmon through the board: build/bin/simboard loads accelmon.so at power-on, and a probe
// program in another process takes the records with SIGIO as the recorder does, while the test
// drives the car's motion, the button and the knob through the board's control socket.
//
// The run takes about ACCELMON_BOARD_SECONDS seconds (default 10; less for a quick run): the
// test moves on to the next motion once the probe has printed enough records of the one before.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim_board.hpp"

namespace {

using Seconds = testsupport::SimBoard::Seconds;

double run_seconds() {
    const char* text = std::getenv("ACCELMON_BOARD_SECONDS");
    const double s = text != nullptr ? std::atof(text) : 0;
    return s >= 2 ? s : 10;
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
    std::vector<std::string> probe_lines() {
        std::vector<std::string> out;
        std::istringstream in(board_.console());
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
        return board_.until([&] { return records().size() >= target; }, Seconds(60));
    }

    testsupport::SimBoard board_{"accelmon-board"};
};

TEST_F(ThroughTheBoard, AProgramGetsSamplesThatFollowTheMotionAndOneMarkerPerPress) {
    const double seconds = run_seconds();
    const size_t per_phase = std::max<size_t>(3, static_cast<size_t>(seconds * 3 / 4));
    board_.module_dir = MODULE_DIR;
    board_.start({"--knob", "20", "--start", std::string(ACCEL_PROBE_EXE) + " 120 sub35",
                  "--duration", "150"});
    ASSERT_TRUE(board_.running());
    board_.until([&] { return probe_said("sampling"); }, Seconds(30));
    ASSERT_TRUE(probe_said("sampling")) << board_.console();
    EXPECT_TRUE(probe_said("second open: Device or resource busy"));

    ASSERT_TRUE(wait_records(per_phase)) << "parked";
    ASSERT_TRUE(board_.act("motion driving"));
    ASSERT_TRUE(wait_records(per_phase)) << "driving";
    ASSERT_TRUE(board_.act("motion braking"));
    ASSERT_TRUE(wait_records(per_phase / 2 + 1)) << "braking";
    ASSERT_TRUE(board_.act("button"));
    ASSERT_TRUE(wait_records(per_phase / 2 + 2)) << "braking after the press";
    ASSERT_TRUE(board_.act("motion cornering"));
    ASSERT_TRUE(board_.act("knob 33"));
    ASSERT_TRUE(wait_records(per_phase)) << "cornering";

    std::ofstream(board_.root() / "mnt/mmcblk0p1/accel_probe.stop") << "stop\n";
    board_.until(
        [&] {
            const auto lines = probe_lines();
            return std::any_of(lines.begin(), lines.end(),
                               [](const std::string& l) { return l.rfind("records ", 0) == 0; });
        },
        Seconds(30));
    ASSERT_TRUE(board_.act("quit"));
    EXPECT_EQ(board_.wait_exit(), 0);

    const auto recs = records();
    const std::string log = board_.console();
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
