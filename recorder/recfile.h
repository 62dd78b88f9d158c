// The recording file writer: "rec%08d.asd" files of an 84-byte header and records.
//
// Layout (little-endian):
//   0   28  base header: 0x11 0x08, 0, 0, 0, quantiser, 0, video record count (u32, at 8),
//           start time (at 12), end time (at 20); count and end time are completed at close
//   28  56  extended header: the user's settings (g_exFileHeader), byte 53 = 1
//   84  ... records; each begins with its kind, 0xFF and the offset of the record before it
//           (0 for the first record): accelerometer 0x00 (22 bytes), video 0x01 (26 + JPEG),
//           GPS 0x02 (94 bytes), audio 0x03 (18 + samples)
// Every record is built in the staging buffer and written with one write call. A write that
// comes up short is cut back off the file, so a file never holds half a record.
//
// All writer state is guarded by rec_mutex (capture.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// A time stamp as gettimeofday gives it, 32 bits each.
struct RecTime {
    uint32_t sec;
    uint32_t usec;
};

namespace recfmt {
constexpr size_t BASE_HEADER_SIZE = 28;
constexpr size_t EX_HEADER_SIZE = 56;
constexpr size_t HEADER_SIZE = BASE_HEADER_SIZE + EX_HEADER_SIZE;  // 84
constexpr size_t OFF_QP = 6;
constexpr size_t OFF_FRAME_COUNT = 8;
constexpr size_t OFF_START_TIME = 12;
constexpr size_t OFF_END_TIME = 20;
constexpr uint8_t MAGIC0 = 0x11;
constexpr uint8_t MAGIC1 = 0x08;

constexpr uint8_t KIND_GSENSOR = 0x00;
constexpr uint8_t KIND_VIDEO = 0x01;
constexpr uint8_t KIND_GPS = 0x02;
constexpr uint8_t KIND_AUDIO = 0x03;
constexpr uint8_t TAG_MARK = 0xFF;

constexpr size_t GSENSOR_RECORD_SIZE = 22;
constexpr size_t VIDEO_HEAD_SIZE = 26;
constexpr size_t GPS_RECORD_SIZE = 94;
constexpr size_t AUDIO_HEAD_SIZE = 18;

constexpr size_t STAGING_SIZE = 102400;
constexpr size_t MAX_JPEG = STAGING_SIZE - VIDEO_HEAD_SIZE;  // 102374
constexpr size_t MAX_AUDIO = STAGING_SIZE - AUDIO_HEAD_SIZE;
constexpr uint32_t MAX_FILE_SIZE = 20971520;  // 20 MiB

static_assert(HEADER_SIZE == 84);
static_assert(OFF_END_TIME + 8 == BASE_HEADER_SIZE);
static_assert(MAX_JPEG == 102374);
// Each record's size from its fields behind the kind, the mark and the previous offset (6 bytes).
static_assert(GSENSOR_RECORD_SIZE == 6 + 4 * 2 + 8);          // X, Y, Z, knob (i16), time
static_assert(VIDEO_HEAD_SIZE == 6 + 2 * 2 + 1 + 3 + 4 + 8);  // size, channel, 0, length, time
static_assert(GPS_RECORD_SIZE == 6 + 88);                     // GPS record bytes 4..91
static_assert(AUDIO_HEAD_SIZE == 6 + 8 + 4);                  // time, sample count
}  // namespace recfmt

extern int rec_fd;          // open recording file, -1 when none
extern int write_size;      // bytes in the file; 0 = header not written yet
extern int g_preFrameSize;  // size of the last thing written (84 after the header)
extern int g_totalVFrame;   // video records in the file
extern RecTime g_endtime;   // time of the last accepted record
extern std::array<uint8_t, recfmt::STAGING_SIZE> g_szBufferTest;  // staging buffer

RecTime current_rectime();

// Writes the base and extended headers with start time `start`. Returns 0 or -1 (nothing of the
// header is left in the file then).
int write_fileheader(RecTime start);

// Each returns 0 when the record was written, -1 when it was refused (no file, too large, not
// admitted, or the write failed: then the storage error check has run).
int write_videoframe(int width, int height, int channel, const uint8_t* jpeg, int length);
int write_gpsframe(const uint8_t* gpsRecord);    // 92-byte GPS record
int write_gsensorframe(uint8_t* gsensorRecord);  // 20-byte record; its time is set here
int write_audioframe(const uint8_t* samples, int length);

// Writes the frame count and end time into the header of the open file (at close).
int complete_fileheader();
