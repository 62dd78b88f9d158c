// Accelerometer client. The device is played by a raw PTY at the device's path: the client sets
// it to signal asynchronously, so every record the test writes into it raises a real SIGIO.
#include "gsensor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <condition_variable>
#include <mutex>

#include "link_test_support.hpp"

namespace {

using linktest::EventLog;

TEST(GsensorClient, MissingDeviceFailsSilently) {
    testsupport::BoardRoot root;
    const std::string console =
        linktest::Console([] { EXPECT_EQ(init_gsensor(EventLog::Callback), -1); });
    EXPECT_EQ(console, "");
    EXPECT_EQ(stop_gsensor(), 0);
    EXPECT_EQ(pwrDetectControl(), 0);
    EXPECT_EQ(release_gsensor(), 0);
}

// A callback that can be held: the first record it gets blocks it until released.
struct HeldCallback {
    static inline std::mutex m;
    static inline std::condition_variable cv;
    static inline bool hold = false, holding = false;

    static int Callback(int type, void* record) {
        {
            std::unique_lock<std::mutex> lock(m);
            holding = hold;
            cv.notify_all();
            cv.wait(lock, [] { return !hold; });
            holding = false;
        }
        return EventLog::Callback(type, record);
    }
    static void Hold(bool on) {
        {
            std::lock_guard<std::mutex> lock(m);
            hold = on;
        }
        cv.notify_all();
    }
};

class GsensorDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        EventLog::Clear();
        linktest::UnserveDevices(root, {"/dev/LIS3LV02DQ"});
        driver_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(driver_, 0);
        ASSERT_EQ(::grantpt(driver_), 0);
        ASSERT_EQ(::unlockpt(driver_), 0);
        // Raw, so that the 8-byte records pass unchanged and are readable at once.
        device_ = ::open(::ptsname(driver_), O_RDWR | O_NOCTTY);
        ASSERT_GE(device_, 0);
        termios raw;
        ::tcgetattr(device_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(device_, TCSANOW, &raw);
        std::filesystem::create_symlink(::ptsname(driver_), root.host("/dev/LIS3LV02DQ"));
    }
    void TearDown() override {
        if (step_[0] >= 0) {
            gsensor_fd = tty_;
            ::close(step_[0]);
            ::close(step_[1]);
        }
        release_gsensor();
        stop_gsensor_delivery();
        ::close(device_);
        ::close(driver_);
    }

    void Start(EventCallback callback) { ASSERT_EQ(init_gsensor(callback), 0); }

    // The driver publishes a record: it lands in the device, which raises SIGIO.
    void Publish(const std::array<uint8_t, 8>& xyz) {
        ASSERT_EQ(::write(driver_, xyz.data(), xyz.size()), 8) << strerror(errno);
    }

    // Publishes records one by one with the signal raised on this thread, so that each has been
    // taken by the handler when the call returns. (A PTY may hand two quick records to the
    // reader in one go, with one signal; the driver never does.)
    void PublishInStep(const std::array<uint8_t, 8>& xyz) {
        if (step_[0] < 0) {
            ASSERT_EQ(::pipe(step_), 0);
            tty_ = gsensor_fd;
            gsensor_fd = step_[0];
        }
        ASSERT_EQ(::write(step_[1], xyz.data(), xyz.size()), 8);
        ASSERT_EQ(::raise(SIGIO), 0);
        int pending = -1;
        ::ioctl(step_[0], FIONREAD, &pending);
        ASSERT_EQ(pending, 0);
    }

    static std::array<uint8_t, 8> Sample(int16_t x) {
        return {static_cast<uint8_t>(x), static_cast<uint8_t>(x >> 8), 0, 0, 0, 0, 255, 0};
    }

    testsupport::BoardRoot root;
    int driver_ = -1;         // the driver's side
    int device_ = -1;         // the device side, held open to set its mode
    int step_[2] = {-1, -1};  // the device for PublishInStep
    int tty_ = -1;
};

TEST_F(GsensorDevice, RecordReachesTheCallbackOutsideTheSignalHandler) {
    Start(EventLog::Callback);
    Publish({0x01, 0x00, 0xFF, 0xFF, 0x00, 0x01, 0x2A, 0x00});
    const auto events = EventLog::WaitFor(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENT_GSENSOR);
    // The driver's record is bytes 4 to 11 of the client's.
    EXPECT_EQ(events[0].record,
              (std::vector<uint8_t>{0,    0,    0, 0, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x01,
                                    0x2A, 0x00, 0, 0, 0,    0,    0,    0,    0,    0}));
    // Delivered on the client's own thread, never on the thread the signal interrupted.
    EXPECT_FALSE(pthread_equal(events[0].thread, pthread_self()));
}

TEST_F(GsensorDevice, RecordsArrivingWhileTheCallbackIsBusyFollowInOrder) {
    Start(HeldCallback::Callback);
    HeldCallback::Hold(true);
    PublishInStep(Sample(1));
    {
        std::unique_lock<std::mutex> lock(HeldCallback::m);
        ASSERT_TRUE(HeldCallback::cv.wait_for(lock, std::chrono::seconds(3),
                                              [] { return HeldCallback::holding; }));
    }
    // The callback is stuck on the first record; the handler still takes every new one.
    for (int16_t x = 2; x <= 20; ++x) PublishInStep(Sample(x));
    EXPECT_TRUE(EventLog::Now().empty());
    HeldCallback::Hold(false);
    const auto events = EventLog::WaitFor(20);
    ASSERT_EQ(events.size(), 20u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].record[gsrec::X], i + 1) << i;
    }
}

TEST_F(GsensorDevice, NoCallbackAfterRelease) {
    Start(EventLog::Callback);
    Publish(Sample(5));
    ASSERT_EQ(EventLog::WaitFor(1).size(), 1u);
    release_gsensor();
    EXPECT_EQ(gsensor_fd, -1);
    ::raise(SIGIO);
    usleep(100000);
    EXPECT_EQ(EventLog::Now().size(), 1u);
}

}  // namespace
