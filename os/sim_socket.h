// Binding and connecting UNIX sockets by path, for the board's sockets under <root>/run.
//
// A socket address holds at most 107 bytes of path, and a board root deep in a build tree can be
// longer than that. A longer path is reached through its directory instead: the directory is
// opened and the socket named as "/proc/self/fd/<n>/<name>", which the kernel resolves like the
// full path.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace os::simsock {

enum class Call { kBind, kConnect };

// bind() or connect() of `sock` to `path`; the system call's result, errno set on failure.
inline int call_at_path(int sock, const std::string& path, Call call) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    int dir_fd = -1;
    if (path.size() < sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    } else {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        dir_fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dir_fd < 0) return -1;
        const int n = std::snprintf(addr.sun_path, sizeof addr.sun_path, "/proc/self/fd/%d/%s",
                                    dir_fd, name.c_str());
        if (n < 0 || static_cast<size_t>(n) >= sizeof addr.sun_path) {
            ::close(dir_fd);
            errno = ENAMETOOLONG;
            return -1;
        }
    }
    int rc;
    do {
        rc = call == Call::kBind ? ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr)
                                 : ::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc < 0 && errno == EINTR && call == Call::kConnect);
    if (dir_fd >= 0) {
        const int err = errno;
        ::close(dir_fd);
        errno = err;
    }
    return rc;
}

}  // namespace os::simsock
