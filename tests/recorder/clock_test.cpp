// Clock rules: date validity, the month-boundary rule, the start-up steps and the GPS time rule.
#include "clock.h"

#include <gtest/gtest.h>

#include "RTCnVolume.h"
#include "gps.h"
#include "link_test_support.hpp"

namespace {

TEST(LeapYear, GregorianRules) {
    EXPECT_EQ(is_leap_year(2000), 1);
    EXPECT_EQ(is_leap_year(2100), 0);
    EXPECT_EQ(is_leap_year(2012), 1);
    EXPECT_EQ(is_leap_year(2011), 0);
    EXPECT_EQ(is_leap_year(2036), 1);
}

TEST(DateIsValid, RangeEdges) {
    EXPECT_EQ(date_is_valid(2037, 12, 31, 23, 59, 59), 1);
    EXPECT_EQ(date_is_valid(2010, 1, 1, 0, 0, 0), 1);
    EXPECT_EQ(date_is_valid(2038, 1, 1, 0, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2009, 12, 31, 23, 59, 59), 0);
    EXPECT_EQ(date_is_valid(2012, 2, 29, 12, 0, 0), 1);
    EXPECT_EQ(date_is_valid(2011, 2, 29, 12, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 2, 28, 12, 0, 0), 1);
    EXPECT_EQ(date_is_valid(2011, 4, 31, 12, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 4, 30, 12, 0, 0), 1);
    EXPECT_EQ(date_is_valid(2011, 0, 10, 12, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 13, 10, 12, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 5, 0, 12, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 5, 1, 24, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 5, 1, -1, 0, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 5, 1, 0, 60, 0), 0);
    EXPECT_EQ(date_is_valid(2011, 5, 1, 0, 0, 60), 0);
    EXPECT_EQ(date_is_valid(2011, 5, 1, 0, -1, 0), 0);
}

TEST(MonthBoundaryRule, EastOfGMTOnTheFirst) {
    // Index 28 (GMT+0900, offset 9).
    EXPECT_EQ(GPSTimeAllowed(28, {2012, 5, 1, 10, 59, 0}), 0);
    EXPECT_EQ(GPSTimeAllowed(28, {2012, 5, 1, 11, 0, 0}), 1);
    EXPECT_EQ(GPSTimeAllowed(28, {2012, 5, 2, 0, 0, 0}), 1);
    // Index 15 (offset 1): up to 2 o'clock.
    EXPECT_EQ(GPSTimeAllowed(15, {2012, 5, 1, 2, 59, 0}), 0);
    EXPECT_EQ(GPSTimeAllowed(15, {2012, 5, 1, 3, 0, 0}), 1);
}

TEST(MonthBoundaryRule, WestOfGMTAtTheEndOfAMonth) {
    // Index 7 (GMT-0500, offset -5).
    EXPECT_EQ(GPSTimeAllowed(7, {2012, 5, 30, 18, 0, 0}), 0);
    EXPECT_EQ(GPSTimeAllowed(7, {2012, 5, 30, 17, 59, 0}), 1);
    EXPECT_EQ(GPSTimeAllowed(7, {2012, 5, 29, 23, 0, 0}), 1);
    EXPECT_EQ(GPSTimeAllowed(7, {2012, 2, 28, 18, 0, 0}), 0);
    EXPECT_EQ(GPSTimeAllowed(7, {2012, 2, 27, 23, 0, 0}), 1);
    // Index 0 (offset -12): from 11 o'clock.
    EXPECT_EQ(GPSTimeAllowed(0, {2012, 5, 31, 11, 0, 0}), 0);
    EXPECT_EQ(GPSTimeAllowed(0, {2012, 5, 31, 10, 59, 0}), 1);
}

TEST(MonthBoundaryRule, GMTAndUnknownZonesHaveNoRule) {
    EXPECT_EQ(GPSTimeAllowed(14, {2012, 5, 1, 0, 0, 0}), 1);
    EXPECT_EQ(GPSTimeAllowed(14, {2012, 5, 31, 23, 0, 0}), 1);
    EXPECT_EQ(GPSTimeAllowed(34, {2012, 5, 1, 0, 0, 0}), 1);
    EXPECT_EQ(GPSTimeAllowed(-1, {2012, 5, 31, 23, 0, 0}), 1);
}

TEST(StartupClock, WithoutRTCTheDefaultDateAllowsGPSTimeInEveryZone) {
    testsupport::BoardRoot root;
    for (int tz : {0, 7, 14, 15, 28, 33}) {
        applyGPSTime = 0;
        ClockDate d{};
        const std::string console = linktest::Console([&] { d = InitSystemClock(tz); });
        EXPECT_EQ(d.year, 2010);
        EXPECT_EQ(d.month, 1);
        EXPECT_EQ(d.day, 1);
        EXPECT_EQ(d.hour, 0);
        EXPECT_EQ(applyGPSTime, 1) << tz;
        EXPECT_NE(console.find("CurrentTime.2010-01-01 00:00:00\n"), std::string::npos);
        EXPECT_NE(console.find("###GMT : " + std::to_string(forCorrectT[tz]) +
                               " ## applyGPSTime : 1###\n\n"),
                  std::string::npos);
    }
}

TEST(StartupClock, UnreadableRTCFallsBackToTheDefaultDate) {
    testsupport::BoardRoot root;
    linktest::UnserveDevices(root, {"/dev/i2c-0"});
    std::ofstream(root.host("/dev/i2c-0")).close();
    linktest::Console([] { OpenIICDevice(); });
    ClockDate d{};
    const std::string console = linktest::Console([&] { d = InitSystemClock(28); });
    CloseIICDevice();
    EXPECT_EQ(d.year, 2010);
    EXPECT_EQ(applyGPSTime, 1);
    EXPECT_NE(console.find("Apply RTC time to System time - success\n"), std::string::npos);
    timeval now;
    os::gettimeofday(&now);
    time_t seconds = now.tv_sec;
    std::tm local{};
    localtime_r(&seconds, &local);
    EXPECT_EQ(local.tm_year, 110);
    EXPECT_EQ(local.tm_yday, 0);
}

class GPSTimeRule : public ::testing::Test {
  protected:
    void SetUp() override {
        applyGPSTime = 1;
        g_gps_init = 0;
        g_gpsActiveNextFile = 0;
    }
    // Offers `n` records with the given date; returns the console.
    std::string Offer(int n, int year, int month = 6, int day = 15) {
        return linktest::Console([&] {
            for (int i = 0; i < n; ++i) OfferGPSTime(year, month, day, 8, 30, i);
        });
    }
    testsupport::BoardRoot root;
};

TEST_F(GPSTimeRule, TheSixthValidRecordIsAppliedOnce) {
    EXPECT_EQ(Offer(5, 12), "");
    EXPECT_EQ(g_gpsActiveNextFile, 0);
    EXPECT_EQ(g_gps_init, 5);
    const std::string console = Offer(1, 12);
    EXPECT_EQ(console.rfind("Receive time to GPS 0012-06-15 08:30:00\n", 0), 0u);
    EXPECT_EQ(g_gpsActiveNextFile, 1);
    EXPECT_EQ(Offer(20, 12), "");
    EXPECT_EQ(g_gps_init, 10);
}

TEST_F(GPSTimeRule, NothingWhenGPSTimeIsNotAllowed) {
    applyGPSTime = 0;
    EXPECT_EQ(Offer(10, 12), "");
    EXPECT_EQ(g_gps_init, 0);
    EXPECT_EQ(g_gpsActiveNextFile, 0);
}

TEST_F(GPSTimeRule, RefusedYearIsNotTriedAgain) {
    Offer(5, 12);
    EXPECT_EQ(Offer(1, 4), "Receive time to GPS 0004-06-15 08:30:00\n");
    EXPECT_EQ(g_gpsActiveNextFile, 0);
    EXPECT_EQ(Offer(10, 12), "");
    EXPECT_EQ(g_gpsActiveNextFile, 0);
}

TEST_F(GPSTimeRule, InvalidDateIsRefusedLikeARefusedYear) {
    Offer(5, 12);
    const std::string console = Offer(1, 12, 2, 30);
    EXPECT_EQ(console.rfind("Receive time to GPS 0012-02-30 08:30:00\n", 0), 0u);
    EXPECT_EQ(g_gpsActiveNextFile, 0);
    Offer(10, 12);
    EXPECT_EQ(g_gpsActiveNextFile, 0);
}

TEST(ApplyGPSTimeToRTC, ValidityOfTheReceivedDate) {
    testsupport::BoardRoot root;
    g_gpsActiveNextFile = 0;
    linktest::Console([] {
        EXPECT_EQ(ApplyGPSTimeToRTC(4, 6, 15, 8, 30, 0), -1);
        EXPECT_EQ(ApplyGPSTimeToRTC(38, 1, 1, 0, 0, 0), -1);  // 2038: beyond the clock's range
        EXPECT_EQ(ApplyGPSTimeToRTC(12, 13, 1, 0, 0, 0), -1);
        EXPECT_EQ(ApplyGPSTimeToRTC(12, 6, 15, 24, 0, 0), -1);
        EXPECT_EQ(ApplyGPSTimeToRTC(0, 0, 0, 0, 0, 0), -1);
    });
    EXPECT_EQ(g_gpsActiveNextFile, 0);
    linktest::Console([] { EXPECT_EQ(ApplyGPSTimeToRTC(12, 2, 29, 8, 30, 0), 0); });
    EXPECT_EQ(g_gpsActiveNextFile, 1);
}

TEST(ApplyGPSTimeToRTC, WritesTheRTCAndTheSystemClock) {
    testsupport::BoardRoot root;
    linktest::UnserveDevices(root, {"/dev/i2c-0"});
    std::ofstream(root.host("/dev/i2c-0")).close();
    linktest::Console([] {
        OpenIICDevice();
        EXPECT_EQ(ApplyGPSTimeToRTC(13, 7, 4, 9, 41, 3), 0);
    });
    CloseIICDevice();
    EXPECT_EQ(linktest::ReadFile(root.host("/dev/i2c-0")),
              std::string("\x00\x03\x41\x09\x00\x04\x07\x13", 8));
    timeval now;
    os::gettimeofday(&now);
    time_t seconds = now.tv_sec;
    std::tm local{};
    localtime_r(&seconds, &local);
    EXPECT_EQ(local.tm_year, 113);
    EXPECT_EQ(local.tm_mon, 6);
    EXPECT_EQ(local.tm_mday, 4);
    EXPECT_EQ(local.tm_hour, 9);
}

}  // namespace
