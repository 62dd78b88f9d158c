// Clock validation at start-up and the once-per-run GPS time.
#pragma once

#include <cstdint>

extern uint8_t applyGPSTime;       // 1 = GPS time may be applied in this run
extern int g_gps_init;             // valid GPS records counted while GPS time may be applied
extern int g_gpsActiveNextFile;    // 1 = the clock changed from GPS time: start a new file
extern const int month_length[13];

int is_leap_year(int year);
int date_is_valid(int year, int month, int day, int hour, int minute, int second);
int ApplyGPSTimeToRTC(int year, int month, int day, int hour, int minute, int second);
