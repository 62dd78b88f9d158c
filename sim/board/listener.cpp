#include "listener.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "../../os/sim_socket.h"

namespace simboard {

int listen_at(const std::string& path, int backlog, std::string& error) {
    ::unlink(path.c_str());
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0 || os::simsock::call_at_path(fd, path, os::simsock::Call::kBind) < 0 ||
        ::chmod(path.c_str(), 0600) < 0 || ::listen(fd, backlog) < 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

bool peer_is_own_user(int sock, ucred& peer) {
    socklen_t len = sizeof peer;
    peer = {};
    if (::getsockopt(sock, SOL_SOCKET, SO_PEERCRED, &peer, &len) < 0 || len != sizeof peer)
        return false;
    return peer.pid > 0 && peer.uid == ::geteuid();
}

int accept_next(int listen_fd, int stop_fd) {
    for (;;) {
        std::array<pollfd, 2> fds{{{listen_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (fds[1].revents != 0) return -1;
        const int sock = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock >= 0) return sock;
    }
}

}  // namespace simboard
