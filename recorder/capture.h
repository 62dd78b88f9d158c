// Capture and recording control: the threads that move camera frames, audio blocks and the
// pending GPS and accelerometer records into the recording file, starting and stopping
// recording, programming the cameras and the change between driving and parking mode.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "camcore.h"
#include "recstate.h"
#include "rotation.h"

// --- Devices ---------------------------------------------------------------------------------

// Requests of the camera driver (CAMERA_IOC_* of camcore.h): the recorder sends 5 and 6 to both
// cameras, 7 when leaving parking mode, 8 when entering it, 9 before a power-off reboot.

constexpr int REAR_CAMERA = W99685_MINOR_REAR;    // "/dev/winbond0", two-camera model only
constexpr int FRONT_CAMERA = W99685_MINOR_FRONT;  // "/dev/winbond1"

// The frame area shared by both cameras, mapped once through camera device 0: the front frame
// at its start, the rear frame in its second half.
constexpr size_t FRAME_AREA_SIZE = W99685_AREA_SIZE;
constexpr size_t REAR_FRAME_OFFSET = W99685_REAR_OFFSET;
// A fetch result of 1..MAX_FRAME_LENGTH is a frame; anything else is a capture error.
constexpr ssize_t MAX_FRAME_LENGTH = 98303;

static_assert(FRAME_AREA_SIZE == 2 * REAR_FRAME_OFFSET);
static_assert(MAX_FRAME_LENGTH < static_cast<ssize_t>(REAR_FRAME_OFFSET));

constexpr size_t AUDIO_BLOCK_SIZE = 8192;

extern uint8_t g_bTK700;  // 1 two-camera model, 0 one-camera model (set at start-up)
extern int w99685fd[2];   // camera devices 0 (rear) and 1 (front), -1 while not open
extern uint8_t* g_buf;    // the mapped frame area, null while not mapped
extern int audio_fd;      // "/dev/dsp" when audio is recorded, else -1

// Guarded by rec_mutex.
extern int g_front_fcount;  // rear frames written since the last flush

// Image size written into video records; set when the cameras are programmed, before the
// capture threads start.
extern int __v;
extern int __h;

// Audio read buffer of the audio thread.
extern std::array<uint8_t, AUDIO_BLOCK_SIZE> g_audioBuf;

// --- Recording control -----------------------------------------------------------------------

// 1 = start (program resolution and quantiser on both cameras, open the first file),
// 2 = stop (close the file). Takes rec_mutex itself. Returns 0.
int record_control(int command);

// Sends the resolution code to both cameras and takes the image size from the byte as the
// driver leaves it: 0x20 640x480, 0x40 640x240, anything else leaves the size unchanged.
void encoding_resolution(uint8_t code);
void encoding_qp(int qp);

// Applies the requested mode g_modeChange: switches the board clocks (and pauses the front
// sub-board reader when parking), then g_drMode = request, g_modeChange = 0 and g_drEv = 0.
// Called without rec_mutex (the clock requests run outside it). Returns 0.
int ChangeDRMode();

// Writes the pending GPS record, then the pending accelerometer record, each at most once; in
// parking mode nothing. Caller holds rec_mutex.
void WritePeri();

// --- Threads ---------------------------------------------------------------------------------

void* VideoCaptureProc(void*);   // rear camera (two-camera model), driving mode
void* VideoCaptureProc1(void*);  // front camera, driving mode; ends in the error halt
void* PeriCaptureProc(void*);    // audio, driving mode
void* sync_thread(void*);        // flushes every third rear frame, watchdog kick every 1.2 s

// --- The pieces of the threads, for their tests ------------------------------------------

// Fetches one frame of camera `device` into the frame area (a read of length 0, retried when a
// signal interrupts it). Returns the frame length, 0 or -1.
ssize_t FetchFrame(int device);

// How frames are fetched. Replaceable so that tests can hand the capture paths frames.
using FrameFetchFunction = ssize_t (*)(int device);
extern FrameFetchFunction g_frameFetch;

bool is_frame_length(ssize_t length);

// One pass of VideoCaptureProc after its wait: fetch, then the record write or the rear error
// handling.
void RearCaptureTurn();
// One pass of VideoCaptureProc1 after its wait. False at a capture error: the thread then enters
// FrontCaptureError.
bool FrontCaptureTurn();
// The end of the front camera: keeps the file's index for the next run when the file is small,
// leaves the "sensorError" marker and enters the error halt with code 1 (file closed first).
[[noreturn]] void FrontCaptureError();
// One pass of PeriCaptureProc after its wait: one read of the audio device and its record.
void PeriCaptureTurn();
// sync_thread's sleep: true as soon as a flush is due (RearCaptureTurn makes one due at the
// third rear frame since the last flush), false at `deadline`.
bool WaitForSyncWork(std::chrono::steady_clock::time_point deadline);
// The flush of sync_thread: on the two-camera model, when at least three rear frames were
// written since the last flush.
void SyncTurn();

// Every global of this file back at its start value (tests). Devices are not closed.
void reset_capture_globals();
