#include "halt.h"

#include <unistd.h>

#include <cstdio>

#include "RTCnVolume.h"
#include "gps.h"
#include "gsensor.h"
#include "sndout.h"
#include "wdt.h"

namespace {
HaltCloseStep g_haltCloseStep = nullptr;
HaltHook g_haltHook = nullptr;
constexpr useconds_t kHaltPeriodUs = 500000;
constexpr uint8_t kHaltVolume = 40;
}  // namespace

void set_halt_close_step(HaltCloseStep step) {
    g_haltCloseStep = step;
}

void set_halt_hook(HaltHook hook) {
    g_haltHook = hook;
}

void reset_halt_globals() {
    g_haltCloseStep = nullptr;
    g_haltHook = nullptr;
}

void error_halt(int code, bool closeFile) {
    std::printf("***** error halt, code %d *****\n", code);
    if (closeFile && g_haltCloseStep != nullptr) g_haltCloseStep();
    release_gsensor();
    if (g_haltHook != nullptr) g_haltHook(code);
    for (;;) {
        SetVolume(kHaltVolume);
        sndout_sysError();
        SendErrorCmd(code);
        watchdog_live();
        usleep(kHaltPeriodUs);
    }
}
