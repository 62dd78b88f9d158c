// The event callback and the records that event sources hand to it.
//
// Every asynchronous input of the recorder reaches one dispatcher through a callback of this
// type. The record belongs to the source and is only valid during the call; the dispatcher copies
// what it keeps. Records are byte buffers with fixed little-endian layouts (offsets below); the
// first four bytes of each are zero so that the file writer can put its previous-record offset
// there in its own copy.
#pragma once

#include <cstddef>
#include <cstdint>

using EventCallback = int (*)(int type, void* record);

enum EventType : int {
    EVENT_GPS = 0,         // 92-byte GPS record from the front sub-board link
    EVENT_GSENSOR = 1,     // 20-byte accelerometer record
    EVENT_SND_DONE = 2,    // an ordinary voice prompt finished (no record)
    EVENT_SND078_DONE = 3, // the special prompt 078 finished (no record)
    EVENT_IBC = 4,         // 32-byte IBC record
};

// GPS record (92 bytes).
namespace gpsrec {
constexpr size_t SIZE = 92;
constexpr size_t STATUS = 4;        // 'A' valid, 'V' not valid
constexpr size_t LAT_HEMI = 5;      // 'N' / 'S'
constexpr size_t LON_HEMI = 6;      // 'E' / 'W'
constexpr size_t FIELD8 = 8;        // i32
constexpr size_t HEADING_GATE = 12; // i32
constexpr size_t HEADING = 16;      // i32
constexpr size_t KEY = 20;          // i32: 255 no key, 254 erase key
constexpr size_t FIELD12 = 24;      // i32
constexpr size_t LAT_TEXT = 28;     // 15 bytes, NUL-terminated
constexpr size_t LAT_TEXT_SIZE = 15;
constexpr size_t LON_TEXT = 43;     // 17 bytes, NUL-terminated
constexpr size_t LON_TEXT_SIZE = 17;
constexpr size_t RECV_SEC = 60;     // u32, written by the dispatcher
constexpr size_t RECV_USEC = 64;    // u32
constexpr size_t YEAR = 68;         // i32, two digits
constexpr size_t MONTH = 72;
constexpr size_t DAY = 76;
constexpr size_t HOUR = 80;
constexpr size_t MINUTE = 84;
constexpr size_t SECOND = 88;
static_assert(LON_TEXT + LON_TEXT_SIZE == RECV_SEC);
static_assert(SECOND + 4 == SIZE);
}  // namespace gpsrec

// Accelerometer record (20 bytes): bytes 4..11 are the driver's 8-byte record.
namespace gsrec {
constexpr size_t SIZE = 20;
constexpr size_t X = 4;          // i16
constexpr size_t Y = 6;          // i16
constexpr size_t Z = 8;          // i16
constexpr size_t W = 10;         // i16: knob level, 255 = unchanged
constexpr size_t TIME_SEC = 12;  // u32, written by the file writer in its copy
constexpr size_t TIME_USEC = 16; // u32
static_assert(W + 2 == TIME_SEC && TIME_SEC - X == 8); // the driver's record, then the time
static_assert(TIME_USEC + 4 == SIZE);
}  // namespace gsrec

// IBC record (32 bytes).
namespace ibcrec {
constexpr size_t SIZE = 32;
constexpr size_t LETTER1 = 4;  // command character
constexpr size_t LETTER2 = 5;  // second character
constexpr size_t LETTER3 = 6;
constexpr size_t LETTER4 = 7;
constexpr size_t HOUR1 = 8;    // i32: first time
constexpr size_t HOUR2 = 12;   // i32: second time
constexpr size_t MIN1 = 16;
constexpr size_t MIN2 = 20;
constexpr size_t SEC1 = 24;
constexpr size_t SEC2 = 28;
static_assert(SEC2 + 4 == SIZE);
}  // namespace ibcrec
