// Test helpers for the serial links and the device services: a PTY that plays a controller on a
// board root's serial port, plain files standing in for board devices, and a recording pause.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "RTCnVolume.h"
#include "board_root.hpp"
#include "event.h"
#include "os.h"

namespace linktest {

// The controller's end of a serial port: the program opens "<root>/dev/ttySACn", a symlink to
// the slave of a PTY whose master this object holds.
class PtyPeer {
  public:
    PtyPeer(const testsupport::BoardRoot& root, const std::string& box_path) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) std::abort();
        std::filesystem::create_symlink(::ptsname(master_), root.host(box_path));
    }
    ~PtyPeer() { ::close(master_); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // Bytes the controller sends to the program.
    void Send(std::string_view bytes) const {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            std::abort();
        }
    }

    // The next line the program sent (up to and including its line feed), or "" when none comes
    // within `wait`.
    std::string ReadLine(std::chrono::milliseconds wait = std::chrono::milliseconds(2000)) {
        for (;;) {
            const size_t lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending_.substr(0, lf + 1);
                pending_.erase(0, lf + 1);
                return line;
            }
            if (!Receive(wait)) return {};
        }
    }

    // Every line that arrives until the program has been quiet for `quiet`.
    std::vector<std::string> ReadLines(
        std::chrono::milliseconds quiet = std::chrono::milliseconds(200)) {
        std::vector<std::string> lines;
        for (std::string line = ReadLine(quiet); !line.empty(); line = ReadLine(quiet)) {
            lines.push_back(line);
        }
        return lines;
    }

  private:
    bool Receive(std::chrono::milliseconds wait) {
        pollfd p{master_, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&p, 1, static_cast<int>(wait.count()));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) return false;
        char buf[256];
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) return false;
        pending_.append(buf, static_cast<size_t>(n));
        return true;
    }

    int master_ = -1;
    std::string pending_;
};

// Shortens the 3-second read wait of a port the program has open, so that tests of silent reads
// do not wait (tenths of a second).
inline void SetReadWait(int fd, int tenths) {
    termios t;
    ::tcgetattr(fd, &t);
    t.c_cc[VTIME] = static_cast<cc_t>(tenths);
    ::tcsetattr(fd, TCSANOW, &t);
}

// Makes the given board devices ordinary paths under the root (the board's node table lists
// only the others), so that a test can put a plain file or a FIFO there to watch what the
// program writes. Re-initialises the seam.
inline void UnserveDevices(const testsupport::BoardRoot& root,
                           std::initializer_list<std::string_view> plain) {
    static constexpr std::string_view kNodes[] = {"/dev/winbond0",   "/dev/winbond1",
                                                  "/dev/LIS3LV02DQ", "/dev/i2c-0",
                                                  "/dev/watchdog",   "/dev/dsp"};
    std::ofstream table(root.host("/dev/.nodes"));
    for (std::string_view node : kNodes) {
        bool keep = true;
        for (std::string_view p : plain) keep = keep && p != node;
        if (keep) table << node << " c 10 0\n";
    }
    table.close();
    os::init();
}

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Pauses requested by the code under test, recorded instead of slept.
struct PauseLog {
    static inline std::mutex lock;
    static inline std::vector<unsigned long> entries;
    static void Record(unsigned long usec) {
        std::lock_guard<std::mutex> hold(lock);
        entries.push_back(usec);
    }
    static std::vector<unsigned long> Take() {
        std::lock_guard<std::mutex> hold(lock);
        return std::exchange(entries, {});
    }
};

// What the event callback received: the type and a copy of the record, with the receiving
// thread. Static, because an event callback is a plain function.
struct Event {
    int type;
    std::vector<uint8_t> record;
    pthread_t thread;
};

class EventLog {
  public:
    static int Callback(int type, void* record) {
        const size_t size = type == EVENT_GPS       ? gpsrec::SIZE
                            : type == EVENT_GSENSOR ? gsrec::SIZE
                            : type == EVENT_IBC     ? ibcrec::SIZE
                                                    : 0;
        Event e{type, {}, pthread_self()};
        if (record != nullptr) {
            const auto* bytes = static_cast<const uint8_t*>(record);
            e.record.assign(bytes, bytes + size);
        }
        {
            std::lock_guard<std::mutex> hold(mutex);
            events.push_back(std::move(e));
        }
        cv.notify_all();
        return 0;
    }

    static void Clear() {
        std::lock_guard<std::mutex> hold(mutex);
        events.clear();
    }

    // The events received so far, once there are at least `n` or `limit` has passed.
    static std::vector<Event> WaitFor(
        size_t n, std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
        std::unique_lock<std::mutex> hold(mutex);
        cv.wait_for(hold, limit, [n] { return events.size() >= n; });
        return events;
    }

    static std::vector<Event> Now() { return WaitFor(0); }

  private:
    static inline std::mutex mutex;
    static inline std::condition_variable cv;
    static inline std::vector<Event> events;
};

// Console output of `body`.
template <typename Body>
std::string Console(Body body) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Makes /dev/i2c-0 a plain file that collects the bytes sent on the bus, opens the bus on it and
// returns the file's host path.
inline std::filesystem::path PlainI2C(const testsupport::BoardRoot& root) {
    UnserveDevices(root, {"/dev/i2c-0"});
    const auto bus = root.host("/dev/i2c-0");
    std::ofstream(bus).close();
    int opened = -1;
    Console([&] { opened = OpenIICDevice(); });
    EXPECT_EQ(opened, 0);
    return bus;
}

// The board's clock as local "YYYY-MM-DD HH:MM:SS".
inline std::string BoardTime() {
    timeval now;
    os::gettimeofday(&now);
    const time_t seconds = now.tv_sec;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace linktest
