// The recording file writer: "rec%08d.asd" files of an 84-byte header and records.
//
// Layout (little-endian):
//   0   28  base header: 0x11 0x08, 0, 0, 0, quantiser, 0, video record count (u32, at 8),
//           start time (at 12), end time (at 20); count and end time are completed at close
//   28  56  extended header: the user's settings (g_exFileHeader), byte 53 = 1
//   84  ... records; each begins with its kind, 0xFF and the offset of the record before it
//           (0 for the first record): accelerometer 0x00 (22 bytes), video 0x01 (26 + JPEG),
//           GPS 0x02 (94 bytes), audio 0x03 (18 + samples)
// Every record is written with one call: its head built in the staging buffer, its payload
// (JPEG, audio samples) from where the caller holds it, so that a frame is not copied out of the
// frame area first. A write that comes up short is cut back off the file, so a file never holds
// half a record.
//
// This is the file and its format only: which file is open, whether a record is admitted and
// what a failed write means are the file rotation's (rotation.h). All writer state is guarded by
// rec_mutex (recstate.h).
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
extern std::array<uint8_t, recfmt::STAGING_SIZE> g_szBufferTest;  // staging buffer (record heads)

RecTime current_rectime();

// Opens `path` as the recording file, created or truncated. Returns 0, or -1 (errno set; no file
// is open then).
int open_recfile(const char* path);
// Completes the header of the open file (when it has one) and closes it; write_size = 0.
void close_recfile();

// Writes the base and extended headers with start time `start`. Returns 0 or -1 (nothing of the
// header is left in the file then).
int write_fileheader(RecTime start);

// Writes the frame count and end time into the header of the open file (at close).
int complete_fileheader();

// Sizes of the records as they are written.
constexpr size_t video_record_size(size_t jpegLength) {
    return recfmt::VIDEO_HEAD_SIZE + jpegLength;
}
constexpr size_t audio_record_size(size_t sampleCount) {
    return recfmt::AUDIO_HEAD_SIZE + sampleCount;
}

// The reception time that a GPS record carries (bytes 60..67).
RecTime gps_record_time(const uint8_t* gpsRecord);

// Each appends one record to the open file with one writev, its previous-record offset taken from
// the file as it is now. Returns 0, or -1 when the write failed or came up short: the file is
// then cut back to where it was and nothing is counted. The caller has checked the sizes
// (at most MAX_JPEG and MAX_AUDIO) and admitted the record.
int put_videoframe(int width, int height, int channel, const uint8_t* jpeg, size_t length,
                   RecTime t);
int put_gpsframe(const uint8_t* gpsRecord);  // 92-byte GPS record, at its reception time
// 20-byte accelerometer record; the time `t` is stamped into the caller's record too.
int put_gsensorframe(uint8_t* gsensorRecord, RecTime t);
int put_audioframe(const uint8_t* samples, size_t length, RecTime t);

// Every global of this file back at its start value; an open file is closed first, as it is
// (tests).
void reset_recfile_globals();
