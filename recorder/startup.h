// Start-up of the recorder: the model, the devices, every event source handed the dispatcher,
// the clock, the storage and the first recording file; then the worker threads and the interval
// timer that paces parking-mode capture.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <array>

// Interval timer per parking capture rate (g_fpsParking): about one and about three frames a
// second. Interval and first expiry are equal.
extern const std::array<itimerval, 2> ti1;

extern pthread_t th_videoCap, th_videoCap1, th_sync, th_periCap;

// The model marker: present in the flash, the unit is the one-camera model.
constexpr const char* kModelMarker = "/mnt/jffs_user/DR/TK500";

// Sets g_bTK700 from the model marker and names the model on the console.
void CheckModel();

// Opens both camera devices (device 0 first), maps the frame area, starts the voice prompts,
// opens the audio device when audio is recorded, and opens the serial links, the I2C bus and the
// accelerometer, each given the dispatcher. Returns 0, or -1 when a camera or the audio device
// cannot be opened or the frame area cannot be mapped (the cameras are closed again then).
int open_device();

// Start-up: the card's limits, then the recording index (created or repaired) and the snapshot
// index. Returns what loading the recording index finally returned.
int prepare_storage();

// The start-up sequence up to the first recording file, the error halt given its close-file
// step (stop_record) first; g_eventEnable is set last. Returns 0, or -1 when open_device failed
// (nothing after it has run: no recording).
int init_record();

// Creates the four worker threads (rear and front camera, sync, audio).
void start_workers();

// Starts the parking capture thread, installs sig_call for SIGALRM ("timer setting error" when
// that fails) and arms the interval timer with ti1[g_fpsParking]. Returns 0.
int initSignal();

// The SIGALRM handler: wakes the parking capture thread (one semaphore post, nothing else).
void sig_call(int signo);

// What the parking capture does at one timer expiry: when recording in parking mode, one frame
// of camera device 0 and one of camera device 1 as video records, then a flush.
void ParkingCapture();

// The asynchronous signals (SIGIO of the accelerometer, SIGALRM of the interval timer) are taken
// by the main thread alone, which does nothing else: every other thread is created with them
// blocked, so their blocking reads and waits are not cut short by them.
void block_async_signals();
void unblock_async_signals();
