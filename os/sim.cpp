// The file-system half of the os seam on the simulated board.
//
// Box paths under /mnt/ and /dev/ live inside the board's root directory ($SIMBOARD_ROOT): the SD
// card is "<root>/mnt/mmcblk0p1", the flash "<root>/mnt/jffs_user", serial ports are symlinks in
// "<root>/dev" to real PTYs. Device nodes that the board serves (os::simdev::is_device_path) go to
// the device half (sim_dev.cpp); everything else is the real call on the mapped path.
//
// Calls on the SD card's files, its capacity, its state and its journal of unflushed changes are
// the card half's (sim_card.cpp).
//
// The system clock is the PC's clock plus an offset kept in "<root>/run/clock": one line of text,
// the offset in microseconds as a signed decimal number ("-86400000000\n"). A missing file means
// no offset (the board deletes it at every power-on). settimeofday() rewrites it (temporary file
// and rename, so a reader never sees half a number); the PC's clock is never touched.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "os.h"
#include "sim_card_io.h"
#include "sim_clock.h"
#include "sim_dev.h"

namespace os {

namespace {

constexpr std::string_view kCardBox = "/mnt/mmcblk0p1";

std::string g_root;
std::atomic<int64_t> g_clockOffsetUsec{0};
// The held clock (os::simclock), or kClockRunning.
constexpr int64_t kClockRunning = INT64_MIN;
std::atomic<int64_t> g_heldUsec{kClockRunning};

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// The PC's own null devices stay what they are, so that shell redirections keep working.
bool is_mapped_path(std::string_view box) {
    if (box == "/dev/null" || box == "/dev/zero") return false;
    return starts_with(box, "/mnt/") || starts_with(box, "/dev/") || box == "/mnt" || box == "/dev";
}

std::string run_path(const char* name) {
    return g_root + "/run/" + name;
}

// ---- clock ----

int64_t read_clock_offset() {
    int fd = ::open(run_path("clock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return 0;
    return std::strtoll(text, nullptr, 10);
}

int write_clock_offset(int64_t offset) {
    char text[32];
    int len = std::snprintf(text, sizeof text, "%lld\n", static_cast<long long>(offset));
    std::string tmp = run_path("clock.tmp");
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    bool ok = ::write(fd, text, len) == len;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(tmp.c_str(), run_path("clock").c_str()) != 0) {
        ::unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int64_t host_now_usec() {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// ---- stdio on the seam: a FILE* whose I/O goes through os::read/write ----

ssize_t cookie_read(void* c, char* buf, size_t size) {
    return os::read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, size);
}
ssize_t cookie_write(void* c, const char* buf, size_t size) {
    ssize_t n = os::write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, size);
    return n < 0 ? 0 : n;  // fopencookie: 0 reports the error
}
int cookie_seek(void* c, off64_t* pos, int whence) {
    off_t r = os::lseek(static_cast<int>(reinterpret_cast<intptr_t>(c)), *pos, whence);
    if (r < 0) return -1;
    *pos = r;
    return 0;
}
int cookie_close(void* c) {
    return os::close(static_cast<int>(reinterpret_cast<intptr_t>(c)));
}

int open_flags_of(const char* mode) {
    bool plus = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'r':
            return plus ? O_RDWR : O_RDONLY;
        case 'w':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        case 'a':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        default:
            return -1;
    }
}

// ---- shell ----

std::string_view trim(std::string_view s) {
    size_t b = s.find_first_not_of(" \t\n");
    if (b == std::string_view::npos) return {};
    size_t e = s.find_last_not_of(" \t\n");
    return s.substr(b, e - b + 1);
}

// `text` as one word for sh: in single quotes, each quote inside as '\''. Nothing in it is
// expanded then (spaces, quotes, ';', '$(...)', '*' and line ends stay literal).
std::string shell_quoted(std::string_view text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

// Rewrites every word that is a box path under /mnt/ or /dev/ (also right after a redirection
// such as "> " or "2>") to the mapped path. The board's root is quoted for the shell: whatever it
// holds, the command acts inside it; the box path behind it keeps the meaning it has on the box.
std::string rewrite_command(std::string_view cmd) {
    std::string out;
    size_t i = 0;
    while (i < cmd.size()) {
        if (cmd[i] == ' ' || cmd[i] == '\t' || cmd[i] == '\n') {
            out += cmd[i++];
            continue;
        }
        size_t end = cmd.find_first_of(" \t\n", i);
        if (end == std::string_view::npos) end = cmd.size();
        std::string_view word = cmd.substr(i, end - i);
        size_t lead = word.find_first_not_of("<>&0123456789");
        if (lead != std::string_view::npos &&
            (lead == 0 || word[lead - 1] == '>' || word[lead - 1] == '<') &&
            is_mapped_path(word.substr(lead))) {
            out += word.substr(0, lead);
            out += shell_quoted(g_root);
            out += word.substr(lead);
        } else {
            out += word;
        }
        i = end;
    }
    return out;
}

// date(1) on the board: the board's time, TZ=UTC0.
int print_board_date() {
    struct timeval tv {};
    os::gettimeofday(&tv);
    time_t secs = tv.tv_sec;
    struct tm tm {};
    ::gmtime_r(&secs, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%a %b %e %H:%M:%S UTC %Y", &tm);
    std::printf("%s\n", text);
    std::fflush(stdout);
    return 0;
}

}  // namespace

void init() {
    const char* root = std::getenv("SIMBOARD_ROOT");
    if (root == nullptr || root[0] == '\0') {
        std::fprintf(stderr,
                     "SIMBOARD_ROOT is not set: this program runs on the simulated board "
                     "(start it with simboard, or set SIMBOARD_ROOT to a board root directory)\n");
        std::exit(2);
    }
    static bool lineBuffered = false;
    if (!lineBuffered) {
        std::setvbuf(stdout, nullptr, _IOLBF, 0);
        lineBuffered = true;
    }
    g_root = root;
    while (g_root.size() > 1 && g_root.back() == '/') g_root.pop_back();
    const char* socket = std::getenv("SIMBOARD_SOCKET");
    simdev::init(g_root, socket != nullptr ? socket : "");
    simcardio::init(g_root);
    g_clockOffsetUsec.store(read_clock_offset());
    simclock::release();
}

std::string host_path(const char* path) {
    std::string_view box = path;
    if (!is_mapped_path(box)) return std::string(box);
    return g_root + std::string(box);
}

// ---- files and devices ----

int open(const char* path, int flags, mode_t mode) {
    if (simdev::is_device_path(path)) return simdev::open(path, flags);
    if (simcardio::is_card_path(path)) return simcardio::open(path, host_path(path), flags, mode);
    const int fd = ::open(host_path(path).c_str(), flags | O_CLOEXEC, mode);
    simcardio::closed(fd);  // a descriptor number a card file had before
    return fd;
}

int close(int fd) {
    if (simdev::owns(fd)) return simdev::close(fd);
    simcardio::closed(fd);
    return ::close(fd);
}

ssize_t read(int fd, void* buf, size_t count) {
    if (simdev::owns(fd)) return simdev::read(fd, buf, count);
    if (simcardio::read_check(fd) < 0) return -1;
    return ::read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count) {
    if (simdev::owns(fd)) return simdev::write(fd, buf, count);
    bool card = false;
    const ssize_t n = simcardio::write(fd, buf, count, card);
    return card ? n : ::write(fd, buf, count);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
    if (simdev::owns(fd)) {
        // A character device without a vectored write gets one write per buffer, as the
        // kernel gives it; a short one ends the call.
        ssize_t total = 0;
        for (int i = 0; i < count; ++i) {
            const ssize_t n = simdev::write(fd, iov[i].iov_base, iov[i].iov_len);
            if (n < 0) return total > 0 ? total : -1;
            total += n;
            if (static_cast<size_t>(n) < iov[i].iov_len) break;
        }
        return total;
    }
    bool card = false;
    const ssize_t n = simcardio::writev(fd, iov, count, card);
    return card ? n : ::writev(fd, iov, count);
}

int ioctl(int fd, unsigned long request, void* arg) {
    return ioctl(fd, request, reinterpret_cast<unsigned long>(arg));
}

int ioctl(int fd, unsigned long request, unsigned long arg) {
    if (simdev::owns(fd)) return simdev::ioctl(fd, request, arg);
    return ::ioctl(fd, request, arg);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    if (fd >= 0 && simdev::owns(fd)) return simdev::mmap(addr, length, prot, flags, fd, offset);
    return ::mmap(addr, length, prot, flags, fd, offset);
}

int munmap(void* addr, size_t length) {
    return ::munmap(addr, length);
}

int fcntl(int fd, int cmd, long arg) {
    if (simdev::owns(fd)) return simdev::fcntl(fd, cmd, arg);
    return ::fcntl(fd, cmd, arg);
}

off_t lseek(int fd, off_t offset, int whence) {
    simcardio::seeked(fd);
    return ::lseek(fd, offset, whence);
}

int ftruncate(int fd, off_t length) {
    bool card = false;
    const int rc = simcardio::ftruncate(fd, length, card);
    return card ? rc : ::ftruncate(fd, length);
}

// A power cut on the board does not lose the PC's page cache (the card's model takes back what
// was not flushed, sim_card.cpp): flushing the PC's disks would add load on shared disks and
// change nothing the board can observe. A flush still fails where the card's state or the
// descriptor would make it fail on the box, and on a crash-faithful card it is what keeps the
// file at a power cut.
int fsync(int fd) {
    bool card = false;
    const int rc = simcardio::fsync(fd, card);
    return card ? rc : (::fcntl(fd, F_GETFD) < 0 ? -1 : 0);
}

// Everything written to a crash-faithful card is kept at a power cut from now on.
void sync() {
    simcardio::sync();
}

FILE* fopen(const char* path, const char* mode) {
    int flags = open_flags_of(mode);
    if (flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = os::open(path, flags, 0666);
    if (fd < 0) return nullptr;
    cookie_io_functions_t io{cookie_read, cookie_write, cookie_seek, cookie_close};
    FILE* f = ::fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), mode, io);
    if (f == nullptr) os::close(fd);
    return f;
}

// ---- serial ports ----

int tcgetattr(int fd, struct termios* t) {
    return ::tcgetattr(fd, t);
}
int tcsetattr(int fd, int optional_actions, const struct termios* t) {
    return ::tcsetattr(fd, optional_actions, t);
}
int tcflush(int fd, int queue_selector) {
    return ::tcflush(fd, queue_selector);
}

// ---- file system ----

int mkdir(const char* path, mode_t mode) {
    if (simcardio::is_card_path(path)) return simcardio::mkdir(path, host_path(path), mode);
    return ::mkdir(host_path(path).c_str(), mode);
}

int statfs(const char* path, struct statfs* out) {
    if (simcardio::is_card_path(path))
        return simcardio::statfs(host_path(std::string(kCardBox).c_str()), out);
    return ::statfs(host_path(path).c_str(), out);
}

int stat(const char* path, struct stat* out) {
    return ::stat(host_path(path).c_str(), out);
}
int access(const char* path, int mode) {
    return ::access(host_path(path).c_str(), mode);
}
int unlink(const char* path) {
    if (simcardio::is_card_path(path)) return simcardio::unlink(path, host_path(path));
    return ::unlink(host_path(path).c_str());
}
int rename(const char* from, const char* to) {
    if (simcardio::is_card_path(from) && simcardio::is_card_path(to))
        return simcardio::rename(from, host_path(from), to, host_path(to));
    return ::rename(host_path(from).c_str(), host_path(to).c_str());
}

// ---- shell ----

int system(const char* command) {
    std::string_view cmd = trim(command);
    if (cmd == "reboot") return simdev::request_reboot();
    if (cmd == "date") return print_board_date();
    std::fflush(stdout);
    simcardio::ShellChanges journaled(cmd);
    return std::system(rewrite_command(command).c_str());
}

// ---- clock ----

int gettimeofday(struct timeval* tv) {
    int64_t now = g_heldUsec.load(std::memory_order_relaxed);
    if (now == kClockRunning) {
        now = host_now_usec() + g_clockOffsetUsec.load(std::memory_order_relaxed);
    }
    tv->tv_sec = static_cast<time_t>(now / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(now % 1000000);
    if (tv->tv_usec < 0) {
        tv->tv_usec += 1000000;
        tv->tv_sec -= 1;
    }
    return 0;
}

int settimeofday(const struct timeval* tv) {
    if (tv->tv_usec < 0 || tv->tv_usec >= 1000000) {
        errno = EINVAL;
        return -1;
    }
    int64_t target = static_cast<int64_t>(tv->tv_sec) * 1000000 + tv->tv_usec;
    if (g_heldUsec.load() != kClockRunning) {  // a held clock moves; the board's offset stays
        g_heldUsec.store(target);
        return 0;
    }
    int64_t offset = target - host_now_usec();
    if (write_clock_offset(offset) != 0) return -1;
    g_clockOffsetUsec.store(offset);
    return 0;
}

namespace simclock {

void hold(int64_t usec) {
    g_heldUsec.store(usec);
}

void release() {
    g_heldUsec.store(kClockRunning);
}

}  // namespace simclock

}  // namespace os
