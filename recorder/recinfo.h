// The recording index: which file of the ring is next, and which files events have locked.
//
// "recinfo" is 1402 little-endian u32 words (5608 bytes): word 0 the next file index, word 1 the
// number of lock generations in use, word 2 + i the lock entry of file i (0 free; else bits 0..15
// the generation, 1 = oldest event, and bits 16..23 the lock type). "recinfo.bak" has the same
// layout: a copy of the last index saved, replaced after it. Both are replaced whole and
// flushed (cardfile.h); a power cut leaves each old, new, or as a whole "<name>.tmp" beside.
//
// Index work only: loading, repairing and saving the index, the choice of the next file, the
// history of recent files and the lock entries. What an event locks and when is the file
// rotation's (rotation.h). Callers hold rec_mutex (recstate.h) around every function here.
#pragma once

#include <array>
#include <cstdint>

constexpr int RECINFO_WORDS = 1402;
constexpr int RECINFO_SIZE = RECINFO_WORDS * 4;  // 5608
constexpr int RECINFO_NEXT = 0;
constexpr int RECINFO_LOCKCOUNT = 1;
constexpr int RECINFO_FIRST_ENTRY = 2;
constexpr int MAX_REC_FILES = 1400;
constexpr int REC_HISTORY_SIZE = 5;
static_assert(RECINFO_FIRST_ENTRY + MAX_REC_FILES == RECINFO_WORDS);
static_assert(RECINFO_SIZE == 5608);

enum LockType : int { LOCK_EMERGENCY = 0, LOCK_IMPACT = 1, LOCK_ALARM = 2 };

extern std::array<uint32_t, RECINFO_WORDS> g_recinfo;

extern int g_recHistory[REC_HISTORY_SIZE];  // recent files, newest at g_recHistoryDepth - 1

// Lock entry of file `index` (0 = free).
uint32_t& lock_entry(int index);

// Positions of the history in use (pre-record count + 1), kept inside the five places.
int history_depth();

// Loads "recinfo" (and the snapshot index), or creates a zero-filled one. Returns 0, -1 when it
// cannot be created, -2 when it is damaged (short) or names a next index out of range.
int check_recinfo();
// Repairs the index from "recinfo.bak". Returns 0, or -1 when the backup cannot be created.
int replace_recinfo();
// Saves g_recinfo to "recinfo", then to "recinfo.bak", each on the card when this returns.
// Returns 0, or -1 when the index could not be saved (the backup is then left as it was).
int write_recinfo();

// Moves the next index to the next free file after it. Returns 0, or -1 when none is free.
int check_nextfile();
void saveRecHistory(int index);
void lock_file(int index, int type, int generation);
void RotationLockInfomation();
// The oldest event's locks released and the others moved down a generation, the lock count one
// less (the index is not saved).
void release_oldest_event();
// Lock count 0 and every lock entry free (the index is not saved).
void clear_lock_entries();

// Every global of this file back at its start value (tests).
void reset_recinfo_globals();
