// Accelerometer client. The driver announces each record with SIGIO; the handler reads the
// 8-byte record and queues it on a pipe (write is async-signal-safe and keeps the records in
// order), and the delivery thread hands each one to the event callback. The callback therefore
// never runs inside a signal handler, where its console output, locks, shell commands and I2C
// transfers could deadlock the recorder.
#include "gsensor.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "os.h"

int gsensor_fd = -1;

namespace {

EventCallback __gsensor_cb_fuc = nullptr;
std::array<uint8_t, 8> xyz_value{};                // the last record read by the handler
std::array<uint8_t, gsrec::SIZE> g_gsensorData{};  // the record the callback gets

int queue_read = -1;                  // read end of the record queue (delivery thread)
std::atomic<int> queue_write{-1};     // write end (signal handler)
std::atomic<bool> delivering{false};  // records go to the callback; cleared by release
pthread_t delivery_handle;
bool delivery_started = false;

void* gsensor_thread(void*) {
    for (;;) {
        std::array<uint8_t, 8> xyz;
        const ssize_t n = ::read(queue_read, xyz.data(), xyz.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the queue was closed
        // Records are written whole (8 bytes is far below PIPE_BUF), so they are read whole.
        if (n != static_cast<ssize_t>(xyz.size()) || !delivering.load()) continue;
        g_gsensorData = GsensorRecord(xyz);
        if (__gsensor_cb_fuc != nullptr) __gsensor_cb_fuc(EVENT_GSENSOR, g_gsensorData.data());
    }
    return nullptr;
}

bool StartDelivery() {
    delivering = true;
    if (delivery_started) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    // A stalled consumer must never block the signal handler; a full queue drops the record.
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    queue_read = fds[0];
    queue_write = fds[1];
    if (pthread_create(&delivery_handle, nullptr, gsensor_thread, nullptr) != 0) {
        queue_write = -1;
        ::close(fds[0]);
        ::close(fds[1]);
        queue_read = -1;
        return false;
    }
    delivery_started = true;
    return true;
}

}  // namespace

std::array<uint8_t, gsrec::SIZE> GsensorRecord(const std::array<uint8_t, 8>& xyz) {
    std::array<uint8_t, gsrec::SIZE> record{};
    std::copy(xyz.begin(), xyz.end(), record.begin() + gsrec::X);
    return record;
}

void urg_handler(int signo) {
    if (signo != SIGIO) return;
    const int saved_errno = errno;
    const int fd = gsensor_fd;
    if (fd >= 0) {
        // The driver hands over the whole record in one read (and returns 0). A failed read
        // passes the previous record on again.
        std::array<uint8_t, 8> xyz;
        if (os::read(fd, xyz.data(), xyz.size()) >= 0) xyz_value = xyz;
        const int queue = queue_write.load();
        if (queue >= 0) {
            [[maybe_unused]] const ssize_t queued =
                ::write(queue, xyz_value.data(), xyz_value.size());
        }
    }
    errno = saved_errno;
}

int init_gsensor(EventCallback callback, SubBoardQuery query) {
    __gsensor_cb_fuc = callback;

    struct sigaction action {};
    action.sa_handler = urg_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    if (sigaction(SIGIO, &action, nullptr) != 0) {
        std::printf("sigaction() error\n");
        return -1;
    }

    const int fd = os::open("/dev/LIS3LV02DQ", O_RDWR);
    if (fd < 0) return -1;
    if (!StartDelivery()) {
        std::printf("gsensor: cannot start the record delivery\n");
        os::close(fd);
        return -1;
    }
    gsensor_fd = fd;

    os::fcntl(fd, F_SETOWN, getpid());
    const int flags = os::fcntl(fd, F_GETFL);
    os::fcntl(fd, F_SETFL, flags | O_ASYNC);

    if (query != nullptr) {
        if (query() == 1) {
            std::printf("###SUB35###\n");
            sub35_gsensor();
            os::sync();
        } else if (query() == 2) {
            std::printf("###SUB24###\n");
        }
    }

    os::ioctl(fd, GSENSOR_IOC_START);
    return 0;
}

int stop_gsensor() {
    os::ioctl(gsensor_fd, GSENSOR_IOC_STOP);
    return 0;
}

int sub35_gsensor() {
    os::ioctl(gsensor_fd, GSENSOR_IOC_SUB35);
    return 0;
}

int pwrDetectControl() {
    os::ioctl(gsensor_fd, GSENSOR_IOC_PWR_DETECT);
    return 0;
}

int release_gsensor() {
    stop_gsensor();
    delivering = false;
    const int fd = gsensor_fd;
    gsensor_fd = -1;
    if (fd >= 0) os::close(fd);
    return 0;
}

void stop_gsensor_delivery() {
    if (!delivery_started || pthread_equal(delivery_handle, pthread_self())) return;
    const int queue = queue_write.exchange(-1);
    ::close(queue);
    pthread_join(delivery_handle, nullptr);
    ::close(queue_read);
    queue_read = -1;
    delivery_started = false;
}
