// A program for accelmon's whole-board tests, run by simboard in place of the recorder. It uses
// /dev/LIS3LV02DQ as the recorder does: a SIGIO handler that reads the 8-byte record, the file's
// owner set to itself with O_ASYNC, the rotated mapping when asked, then the start command.
//
//   accel_probe SECONDS [sub35]
//
// It prints "second open: <error>" for a second open tried while it holds the device,
// "sampling" once started, one "record MS X Y Z V" line per signal (MS since the start), and
// "records N" when it has stopped and closed the device: after SECONDS, or as soon as the file
// /mnt/mmcblk0p1/accel_probe.stop exists.
#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "accelmon.h"
#include "os.h"

namespace {

struct Entry {
    int64_t ms;
    std::array<uint8_t, 8> bytes;
};

// Filled by the signal handler, emptied by the main loop.
std::array<Entry, 1024> ring;
std::atomic<uint32_t> head{0};
uint32_t tail = 0;
int device = -1;
int64_t started_ms = 0;

int64_t now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void on_sigio(int) {
    const int saved = errno;
    Entry e{now_ms() - started_ms, {}};
    if (os::read(device, e.bytes.data(), e.bytes.size()) == 0) {
        const uint32_t h = head.load(std::memory_order_relaxed);
        ring[h % ring.size()] = e;
        head.store(h + 1, std::memory_order_release);
    }
    errno = saved;
}

int16_t value(const Entry& e, unsigned i) {
    return static_cast<int16_t>(e.bytes[2 * i] | e.bytes[2 * i + 1] << 8);
}

unsigned drain() {
    unsigned n = 0;
    for (const uint32_t h = head.load(std::memory_order_acquire); tail != h; ++tail, ++n) {
        const Entry& e = ring[tail % ring.size()];
        std::printf("record %lld %d %d %d %d\n", static_cast<long long>(e.ms), value(e, 0),
                    value(e, 1), value(e, 2), value(e, 3));
    }
    std::fflush(stdout);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    os::init();
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3;
    const bool sub35 = argc > 2 && std::strcmp(argv[2], "sub35") == 0;

    struct sigaction sa {};
    sa.sa_handler = on_sigio;
    sigemptyset(&sa.sa_mask);
    if (::sigaction(SIGIO, &sa, nullptr) != 0) return 1;

    device = os::open("/dev/LIS3LV02DQ", O_RDWR);
    if (device < 0) {
        std::printf("open: %s\n", std::strerror(errno));
        return 1;
    }
    const int second = os::open("/dev/LIS3LV02DQ", O_RDWR);
    std::printf("second open: %s\n", second < 0 ? std::strerror(errno) : "succeeded");
    if (second >= 0) os::close(second);

    os::fcntl(device, F_SETOWN, ::getpid());
    os::fcntl(device, F_SETFL, os::fcntl(device, F_GETFL) | O_ASYNC);
    if (sub35) os::ioctl(device, GSENSOR_IOC_SUB35);
    started_ms = now_ms();
    os::ioctl(device, GSENSOR_IOC_START);
    std::printf("sampling\n");
    std::fflush(stdout);

    unsigned records = 0;
    while (now_ms() - started_ms < static_cast<int64_t>(seconds * 1000) &&
           os::access("/mnt/mmcblk0p1/accel_probe.stop", F_OK) != 0) {
        const timespec pause{0, 50 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
        records += drain();
    }
    os::ioctl(device, GSENSOR_IOC_STOP);
    os::close(device);
    records += drain();
    std::printf("records %u\n", records);
    return 0;
}
