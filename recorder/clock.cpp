// Clock validation at start-up and the once-per-run GPS time.
#include "clock.h"

#include <cstdio>
#include <iterator>

#include "RTCnVolume.h"
#include "gps.h"

uint8_t applyGPSTime = 1;
int g_gps_init = 0;
int g_gpsActiveNextFile = 0;

void reset_clock_globals() {
    applyGPSTime = 1;
    g_gps_init = 0;
    g_gpsActiveNextFile = 0;
}
const int month_length[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

namespace {

constexpr int kGMTIndex = 14;
constexpr int kRecordApplied = 5;  // the count at which a record's time is applied (the sixth)
constexpr int kCountLimit = 10;
constexpr int kRTCWriteAttempts = 6;

int ZoneOffset(int tz_index) {
    if (tz_index < 0 || tz_index >= static_cast<int>(std::size(forCorrectT))) return 0;
    return forCorrectT[tz_index];
}

bool IsDefaultDate(const ClockDate& d) {
    return d.year == kDefaultClockDate.year && d.month == kDefaultClockDate.month &&
           d.day == kDefaultClockDate.day && d.hour == 0 && d.minute == 0;
}

}  // namespace

int is_leap_year(int year) {
    return ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0) ? 1 : 0;
}

int date_is_valid(int year, int month, int day, int hour, int minute, int second) {
    if (year < 2010 || year > 2037) return 0;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) return 0;
    if (month < 1 || month > 12) return 0;
    const int days = month_length[month] + ((month == 2 && is_leap_year(year)) ? 1 : 0);
    return (day >= 1 && day <= days) ? 1 : 0;
}

uint8_t GPSTimeAllowed(int tz_index, const ClockDate& d) {
    const int offset = ZoneOffset(tz_index);
    if (tz_index >= 0 && tz_index < kGMTIndex) {
        // West of GMT: late on the last days of a month, UTC is already in the next month.
        if ((d.day > 29 || (d.month == 2 && d.day > 27)) && d.hour >= offset + 23) return 0;
    } else if (tz_index > kGMTIndex && tz_index < static_cast<int>(std::size(forCorrectT))) {
        // East of GMT: early on the first of a month, UTC is still in the previous month.
        if (d.day == 1 && d.hour <= offset + 1) return 0;
    }
    return 1;
}

ClockDate InitSystemClock(int tz_index) {
    // Without an I2C device the read succeeds without a value: the default date stands.
    ClockDate d = kDefaultClockDate;
    if (ReadRTC(&d.year, &d.month, &d.day, &d.hour, &d.minute, &d.second) != 0) {
        d = kDefaultClockDate;
    } else if (!date_is_valid(d.year, d.month, d.day, d.hour, d.minute, d.second)) {
        d = kDefaultClockDate;  // the RTC keeps its content
    } else if (SetRTC(d.year, d.month, d.day, d.hour, d.minute, d.second) != 0) {
        d = kDefaultClockDate;
    }

    applyGPSTime = 1;
    applyGPSTime = GPSTimeAllowed(tz_index, d);
    std::printf("CurrentTime.%04d-%02d-%02d %02d:%02d:%02d\n", d.year, d.month, d.day, d.hour,
                d.minute, d.second);
    if (IsDefaultDate(d)) applyGPSTime = 1;
    std::printf("###GMT : %d ## applyGPSTime : %d###\n\n", ZoneOffset(tz_index), applyGPSTime);
    SetSystemTime(d.year, d.month, d.day, d.hour, d.minute, d.second);
    return d;
}

int ApplyGPSTimeToRTC(int year, int month, int day, int hour, int minute, int second) {
    std::printf("Receive time to GPS %04d-%02d-%02d %02d:%02d:%02d\n", year, month, day, hour,
                minute, second);
    if (year <= 4) return -1;
    // A garbled sentence must not set the clocks to a date that cannot be.
    if (!date_is_valid(year + 2000, month, day, hour, minute, second)) {
        std::printf("GPS time not valid, clocks unchanged\n");
        return -1;
    }
    for (int attempt = 0; attempt < kRTCWriteAttempts; ++attempt) {
        if (SetRTC(year, month, day, hour, minute, second) >= 0) break;
    }
    SetSystemTime(year + 2000, month, day, hour, minute, second);
    g_gpsActiveNextFile = 1;
    return 0;
}

void OfferGPSTime(int year, int month, int day, int hour, int minute, int second) {
    if (applyGPSTime != 1) return;
    if (g_gps_init == kRecordApplied) ApplyGPSTimeToRTC(year, month, day, hour, minute, second);
    if (g_gps_init < kCountLimit) ++g_gps_init;
}
