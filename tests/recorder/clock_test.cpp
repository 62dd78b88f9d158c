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

// GPS time is refused while the zone's offset puts the local date in another month: east of GMT
// early on the 1st, west of GMT late on a month's last day. GMT and unknown zones have no rule.
TEST(MonthBoundaryRule, EastOfGMTOnTheFirstWestOfGMTAtTheEndOfAMonth) {
    const struct {
        int tz;  // 28: +9, 15: +1, 14: GMT, 7: -5, 0: -12
        ClockDate date;
        int allowed;
    } cases[] = {
        {28, {2012, 5, 1, 10, 59, 0}, 0}, {28, {2012, 5, 1, 11, 0, 0}, 1},
        {28, {2012, 5, 2, 0, 0, 0}, 1},   {15, {2012, 5, 1, 2, 59, 0}, 0},
        {15, {2012, 5, 1, 3, 0, 0}, 1},   {7, {2012, 5, 30, 18, 0, 0}, 0},
        {7, {2012, 5, 30, 17, 59, 0}, 1}, {7, {2012, 5, 29, 23, 0, 0}, 1},
        {7, {2012, 2, 28, 18, 0, 0}, 0},  {7, {2012, 2, 27, 23, 0, 0}, 1},
        {0, {2012, 5, 31, 11, 0, 0}, 0},  {0, {2012, 5, 31, 10, 59, 0}, 1},
        {14, {2012, 5, 1, 0, 0, 0}, 1},   {14, {2012, 5, 31, 23, 0, 0}, 1},
        {34, {2012, 5, 1, 0, 0, 0}, 1},   {-1, {2012, 5, 31, 23, 0, 0}, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(GPSTimeAllowed(c.tz, c.date), c.allowed)
            << "zone " << c.tz << ", " << c.date.month << "/" << c.date.day << " " << c.date.hour
            << ":" << c.date.minute;
    }
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
    linktest::PlainI2C(root);
    ClockDate d{};
    const std::string console = linktest::Console([&] { d = InitSystemClock(28); });
    CloseIICDevice();
    EXPECT_EQ(d.year, 2010);
    EXPECT_EQ(applyGPSTime, 1);
    EXPECT_NE(console.find("Apply RTC time to System time - success\n"), std::string::npos);
    EXPECT_EQ(linktest::BoardTime().substr(0, 10), "2010-01-01");
}

class GPSTimeRule : public ::testing::Test {
  protected:
    void SetUp() override { reset_clock_globals(); }
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
    const auto bus = linktest::PlainI2C(root);
    linktest::Console([] { EXPECT_EQ(ApplyGPSTimeToRTC(13, 7, 4, 9, 41, 3), 0); });
    CloseIICDevice();
    EXPECT_EQ(linktest::ReadFile(bus), std::string("\x00\x03\x41\x09\x00\x04\x07\x13", 8));
    EXPECT_EQ(linktest::BoardTime().substr(0, 13), "2013-07-04 09");
}

}  // namespace
