#include "cardfile.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "os.h"

namespace cardfile {

void (*before_rename)(const char* tmpPath) = nullptr;

void reset_globals() {
    before_rename = nullptr;
}

namespace {

// Flushes the directory that holds `path`, so that a rename in it is on the card.
void flush_directory(const char* path) {
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    const int fd = os::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || os::fsync(fd) != 0) std::printf("%s: cannot flush the directory - %m\n", path);
    if (fd >= 0) os::close(fd);
}

}  // namespace

std::string temporary_path(const char* path) {
    return std::string(path) + ".tmp";
}

int replace(const char* path, std::span<const uint8_t> bytes) {
    const std::string tmp = temporary_path(path);
    int fd = os::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::printf("%s: cannot create - %m\n", tmp.c_str());
        return -1;
    }
    ssize_t n = os::write(fd, bytes.data(), bytes.size());
    int err = errno;
    bool ok = n == static_cast<ssize_t>(bytes.size()) && os::fsync(fd) == 0;
    if (!ok && n >= 0) err = errno;
    os::close(fd);
    if (!ok) {
        errno = err;
        std::printf("%s: write failed - %m\n", tmp.c_str());
        os::unlink(tmp.c_str());
        return -1;
    }
    if (before_rename != nullptr) before_rename(tmp.c_str());
    if (os::rename(tmp.c_str(), path) != 0) {
        std::printf("%s: cannot replace - %m\n", path);
        os::unlink(tmp.c_str());
        return -1;
    }
    flush_directory(path);
    return 0;
}

int adopt_temporary(const char* path) {
    const std::string tmp = temporary_path(path);
    if (os::rename(tmp.c_str(), path) != 0) {
        std::printf("%s: cannot replace - %m\n", path);
        return -1;
    }
    flush_directory(path);
    return 0;
}

long read_exact(const char* path, std::span<uint8_t> bytes) {
    int fd = os::open(path, O_RDONLY);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = os::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            os::close(fd);
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    os::close(fd);
    return static_cast<long>(got);
}

}  // namespace cardfile
