// The recording index: which file of the ring is next, and which files events have locked.
//
// "recinfo" is 1402 little-endian u32 words (5608 bytes): word 0 the next file index, word 1 the
// number of lock generations in use, word 2 + i the lock entry of file i (0 free; else bits 0..15
// the generation, 1 = oldest event, and bits 16..23 the lock type). "recinfo.bak" has the same
// layout and is only read to repair the index.
//
// The index, the history and the lock state are changed by the recording writer and by the event
// dispatcher; callers hold rec_mutex (capture.h) around every function here.
#pragma once

#include <array>
#include <cstdint>

#include "recfile.h"

constexpr int RECINFO_WORDS = 1402;
constexpr int RECINFO_SIZE = RECINFO_WORDS * 4;  // 5608
constexpr int RECINFO_NEXT = 0;
constexpr int RECINFO_LOCKCOUNT = 1;
constexpr int RECINFO_FIRST_ENTRY = 2;
constexpr int MAX_REC_FILES = 1400;
constexpr int REC_HISTORY_SIZE = 5;
constexpr int POST_RECORD_SECONDS = 60;
static_assert(RECINFO_FIRST_ENTRY + MAX_REC_FILES == RECINFO_WORDS);
static_assert(RECINFO_SIZE == 5608);

enum LockType : int { LOCK_EMERGENCY = 0, LOCK_IMPACT = 1, LOCK_ALARM = 2 };

extern std::array<uint32_t, RECINFO_WORDS> g_recinfo;

extern uint8_t g_lock_status;               // 0 none; 1 event of type 0 or 1 in progress; 2 type 2
extern uint8_t g_lock_type;                 // type of the event in progress
extern int g_lock_time;                     // seconds of the event's time
extern int g_postRecFileCnt;                // file changes since the event
extern int g_recHistory[REC_HISTORY_SIZE];  // recent files, newest at g_recHistoryDepth - 1
extern int g_bkHistory[REC_HISTORY_SIZE];   // the history as it was at the event

// Lock entry of file `index` (0 = free).
uint32_t& lock_entry(int index);

// Loads "recinfo" (and the snapshot index), or creates a zero-filled one. Returns 0, -1 when it
// cannot be created, -2 when it is damaged (short) or names a next index out of range.
int check_recinfo();
// Repairs the index from "recinfo.bak". Returns 0, or -1 when the backup cannot be created.
int replace_recinfo();
// Saves g_recinfo to "recinfo" so that a power cut leaves either the old or the new index.
int write_recinfo();

// Moves the next index to the next free file after it. Returns 0, or -1 when none is free.
int check_nextfile();
void saveRecHistory(int index);
void lock_file(int index, int type, int generation);
void RotationLockInfomation();
void event_proc(int type);
// The admission check for a record of `size` bytes and time `t`: 1 write it, 0 discard it.
int check_maxsize(int size, RecTime t);
// The erase key: ends an event in progress and releases every lock.
void clear_all_locks();
