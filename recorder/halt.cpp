#include "halt.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "RTCnVolume.h"
#include "gps.h"
#include "gsensor.h"
#include "recstate.h"
#include "sndout.h"
#include "wdt.h"

namespace {
std::atomic<bool> g_halted{false};
HaltCloseStep g_haltCloseStep = nullptr;
HaltHook g_haltHook = nullptr;
constexpr useconds_t kHaltPeriodUs = 500000;
constexpr unsigned kParkedSeconds = 3600;
constexpr uint8_t kHaltVolume = 40;

void close_recording_file() {
    if (g_haltCloseStep == nullptr) return;
    if (rec_mutex_held()) {
        g_haltCloseStep();
        return;
    }
    RecLock hold;
    g_haltCloseStep();
}
}  // namespace

bool halt_entered() {
    return g_halted;
}

void set_halt_close_step(HaltCloseStep step) {
    g_haltCloseStep = step;
}

void set_halt_hook(HaltHook hook) {
    g_haltHook = hook;
}

void reset_halt_globals() {
    g_halted = false;
    g_haltCloseStep = nullptr;
    g_haltHook = nullptr;
}

void error_halt(int code, bool closeFile) {
    std::printf("***** error halt, code %d *****\n", code);
    const bool first = !g_halted.exchange(true);
    if (closeFile) close_recording_file();
    g_bRec = 0;
    notify_capture_state();
    if (first) release_gsensor();
    // The threads that go on (the links above all) take rec_mutex for GPS time, the erase key
    // and the mode commands: the halt never returns to the code that took it, so it gives it
    // back here.
    give_back_rec_mutex();
    if (g_haltHook != nullptr) g_haltHook(code);
    if (!first) {
        for (;;) sleep(kParkedSeconds);
    }
    for (;;) {
        SetVolume(kHaltVolume);
        sndout_sysError();
        SendErrorCmd(code);
        watchdog_live();
        usleep(kHaltPeriodUs);
    }
}
