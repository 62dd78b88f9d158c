// Placeholder: clock validation is not built yet; GPS time never changes the clock.
#include "clock.h"

uint8_t applyGPSTime = 1;
int g_gps_init = 0;
int g_gpsActiveNextFile = 0;
const int month_length[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int is_leap_year(int) { return 0; }
int date_is_valid(int, int, int, int, int, int) { return 0; }
int ApplyGPSTimeToRTC(int, int, int, int, int, int) { return -1; }
