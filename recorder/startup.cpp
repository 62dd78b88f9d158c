// Start-up and the parking-mode timer.
//
// The interval timer runs for the whole life of the process. Its handler only posts a semaphore;
// the parking capture thread waits on it and does the capture work (device reads, file writes,
// file changes, console lines), none of which may run inside a signal handler.
#include "startup.h"

#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "RTCnVolume.h"
#include "capture.h"
#include "clock.h"
#include "config.h"
#include "dispatcher.h"
#include "gps.h"
#include "gsensor.h"
#include "halt.h"
#include "ibc.h"
#include "os.h"
#include "recinfo.h"
#include "rotation.h"
#include "sndout.h"
#include "storage.h"
#include "wdt.h"

const std::array<itimerval, 2> ti1{{
    {{0, 999999}, {0, 999999}},
    {{0, 333333}, {0, 333333}},
}};

pthread_t th_videoCap, th_videoCap1, th_sync, th_periCap;

namespace {

sem_t parking_tick;  // one post per timer expiry
pthread_t th_parkingCap;

struct TickInit {
    TickInit() { sem_init(&parking_tick, 0, 0); }
} tick_init;

sigset_t async_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGIO);
    sigaddset(&set, SIGALRM);
    return set;
}

void close_cameras() {
    for (int& fd : w99685fd) {
        if (fd >= 0) os::close(fd);
        fd = -1;
    }
}

int open_cameras() {
    for (int i = 0; i < 2; ++i) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/winbond%d", i);
        w99685fd[i] = os::open(path, O_RDWR | O_NONBLOCK);
        if (w99685fd[i] < 0) {
            std::printf("open %s - %m\n", path);
            close_cameras();
            return -1;
        }
    }
    void* area = os::mmap(nullptr, FRAME_AREA_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED,
                          w99685fd[REAR_CAMERA], 0);
    if (area == MAP_FAILED) {
        // Without the frame area no frame can be read: the recorder starts as without cameras.
        std::printf("mmap /dev/winbond0 - %m\n");
        close_cameras();
        return -1;
    }
    g_buf = static_cast<uint8_t*>(area);
    return 0;
}

// Parking mode: the timer sets the pace. When the capture takes longer than a period, the
// expiries that came meanwhile count as one, as a pending signal would.
void* ParkingCaptureProc(void*) {
    for (;;) {
        while (sem_wait(&parking_tick) != 0 && errno == EINTR) {
        }
        while (sem_trywait(&parking_tick) == 0) {
        }
        ParkingCapture();
    }
    return nullptr;
}

void create_thread(pthread_t* handle, void* (*body)(void*), const char* name) {
    if (pthread_create(handle, nullptr, body, nullptr) != 0) {
        std::printf("%s thread cannot be created\n", name);
    }
}

void write_parking_frame(int device, ssize_t length) {
    if (length <= 0) return;
    RecLock hold;
    if (g_bRec != 1 || g_drMode != 1) return;
    // A length beyond what a record can take is refused by the writer.
    const int n = static_cast<int>(std::min<ssize_t>(length, INT_MAX));
    const uint8_t* frame = g_buf + (device == REAR_CAMERA ? REAR_FRAME_OFFSET : 0);
    write_videoframe(__v, __h, device, frame, n);
}

}  // namespace

void CheckModel() {
    if (FILE* marker = os::fopen(kModelMarker, "r")) {
        std::fclose(marker);
        g_bTK700 = 0;
        std::printf("Model TK500\n");
    } else {
        g_bTK700 = 1;
        std::printf("Model TK700\n");
    }
}

int open_device() {
    if (open_cameras() != 0) return -1;
    init_snd(__callback_proc, audio_fd);
    if (g_audioRec != 0) {
        audio_fd = os::open("/dev/dsp", O_RDONLY);
        if (audio_fd < 0) {
            std::printf("Open audio device (/dev/dsp)\n");
            return -1;
        }
    }
    init_ibc(__callback_proc);
    init_gps(__callback_proc);
    OpenIICDevice();
    init_gsensor(__callback_proc, subCheck);
    return 0;
}

int prepare_storage() {
    init_storage_limits();
    int result = check_recinfo();
    if (result == -2) {
        std::printf("recinfo file error... Now fix recinfo file...\n");
        result = replace_recinfo();
    }
    return result;
}

int init_record() {
    set_halt_close_step(stop_record);
    g_drEv = 1;
    notify_capture_state();
    CheckModel();
    if (open_device() != 0) return -1;
    start_gps(&g_exFileHeader, g_bTK700);
    watchdog_set_time();
    {
        // The front sub-board reader already runs and may call the dispatcher, which applies
        // GPS time and changes the recording state under the lock.
        RecLock hold;
        InitSystemClock(g_exFileHeader.tzIndex);
        prepare_storage();
    }
    start_ibc();
    record_control(1);
    g_eventEnable = 1;
    return 0;
}

void start_workers() {
    create_thread(&th_videoCap, VideoCaptureProc, "VideoCaptureProc");
    create_thread(&th_videoCap1, VideoCaptureProc1, "VideoCaptureProc1");
    create_thread(&th_sync, sync_thread, "sync_thread");
    create_thread(&th_periCap, PeriCaptureProc, "PeriCaptureProc");
}

int initSignal() {
    create_thread(&th_parkingCap, ParkingCaptureProc, "ParkingCaptureProc");
    struct sigaction action {};
    action.sa_handler = sig_call;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGALRM, &action, nullptr) != 0) std::printf("timer setting error\n");
    const int rate = g_fpsParking == 1 ? 1 : 0;
    setitimer(ITIMER_REAL, &ti1[rate], nullptr);
    return 0;
}

void sig_call(int /*signo*/) {
    const int saved_errno = errno;
    sem_post(&parking_tick);
    errno = saved_errno;
}

void ParkingCapture() {
    if (g_bRec != 1 || g_drMode != 1) return;
    write_parking_frame(REAR_CAMERA, g_frameFetch(REAR_CAMERA));
    write_parking_frame(FRONT_CAMERA, g_frameFetch(FRONT_CAMERA));
    os::sync();
}

void block_async_signals() {
    const sigset_t set = async_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void unblock_async_signals() {
    const sigset_t set = async_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}
