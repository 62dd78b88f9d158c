// camcore on the whole simulated board: simboard as a process, the camera probe as the program
// that reaches the cameras through the device transport from another process; the cameras'
// options, actions and status items.
//
// The capture run lasts CAMCORE_BOARD_SECONDS seconds (default 10; less for a quick run).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim_board.hpp"

namespace {

namespace fs = std::filesystem;

// The board with its modules (camcore among them) and no programs but the test's.
class CamerasOnTheBoard : public ::testing::Test {
  protected:
    CamerasOnTheBoard() { board_.module_dir = MODULE_DIR; }

    testsupport::SimBoard board_{"camboard"};
};

double capture_seconds() {
    const char* s = std::getenv("CAMCORE_BOARD_SECONDS");
    const double v = s != nullptr ? std::atof(s) : 0;
    return v > 0 ? v : 10.0;
}

TEST_F(CamerasOnTheBoard, AnotherProcessReadsJpegFramesFromBothCamerasAtOnce) {
    const double seconds = capture_seconds();
    board_.start({"--run", std::string(CAMERA_PROBE_EXE) + " " + std::to_string(seconds)});
    ASSERT_TRUE(board_.running());
    // The probe's verdict ends the run (bring-up takes about two seconds).
    board_.until(
        [&] {
            const std::string log = board_.console();
            return log.find("camera_probe: ok") != std::string::npos ||
                   log.find("camera_probe: FAILED") != std::string::npos;
        },
        testsupport::SimBoard::Seconds(30 + seconds));
    EXPECT_EQ(board_.quit(), 0);
    const std::string log = board_.console();
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
    const fs::path scenario = board_.dir() / "cameras.txt";
    std::ofstream(scenario) << "1 camera fail rear busy\n"
                               "+0.2 camera sensor front none\n"
                               "+0.2 camera fps 5\n"
                               "+0.2 camera recover rear\n"
                               "+0.2 quit\n";
    ASSERT_EQ(board_.run({"--scenario", scenario.string(), "--front-sensor", "mt9m112d"}), 0)
        << board_.output();
    const std::string log = board_.console();
    EXPECT_NE(log.find("w99685 rear: camera fails: busy for ever"), std::string::npos) << log;
    EXPECT_NE(log.find("w99685 front: sensor none"), std::string::npos) << log;
    EXPECT_NE(log.find("w99685 rear: camera recovered"), std::string::npos) << log;
}

TEST_F(CamerasOnTheBoard, BadCameraLinesAndOptionsAreRefusedBeforeTheBoardStarts) {
    const fs::path scenario = board_.dir() / "bad.txt";
    std::ofstream(scenario) << "1 camera fail side busy\n";
    EXPECT_NE(board_.run({"--scenario", scenario.string()}), 0);
    EXPECT_NE(board_.output().find("unknown camera 'side'"), std::string::npos) << board_.output();
    EXPECT_NE(board_.run({"--rear-sensor", "ov9999"}), 0);
    EXPECT_NE(board_.output().find("unknown sensor 'ov9999'"), std::string::npos)
        << board_.output();
    EXPECT_NE(board_.run({"--front-jpegs", board_.empty_dir()}), 0);
    EXPECT_NE(board_.output().find("no JPEG file in"), std::string::npos) << board_.output();
    EXPECT_FALSE(fs::exists(board_.root() / "log/console.log"));
}

}  // namespace
