// User configuration: basic_conf on the SD card, mirrored to flash, read once at start-up.
#pragma once

#include <cstddef>
#include <cstdint>

// Extended file header (56 bytes): the user's settings carried into every recording file and
// sent to the front sub-board. Only byte members, so the layout has no padding; the file writer
// still encodes it byte by byte.
struct ExFileHeader {
    uint8_t speedUnit;        // 0: SPUNIT, 0..2
    uint8_t usePassword;      // 1: USEPW
    uint8_t tzIndex;          // 2: TZ, 0..33 (14 = GMT+0000)
    uint8_t useDST;           // 3: DST, 0..1
    char password[10];        // 4..13: PW, NUL-terminated
    char vehicleNumber[39];   // 14..52: NUMOFVEHICLE, NUL-terminated
    uint8_t headerFlag;       // 53: set to 1 immediately before every header write
    uint8_t reserved[2];      // 54..55: 0
};
static_assert(sizeof(ExFileHeader) == 56);
static_assert(offsetof(ExFileHeader, password) == 4);
static_assert(offsetof(ExFileHeader, vehicleNumber) == 14);
static_assert(offsetof(ExFileHeader, headerFlag) == 53);

extern ExFileHeader g_exFileHeader;

extern uint8_t g_res;              // resolution code: 32 (640x480) or 64 (640x240)
extern int g_qp;                   // JPEG quantiser 0..5
extern uint8_t g_audioRec;         // 1 = audio is recorded
extern int g_preRecTime;           // pre-record count 1..3
extern int g_recHistoryDepth;      // pre-record count + 1
extern int g_disableEraseButton;   // 1 = erase key ignored
extern int g_fpsParking;           // 0: 1 frame/s, 1: 3 frames/s in parking mode
extern int g_gsCSValueX, g_gsCSValueY, g_gsCSValueZ;  // impact thresholds

extern const int GSVAL_X[4];
extern const int GSVAL_Y[4];
extern const int GSVAL_Z[4];

// Reads the settings (restoring the card's copy from flash, or writing a default file).
// Returns 0 when settings were read or a default file was written, -1 otherwise.
int ParseBasicConf();

// Every global of this file back at its start value (tests).
void reset_config_globals();
