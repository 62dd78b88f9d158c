// Capture threads and recording control.
//
// The capture threads never poll: while recording is not possible they wait on one condition
// variable that every change of g_bRec, g_drEv and g_drMode signals, and while it is possible
// they block in the device read (camera frame fetch, audio block). Each record is written under
// rec_mutex, never the device read.
#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "config.h"
#include "gps.h"
#include "halt.h"
#include "os.h"
#include "snapshot.h"
#include "wdt.h"

namespace {
constexpr int kInitialWidth = 640;
constexpr int kInitialHeight = 480;
}  // namespace

uint8_t g_bTK700 = 1;
int w99685fd[2] = {-1, -1};
uint8_t* g_buf = nullptr;
int audio_fd = -1;

int g_front_fcount = 0;

int __v = kInitialWidth;
int __h = kInitialHeight;

std::array<uint8_t, AUDIO_BLOCK_SIZE> g_audioBuf{};

FrameFetchFunction g_frameFetch = FetchFrame;

void reset_capture_globals() {
    g_bTK700 = 1;
    w99685fd[0] = w99685fd[1] = -1;
    g_buf = nullptr;
    audio_fd = -1;
    g_front_fcount = 0;
    __v = kInitialWidth;
    __h = kInitialHeight;
    g_audioBuf.fill(0);
    g_frameFetch = FetchFrame;
}

namespace {

constexpr int kKeepIndexBelow = 512000;  // a front-camera failure in a file this small reuses it
constexpr int kFlushAfterRearFrames = 3;
// The watchdog's kick from sync_thread: every 1.2 s (twenty passes of 60 ms, as it was counted
// when the thread woke on a fixed period).
constexpr auto kWatchdogPeriod = std::chrono::milliseconds(1200);

// A capture error that returns at once must not turn its thread into a loop of device requests
// and marker writes: the rear camera tries again after a frame period, audio after a second.
constexpr auto kRearRetry = std::chrono::milliseconds(100);
constexpr auto kAudioRetry = std::chrono::milliseconds(1000);

constexpr uint8_t kCodeVGA = 0x20;
constexpr uint8_t kCodeHalfVGA = 0x40;

bool rear_capture_allowed() {
    return g_bRec != 0 && g_drEv != 0 && g_bTK700 != 0;
}

bool front_capture_allowed() {
    return g_bRec != 0 && g_drEv != 0;
}

bool audio_capture_allowed() {
    return g_bRec == 1 && g_audioRec != 0 && g_drMode == 2 && audio_fd >= 0;
}

// The status files of a failed camera: created when missing, never written.
void leave_marker(const char* path) {
    const int fd = os::open(path, O_WRONLY | O_CREAT, 0644);
    if (fd < 0) {
        std::printf("%s cannot be created - %m\n", path);
        return;
    }
    os::close(fd);
}

void rear_capture_error() {
    std::printf("Rear Video Capture Error\n");
    leave_marker("/mnt/mmcblk0p1/data/Rear_sensorError");
    if (g_bTK700 != 0) {
        {
            RecLock hold;
            WritePeri();
        }
        os::sync();
    }
    pause_capture_state(rear_capture_allowed, kRearRetry);
}

uint8_t* frame_of(int device) {
    return g_buf + (device == REAR_CAMERA ? REAR_FRAME_OFFSET : 0);
}

// What sync_thread sleeps on: a flush that became due. Never destroyed, as the thread waits on
// it until the process ends.
struct SyncWake {
    std::mutex mutex;
    std::condition_variable changed;
    bool flushDue = false;
};

SyncWake& sync_wake() {
    static SyncWake* const w = new SyncWake;
    return *w;
}

// Called by the rear capture thread after the frame that makes a flush due.
void flush_due() {
    SyncWake& w = sync_wake();
    {
        std::lock_guard<std::mutex> hold(w.mutex);
        w.flushDue = true;
    }
    w.changed.notify_one();
}

}  // namespace

// --- Recording control -----------------------------------------------------------------------

int record_control(int command) {
    std::printf("Record control command...\n");
    if (command == 1 && g_bRec != 1) {
        std::printf("start record\n");
        encoding_resolution(g_res);
        encoding_qp(g_qp);
        RecLock hold;
        start_record();
    } else if (command == 2 && g_bRec != 0) {
        std::printf("stop record\n");
        {
            RecLock hold;
            g_bRec = 0;
            stop_record();
        }
        os::sync();
    }
    return 0;
}

void encoding_resolution(uint8_t code) {
    uint8_t byte = code;
    os::ioctl(w99685fd[REAR_CAMERA], CAMERA_IOC_SET_RESOLUTION, &byte);
    os::ioctl(w99685fd[FRONT_CAMERA], CAMERA_IOC_SET_RESOLUTION, &byte);
    if (byte == kCodeVGA) {
        std::printf("VGA Setting\n");
        __v = 640;
        __h = 480;
    } else if (byte == kCodeHalfVGA) {
        std::printf("Half VGA Setting\n");
        __v = 640;
        __h = 240;
    }
}

void encoding_qp(int qp) {
    uint8_t byte = static_cast<uint8_t>(qp);
    os::ioctl(w99685fd[REAR_CAMERA], CAMERA_IOC_SET_QP, &byte);
    os::ioctl(w99685fd[FRONT_CAMERA], CAMERA_IOC_SET_QP, &byte);
    std::printf("QP %d\n", byte);
}

