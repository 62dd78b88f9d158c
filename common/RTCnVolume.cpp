// RTC and codec volume over the i2c-dev interface.
#include "RTCnVolume.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <ctime>

#include "os.h"

// While negative, every function but OpenIICDevice and CloseIICDevice returns 0 and does nothing.
int w_fd = -1;

namespace {

pthread_mutex_t i2c_lock = PTHREAD_MUTEX_INITIALIZER;

// One indivisible access to the bus: the lock is taken with SIGIO and SIGALRM blocked on this
// thread, so a signal handler that interrupts the holder can never wait for it.
class BusAccess {
  public:
    BusAccess() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGIO);
        sigaddset(&block, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &block, &saved_);
        pthread_mutex_lock(&i2c_lock);
    }
    ~BusAccess() {
        pthread_mutex_unlock(&i2c_lock);
        pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    BusAccess(const BusAccess&) = delete;
    BusAccess& operator=(const BusAccess&) = delete;

  private:
    sigset_t saved_;
};

// Selects 7-bit addressing, then the chip. Each failure is printed. With `stop_at_failure` the
// chip is not selected once 7-bit addressing failed. True when both succeeded.
bool SelectDevice(uint8_t address, bool stop_at_failure) {
    bool selected = true;
    if (os::ioctl(w_fd, I2C_TENBIT, 0UL) < 0) {
        std::printf("ioctl error -> I2C_TENBIT\n");
        if (stop_at_failure) return false;
        selected = false;
    }
    if (os::ioctl(w_fd, I2C_SLAVE_FORCE, static_cast<unsigned long>(address)) < 0) {
        std::printf("ioctl error -> I2C_SLAVE_FORCE\n");
        selected = false;
    }
    return selected;
}

int WriteCodec(uint8_t reg, uint8_t level) {
    if (w_fd < 0) return 0;
    BusAccess bus;
    SelectDevice(CODEC_ADDRESS, false);  // a failed selection is only reported
    i2c_write(w_fd, reg, level);
    return 0;
}

}  // namespace

int HexToDec(uint8_t bcd) {
    return (bcd & 0x0F) + ((bcd >> 4) & 0x0F) * 10;
}

uint8_t DecToHex(int n) {
    n = n - (n / 100) * 100;
    return static_cast<uint8_t>(((n / 10) << 4) + (n % 10));
}

std::array<uint8_t, 8> RTCWriteBytes(int year, int month, int day, int hour, int minute,
                                     int second) {
    return {0x00, DecToHex(second), DecToHex(minute), DecToHex(hour),
            0x00, DecToHex(day),    DecToHex(month),  DecToHex(year)};
}

RTCDate RTCDateFromRegisters(std::span<const uint8_t, 7> r) {
    return RTCDate{HexToDec(r[6]) + 2000, HexToDec(r[5]), HexToDec(r[4]),
                   HexToDec(r[2]),        HexToDec(r[1]), HexToDec(r[0] & 0x7F)};
}

int OpenIICDevice() {
    w_fd = os::open("/dev/i2c-0", O_RDWR);
    if (w_fd < 0) {
        std::printf("i2c device driver open error\n");
        return -1;
    }
    std::printf("i2c device driver open\n");
    return 0;
}

void CloseIICDevice() {
    if (w_fd >= 0) os::close(w_fd);
    w_fd = -1;
}

int i2c_write(int fd, uint8_t reg, uint8_t value) {
    if (w_fd < 0) return 0;
    const uint8_t bytes[2] = {reg, value};
    return static_cast<int>(os::write(fd, bytes, sizeof bytes));
}

int i2c_write_data(const uint8_t* buffer, int length) {
    if (w_fd < 0) return 0;
    const ssize_t written = os::write(w_fd, buffer, static_cast<size_t>(length));
    if (written == length) {
        std::printf("<i2c_write_data> success..\n");
        return 0;
    }
    std::printf("<i2c_write_data> error aaa ret=%d, size=%d\n", static_cast<int>(written), length);
    return -1;
}

int SetVolume(uint8_t level) {
    return WriteCodec(CODEC_OUTPUT_VOLUME, level);
}

int SetMICVolume(uint8_t level) {
    return WriteCodec(CODEC_MIC_VOLUME, level);
}

int ReadRTC(int* year, int* month, int* day, int* hour, int* minute, int* second) {
    if (w_fd < 0) return 0;
    std::array<uint8_t, 7> registers{};
    {
        BusAccess bus;
        if (!SelectDevice(RTC_ADDRESS, true)) return -1;
        const uint8_t pointer = 0x00;
        os::write(w_fd, &pointer, 1);
        if (os::read(w_fd, registers.data(), registers.size()) <
            static_cast<ssize_t>(registers.size())) {
            std::printf("RTC read error\n");
            return -1;
        }
    }
    const RTCDate d = RTCDateFromRegisters(registers);
    *year = d.year;
    *month = d.month;
    *day = d.day;
    *hour = d.hour;
    *minute = d.minute;
    *second = d.second;
    std::printf("READ %04d-%02d-%02d %02d:%02d:%02d\n", d.year, d.month, d.day, d.hour, d.minute,
                d.second);
    return 0;
}

int SetRTC(int year, int month, int day, int hour, int minute, int second) {
    if (w_fd < 0) return 0;
    const auto bytes = RTCWriteBytes(year, month, day, hour, minute, second);
    BusAccess bus;
    SelectDevice(RTC_ADDRESS, false);  // a failed selection is only reported
    return i2c_write_data(bytes.data(), static_cast<int>(bytes.size()));
}

int SetSystemTime(int year, int month, int day, int hour, int minute, int second) {
    if (w_fd < 0) return 0;  // like every clock function, inert without the I2C device
    std::printf("Before apply RTC time to System time\n");
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;  // the date is wall-clock time; let the zone rules decide
    const timeval tv{static_cast<time_t>(std::mktime(&t)), 0};
    os::settimeofday(&tv);
    std::printf("Apply RTC time to System time - success\n");
    os::system("date");
    return 0;
}
