// Storage sizing: the card's size decides how many recording files and lock events are kept;
// every new recording file is guarded by a free-space check.
#pragma once

#include <array>

constexpr int SD_TYPE_UNKNOWN = 255;  // total size read as 0
constexpr int SD_TYPE_COUNT = 7;
constexpr int MIN_FREE_MB = 30;

extern int g_sdtype;        // card type 0..6, or 255
extern int g_maxFileCount;  // recording file indexes in use: 0 .. g_maxFileCount - 1
extern int g_maxLockCount;  // lock events kept

extern const int t_maxFileCount[SD_TYPE_COUNT];
extern const int t_maxLockTable[SD_TYPE_COUNT][3];

// Sizes in MB of the file system at `path`, in the box's unsigned 32-bit arithmetic. Returns 0,
// or -1 when the statistics cannot be read (the outputs are left unchanged).
int getFreeSize(int* total, int* used, int* freeSize, const char* path);

// The card type of "/mnt/mmcblk0p1": 0..6, or 255 when its total size reads as 0. A size that no
// type covers ends in the error halt (code 255).
int check_SD_type();

// Start-up: classifies the card and sets g_sdtype, g_maxFileCount and g_maxLockCount.
void init_storage_limits();

// The free-space guard at the start of every recording file: prints the card's sizes and returns
// false when less than 30 MB are free (or the sizes cannot be read). The caller closes the
// recording file and enters the error halt (code 255) then.
bool check_free_space();

// Every global of this file back at its start value (tests).
void reset_storage_globals();