int ChangeDRMode() {
    std::printf("ChangeDRMode\n");
    const int request = g_modeChange;
    if (request == 0) return 0;
    const int current = g_drMode;
    // The clocks follow the mode: a request for the mode the unit is already in switches
    // nothing (parking must not run on the normal clock, nor driving on the slow one).
    if (request != current) {
        if (current == 1) {
            os::ioctl(w99685fd[FRONT_CAMERA], CAMERA_IOC_CLOCK_NORMAL);
        } else if (current == 2) {
            setgpsMode(0);
            os::ioctl(w99685fd[FRONT_CAMERA], CAMERA_IOC_CLOCK_SLOW);
        }
    }
    {
        RecLock hold;
        g_drMode = request;
        g_modeChange = 0;
        g_drEv = 0;
    }
    notify_capture_state();
    return 0;
}

void WritePeri() {
    if (g_drMode == 1) return;
    if (g_gpsRecv != 0) {
        write_gpsframe(g_gpsData);
        g_gpsRecv = 0;
    }
    if (g_gsCap != 0) {
        write_gsensorframe(g_gsCapData);
        g_gsCap = 0;
    }
}

// --- Threads ---------------------------------------------------------------------------------

bool is_frame_length(ssize_t length) {
    return length >= 1 && length <= MAX_FRAME_LENGTH;
}

ssize_t FetchFrame(int device) {
    const int fd = w99685fd[device];
    if (fd < 0 || g_buf == nullptr) {
        errno = EBADF;
        return -1;
    }
    ssize_t length;
    do {
        length = os::read(fd, frame_of(device), 0);
    } while (length < 0 && errno == EINTR);
    return length;
}

// Whether a fetched frame is still wanted is asked under rec_mutex: a file change in the other
// capture thread clears g_bRec for its own length under the lock, and a frame fetched meanwhile
// belongs in the new file.
void RearCaptureTurn() {
    const ssize_t length = g_frameFetch(REAR_CAMERA);
    bool flush = false;
    {
        RecLock hold;
        // Recording stopped or the mode changed during the fetch: the frame is dropped.
        if (!rear_capture_allowed()) return;
        if (is_frame_length(length)) {
            flush = ++g_front_fcount == kFlushAfterRearFrames;
            const uint8_t* frame = frame_of(REAR_CAMERA);
            write_videoframe(__v, __h, REAR_CAMERA, frame, static_cast<int>(length));
            MakeSnapShot(frame, static_cast<int>(length));
            WritePeri();
        }
    }
    if (!is_frame_length(length)) {
        rear_capture_error();
        return;
    }
    // After the lock: woken under it, sync_thread would only wait for it again.
    if (flush) flush_due();
}

bool FrontCaptureTurn() {
    const ssize_t length = g_frameFetch(FRONT_CAMERA);
    RecLock hold;
    if (!front_capture_allowed()) return true;
    if (!is_frame_length(length)) return false;
    write_videoframe(__v, __h, FRONT_CAMERA, frame_of(FRONT_CAMERA), static_cast<int>(length));
    if (g_bTK700 == 0) WritePeri();
    return true;
}

void FrontCaptureError() {
    // Held into the halt, which closes the file under it and then gives it back.
    RecLock hold;
    std::printf("Capture error.. %d\n", write_size);
    // A small file is recorded again after the restart, unless an event has locked it.
    if (write_size < kKeepIndexBelow && lock_entry(g_currentRecIndex) == 0) {
        g_recinfo[RECINFO_NEXT] = static_cast<uint32_t>(g_currentRecIndex);
        write_recinfo();
    }
    leave_marker("/mnt/mmcblk0p1/data/sensorError");
    os::sync();
    error_halt(HALT_FRONT_CAMERA, true);
}

void PeriCaptureTurn() {
    ssize_t n;
    do {
        n = os::read(audio_fd, g_audioBuf.data(), g_audioBuf.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(g_audioBuf.size())) {
        RecLock hold;
        if (g_bRec == 1 && g_drMode == 2) {
            write_audioframe(g_audioBuf.data(), static_cast<int>(g_audioBuf.size()));
        }
        return;
    }
    // A short block is dropped; a device that fails or ends is tried again a second later.
    if (n <= 0) pause_capture_state(audio_capture_allowed, kAudioRetry);
}

bool WaitForSyncWork(std::chrono::steady_clock::time_point deadline) {
    SyncWake& w = sync_wake();
    std::unique_lock<std::mutex> hold(w.mutex);
    const bool due = w.changed.wait_until(hold, deadline, [&] { return w.flushDue; });
    w.flushDue = false;
    return due;
}

void SyncTurn() {
    if (g_bTK700 == 0) return;
    bool flush = false;
    {
        RecLock hold;
        if (g_front_fcount >= kFlushAfterRearFrames) {
            g_front_fcount = 0;
            flush = true;
        }
    }
    if (flush) os::sync();
}

void* VideoCaptureProc(void*) {
    {
        RecLock hold;
        g_front_fcount = 0;
    }
    for (;;) {
        wait_capture_state(rear_capture_allowed);
        RearCaptureTurn();
    }
    return nullptr;
}

void* VideoCaptureProc1(void*) {
    for (;;) {
        wait_capture_state(front_capture_allowed);
        if (!FrontCaptureTurn()) break;
    }
    FrontCaptureError();
}

void* PeriCaptureProc(void*) {
    for (;;) {
        wait_capture_state(audio_capture_allowed);
        PeriCaptureTurn();
    }
    return nullptr;
}

// Wakes for a flush when the rear capture thread makes one due, and for the watchdog's kick;
// not on a fixed period: a wake-up costs the box as much as a flush check.
void* sync_thread(void*) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point kick = Clock::now() + kWatchdogPeriod;
    for (;;) {
        WaitForSyncWork(kick);
        const Clock::time_point now = Clock::now();
        if (now >= kick) {
            watchdog_live();
            kick = now + kWatchdogPeriod;
        }
        SyncTurn();
    }
    return nullptr;
}
