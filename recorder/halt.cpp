#include "halt.h"

#include <unistd.h>

#include <cstdio>

#include "RTCnVolume.h"
#include "capture.h"
#include "gps.h"
#include "gsensor.h"
#include "sndout.h"
#include "wdt.h"

namespace {
HaltHook g_haltHook = nullptr;
constexpr useconds_t kHaltPeriodUs = 500000;
constexpr uint8_t kHaltVolume = 40;
}  // namespace

void set_halt_hook(HaltHook hook) {
    g_haltHook = hook;
}

void error_halt(int code, bool closeFile) {
    std::printf("***** error halt, code %d *****\n", code);
    if (closeFile) stop_record();
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
