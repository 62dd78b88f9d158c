// The recording state that the file rotation, the capture threads, the parking capture and the
// dispatcher share: rec_mutex, the flags that are read without it, and the GPS and accelerometer
// records that the dispatcher leaves for the capture path.
//
// Every other module of the recording core builds on this one; it builds on none of them.
#pragma once

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>

#include "event.h"

// --- Flags -----------------------------------------------------------------------------------

// Read by several threads without rec_mutex. Every change that can let a capture thread go on
// is followed by notify_capture_state().
extern std::atomic<uint8_t> g_bRec;    // 1 while a recording file is open and frames are accepted
extern std::atomic<int> g_drMode;      // 2 driving mode, 1 parking mode
extern std::atomic<int> g_modeChange;  // requested mode (1 or 2); 0 none pending
extern std::atomic<int> g_drEv;        // 1 = the capture threads may read frames

// Pending records that the dispatcher leaves for the capture path (written after a frame).
// The record bytes are written and read under rec_mutex.
extern std::atomic<int> g_gpsRecv;
extern uint8_t g_gpsData[gpsrec::SIZE];
extern std::atomic<int> g_gsCap;
extern uint8_t g_gsCapData[gsrec::SIZE];

// --- rec_mutex -------------------------------------------------------------------------------

// Guards the open recording file, the writer's bookkeeping, the recording index with its locks
// and history, the pending records and the snapshot request. Taken only through RecLock, which
// knows whether the calling thread holds it.
extern pthread_mutex_t rec_mutex;

// RAII holder of rec_mutex. Not recursive: a thread that holds it never takes it again.
class RecLock {
  public:
    RecLock();
    ~RecLock();
    RecLock(const RecLock&) = delete;
    RecLock& operator=(const RecLock&) = delete;
};

// Whether the calling thread holds rec_mutex (through a RecLock).
bool rec_mutex_held();

// Gives rec_mutex back for good when the calling thread holds it; the RecLock that took it then
// leaves it alone. For the error halt, which never returns to the code that took it.
void give_back_rec_mutex();

// --- Waiting for recording ------------------------------------------------------------------

// Wakes the threads that wait for recording to become possible. Called after g_bRec, g_drEv or
// g_drMode changed. Takes a lock of its own: never from a signal handler.
void notify_capture_state();

using CaptureCondition = bool (*)();
// Waits until `allowed` holds; it is tested again at every notify_capture_state().
void wait_capture_state(CaptureCondition allowed);
// Pauses for `period`, or less when `allowed` turns false meanwhile.
void pause_capture_state(CaptureCondition allowed, std::chrono::milliseconds period);

// Every global of this file back at its start value (tests; never while other threads run).
void reset_recstate_globals();
