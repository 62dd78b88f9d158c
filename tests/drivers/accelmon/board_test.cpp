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
    // The records the probe has printed so far.
    std::vector<ProbeRecord> records() {
        std::vector<ProbeRecord> out;
        std::istringstream in(board_.console());
        for (std::string line; std::getline(in, line);) {
            const auto at = line.find("[accel_probe] record ");
            ProbeRecord r;
            if (at != std::string::npos &&
                std::sscanf(line.c_str() + at, "[accel_probe] record %*d %d %d %d %d", &r.x, &r.y,
                            &r.z, &r.v) == 4)
                out.push_back(r);
        }
        return out;
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
    ASSERT_TRUE(board_.wait_for("[accel_probe] sampling", 0, 1, Seconds(30))) << board_.console();
    EXPECT_NE(board_.console().find("[accel_probe] second open: Device or resource busy"),
              std::string::npos);

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
    board_.wait_for("[accel_probe] records ", 0, 1, Seconds(30));
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
}

}  // namespace
