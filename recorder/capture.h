// Recording control: opening and closing recording files, the storage error check, and the
// flags and lock shared by the capture paths.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "event.h"

// Flags read by several threads without rec_mutex.
extern std::atomic<uint8_t> g_bRec;    // 1 while a recording file is open and frames are accepted
extern std::atomic<int> g_drMode;      // 2 driving mode, 1 parking mode
extern std::atomic<int> g_modeChange;  // requested mode (1 or 2); 0 none pending
extern std::atomic<int> g_drEv;        // 1 = the capture threads may read frames

// Pending records that the dispatcher leaves for the capture path (written after a frame).
extern std::atomic<int> g_gpsRecv;
extern uint8_t g_gpsData[gpsrec::SIZE];
extern std::atomic<int> g_gsCap;
extern uint8_t g_gsCapData[gsrec::SIZE];

// Guarded by rec_mutex.
extern int g_currentRecIndex;  // index of the file being recorded
extern int g_sdErrorCnt;       // consecutive failed record writes

// Guards the open recording file, the writer's bookkeeping and the recording index.
extern pthread_mutex_t rec_mutex;

// Opens the file named by the next index (after the free-space guard) and advances the index.
// Returns 0; a card that is full or cannot take the file ends in the error halt.
int start_record();

// Completes the header of the open file (frame count, end time) and closes it. Returns 0.
int stop_record();

// The storage error check after a failed record write: a missing card or the fifth failure in a
// row ends in the error halt (code 255), closing the recording file first.
void system_error();

// RAII holder of rec_mutex.
class RecLock {
  public:
    RecLock() { pthread_mutex_lock(&rec_mutex); }
    ~RecLock() { pthread_mutex_unlock(&rec_mutex); }
    RecLock(const RecLock&) = delete;
    RecLock& operator=(const RecLock&) = delete;
};
