// Clock validation at start-up and the once-per-run GPS time.
#pragma once

#include <cstdint>

extern uint8_t applyGPSTime;     // 1 = GPS time may be applied in this run
extern int g_gps_init;           // valid GPS records counted while GPS time may be applied
extern int g_gpsActiveNextFile;  // 1 = the clock changed from GPS time: start a new file
extern const int month_length[13];

int is_leap_year(int year);
int date_is_valid(int year, int month, int day, int hour, int minute, int second);
int ApplyGPSTimeToRTC(int year, int month, int day, int hour, int minute, int second);

// A date and time of day, year with century.
struct ClockDate {
    int year, month, day, hour, minute, second;
};

// The date the clocks fall back to when the RTC cannot be trusted.
constexpr ClockDate kDefaultClockDate{2010, 1, 1, 0, 0, 0};

// Start-up: reads and validates the RTC (the default date when it is unreadable, invalid or not
// writable), decides applyGPSTime with the month-boundary rule of the time-zone index, and sets
// the system clock. Returns the date the system clock was set to.
ClockDate InitSystemClock(int tz_index);

// The month-boundary rule: 0 when, in the zone of `tz_index`, the local date may still differ
// from the GPS (UTC) date near a month boundary, so that GPS time must not be applied; else 1.
uint8_t GPSTimeAllowed(int tz_index, const ClockDate& date);

// The GPS time rule, for every GPS record with a valid fix (year of two digits): while GPS time
// may be applied, the sixth such record's date and time are applied, once per run.
void OfferGPSTime(int year, int month, int day, int hour, int minute, int second);

// Every global of this file back at its start value (tests).
void reset_clock_globals();
