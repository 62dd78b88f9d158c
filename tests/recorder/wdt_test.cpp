// Watchdog: arming without a device, and with a device that refuses the timeout.
#include "wdt.h"

#include <gtest/gtest.h>

#include "link_test_support.hpp"

namespace {

TEST(Watchdog, MissingDeviceIsReportedAndStartUpGoesOn) {
    testsupport::BoardRoot root;
    int result = 0;
    const std::string console = linktest::Console([&] { result = watchdog_set_time(); });
    EXPECT_EQ(result, -1);
    EXPECT_EQ(console, "Device OPEN FAIL /dev/watchdog\n mknod /dev/watchdog c 10 130\n");
    EXPECT_EQ(wdt_fd, -1);
    EXPECT_EQ(watchdog_live(), 0);  // quietly without effect
}

TEST(Watchdog, RefusedTimeoutKeepsTheDeviceOpen) {
    testsupport::BoardRoot root;
    linktest::UnserveDevices(root, {"/dev/watchdog"});
    std::ofstream(root.host("/dev/watchdog")).close();
    int result = -1;
    const std::string console = linktest::Console([&] { result = watchdog_set_time(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(console, "WDT settime.Error...\n");
    EXPECT_GE(wdt_fd, 0);
    EXPECT_EQ(watchdog_live(), 0);
    EXPECT_EQ(relese_wdt(), 0);
    EXPECT_EQ(wdt_fd, -1);
}

}  // namespace
