#include "input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace simboard {

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a file";
}

std::string size_text(size_t bytes) {
    if (bytes >= (1u << 20) && bytes % (1u << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
    if (bytes >= (1u << 10) && bytes % (1u << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
    return std::to_string(bytes) + " bytes";
}

}  // namespace

bool read_input_file(const std::filesystem::path& path, size_t limit, std::string& out,
                     std::string& error) {
    // Opened without waiting (a FIFO would wait for a writer), then judged by what it is.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        error = "cannot read " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path.string() + ": not a regular file (" + kind_of(st.st_mode) + ")";
        ::close(fd);
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > limit) {
        error = path.string() + ": larger than " + size_text(limit);
        ::close(fd);
        return false;
    }
    // The file may grow while it is read: never more than the limit is taken.
    out.clear();
    out.reserve(static_cast<size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + path.string() + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<size_t>(n));
        if (out.size() > limit) break;
    }
    ::close(fd);
    if (out.size() > limit) {
        error = path.string() + ": larger than " + size_text(limit);
        return false;
    }
    return true;
}

}  // namespace simboard
