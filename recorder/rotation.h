// File rotation, one layer above the recording index and the file writer: which file is
// recorded and when it changes (the admission check of every record), what an event locks and
// when its post-recording ends, the erase key, and the storage error check after a failed write.
// The record writers here are what the capture paths call: the admission check, then the
// writer's record, then the error check when the card refused it.
//
// Callers hold rec_mutex (recstate.h) around every function here.
#pragma once

#include <cstdint>

#include "recfile.h"
#include "recinfo.h"

constexpr int POST_RECORD_SECONDS = 60;

extern int g_currentRecIndex;  // index of the file being recorded
extern int g_sdErrorCnt;       // consecutive failed record writes

extern uint8_t g_lock_status;              // 0 none; 1 event of type 0 or 1 in progress; 2 type 2
extern uint8_t g_lock_type;                // type of the event in progress
extern int g_lock_time;                    // seconds of the event's time
extern int g_postRecFileCnt;               // file changes since the event
extern int g_bkHistory[REC_HISTORY_SIZE];  // the history as it was at the event

// Opens the file named by the next index (after the free-space guard) and advances the index.
// A next index that names a locked file gives way to the next free file; when every file is
// locked, the oldest events rotate out until one is free. Returns 0; a card that is full or
// cannot take the file ends in the error halt. Once the halt is entered no file is opened
// (g_bRec stays 0).
int start_record();

// Completes the header of the open file (frame count, end time) and closes it. Returns 0.
int stop_record();

// The admission check for a record of `size` bytes and time `t`: 1 write it, 0 discard it. A
// record that ends its file (it would pass 20 MiB, the post-recording times out, the GPS moved
// the clock) is admitted as the first record of the next file; only a failed file change
// discards it.
int check_maxsize(int size, RecTime t);

// An event, and the erase key, save the index with its locks and flush the card before they
// return.
void event_proc(int type);
// The erase key: ends an event in progress and releases every lock.
void clear_all_locks();

// The storage error check after a failed record write: a missing card or the fifth failure in a
// row ends in the error halt (code 255), closing the recording file first.
void system_error();

// Each returns 0 when the record was written, -1 when it was refused (no file, too large, not
// admitted, or the write failed: then the storage error check has run).
int write_videoframe(int width, int height, int channel, const uint8_t* jpeg, int length);
int write_gpsframe(const uint8_t* gpsRecord);    // 92-byte GPS record
int write_gsensorframe(uint8_t* gsensorRecord);  // 20-byte record; its time is set here
int write_audioframe(const uint8_t* samples, int length);

// Every global of this file back at its start value (tests).
void reset_rotation_globals();
