// Start-up: the devices, the start-up sequence without cameras, and the parking-mode capture that
// the interval timer paces. The model marker is shown by the whole board's runs of both models.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <filesystem>

#include "app_fixture.hpp"
#include "sndout.h"

using namespace apptest;
using namespace storagetest;
using linktest::Console;

namespace {

class Startup : public AppTest {};

TEST_F(Startup, WithoutCamerasTheRecorderStaysUpWithoutARecording) {
    g_drEv = 0;
    g_eventEnable = 0;
    const std::string console = Console([] { EXPECT_EQ(init_record(), -1); });
    EXPECT_EQ(console, "Model TK700\nopen /dev/winbond0 - No such device or address\n");
    EXPECT_EQ(g_drEv, 1);
    EXPECT_EQ(g_bRec, 0);
    EXPECT_EQ(rec_fd, -1);
    EXPECT_EQ(g_eventEnable, 0);
    EXPECT_TRUE(std::filesystem::is_empty(board.host("/mnt/mmcblk0p1/data")));
    EXPECT_EQ(w99685fd[0], -1);
    EXPECT_EQ(w99685fd[1], -1);
}

// The cameras played by plain files (the board's nodes are made ordinary paths).
class StartupWithCameraFiles : public Startup {
  protected:
    void SetUp() override {
        Startup::SetUp();
        g_eventEnable = 0;
        g_buf = nullptr;
        linktest::UnserveDevices(board, {"/dev/winbond0", "/dev/winbond1"});
    }
    void TearDown() override {
        if (g_buf != nullptr) os::munmap(g_buf, FRAME_AREA_SIZE);
        g_buf = nullptr;
        for (int& fd : w99685fd) {
            if (fd >= 0) os::close(fd);
            fd = -1;
        }
        if (audio_fd >= 0) os::close(audio_fd);
        audio_fd = -1;
        release_snd();
        Startup::TearDown();
    }
    void MakeCamera(const char* path) {
        write_text(board.host(path), "");
        std::filesystem::resize_file(board.host(path), FRAME_AREA_SIZE);
    }
};

TEST_F(StartupWithCameraFiles, TheSecondCameraMissingClosesTheFirst) {
    MakeCamera("/dev/winbond0");
    const std::string console = Console([] { EXPECT_EQ(open_device(), -1); });
    EXPECT_EQ(console, "open /dev/winbond1 - No such file or directory\n");
    EXPECT_EQ(w99685fd[0], -1);
}

TEST_F(StartupWithCameraFiles, AFrameAreaThatCannotBeMappedEndsStartUp) {
    ASSERT_EQ(::mkfifo(board.host("/dev/winbond0").c_str(), 0644), 0);
    MakeCamera("/dev/winbond1");
    const std::string console = Console([] { EXPECT_EQ(open_device(), -1); });
    EXPECT_EQ(console, "mmap /dev/winbond0 - No such device\n");
    EXPECT_EQ(g_buf, nullptr);
    EXPECT_EQ(w99685fd[0], -1);
    EXPECT_EQ(w99685fd[1], -1);
}

TEST_F(StartupWithCameraFiles, AudioDeviceMissingWhileAudioIsRecorded) {
    MakeCamera("/dev/winbond0");
    MakeCamera("/dev/winbond1");
    g_audioRec = 1;
    const std::string console = Console([] { EXPECT_EQ(open_device(), -1); });
    EXPECT_EQ(console, "Open audio device (/dev/dsp)\n");
    ASSERT_NE(g_buf, nullptr);
    EXPECT_EQ(g_buf[FRAME_AREA_SIZE - 1], 0);  // the whole area is mapped
}

TEST_F(StartupWithCameraFiles, WithoutAudioTheOtherDevicesFollow) {
    MakeCamera("/dev/winbond0");
    MakeCamera("/dev/winbond1");
    g_audioRec = 0;
    const std::string console = Console([] { EXPECT_EQ(open_device(), 0); });
    EXPECT_NE(console.find("init ibc start\n"), std::string::npos);
    EXPECT_NE(console.find("init gps start\n"), std::string::npos);
    EXPECT_NE(console.find("i2c device driver open error\n"), std::string::npos);
    EXPECT_EQ(audio_fd, -1);
}

// --- Parking-mode capture --------------------------------------------------------------------

class Parking : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        Recording();
        g_drMode = 1;
        g_drEv = 0;
    }
};

TEST_F(Parking, OneFrameOfEachCameraPerExpiry) {
    Frames::queue[REAR_CAMERA] = {300};
    Frames::queue[FRONT_CAMERA] = {200};
    ParkingCapture();
    EXPECT_EQ(Frames::fetched, (std::vector<int>{0, 1}));
    const auto records = FileRecords(g_currentRecIndex);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].channel, 0);
    EXPECT_EQ(records[0].length, 300u);
    EXPECT_EQ(records[1].channel, 1);
    EXPECT_EQ(records[1].length, 200u);
}

TEST_F(Parking, NothingFetchedWhenDrivingOrNotRecording) {
    g_drMode = 2;
    ParkingCapture();
    g_drMode = 1;
    Console([] {
        RecLock hold;
        stop_record();
    });
    ParkingCapture();
    EXPECT_TRUE(Frames::fetched.empty());
}

TEST_F(Parking, EmptyAndOversizedFramesAreNotWritten) {
    Frames::queue[REAR_CAMERA] = {0};
    Frames::queue[FRONT_CAMERA] = {static_cast<ssize_t>(recfmt::MAX_JPEG) + 1};
    const std::string console = Console(ParkingCapture);
    EXPECT_NE(console.find("does not fit a record"), std::string::npos);
    EXPECT_TRUE(FileRecords(g_currentRecIndex).empty());
    // Parking accepts frames beyond what the capture threads take, up to what a record holds.
    Frames::queue[REAR_CAMERA] = {-1};
    Frames::queue[FRONT_CAMERA] = {static_cast<ssize_t>(recfmt::MAX_JPEG)};
    ParkingCapture();
    const auto records = FileRecords(g_currentRecIndex);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].length, recfmt::MAX_JPEG);
}

}  // namespace
