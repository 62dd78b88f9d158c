// Hardware watchdog: armed once at start-up with a 30-second timeout, kept alive by the
// supervisor thread and the error halts, never closed by the recorder.
#include "wdt.h"

#include <fcntl.h>

#include <cstdio>

#include "os.h"

int wdt_fd = -1;

namespace {
constexpr int kTimeoutSeconds = 30;
}

int watchdog_set_time() {
    wdt_fd = os::open("/dev/watchdog", O_RDWR | O_NONBLOCK);
    if (wdt_fd == -1) {
        std::printf("Device OPEN FAIL /dev/watchdog\n");
        std::printf(" mknod /dev/watchdog c 10 130\n");
        return -1;
    }
    int timeout = kTimeoutSeconds;
    if (os::ioctl(wdt_fd, WDIOC_SETTIMEOUT, &timeout) < 0) {
        std::printf("WDT settime.Error...\n");
    } else {
        std::printf("SET new Watchdog Time %dsec..\n", timeout);
    }
    return 0;
}

int watchdog_live() {
    os::ioctl(wdt_fd, WDIOC_KEEPALIVE, 0UL);
    return 0;
}

int relese_wdt() {
    if (wdt_fd >= 0) os::close(wdt_fd);
    wdt_fd = -1;
    return 0;
}
