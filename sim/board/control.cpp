#include "control.hpp"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../../os/sim_socket.h"
#include "listener.hpp"

namespace simboard {

namespace {

constexpr size_t kMaxRequest = 4096;
constexpr size_t kMaxReply = 64 * 1024;

}  // namespace

ControlServer::~ControlServer() {
    stop();
}

bool ControlServer::listen(const std::string& path, std::string& error) {
    listen_fd_ = listen_at(path, 8, error);
    if (listen_fd_ < 0) return false;
    path_ = path;
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { loop(); });
    return true;
}

void ControlServer::stop() {
    if (listen_fd_ < 0) return;
    const uint64_t one = 1;
    if (::write(stop_fd_, &one, sizeof one) < 0) { /* the loop also ends on a closed socket */
    }
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
    ::close(stop_fd_);
    listen_fd_ = stop_fd_ = -1;
    ::unlink(path_.c_str());
}

void ControlServer::loop() {
    for (int sock; (sock = accept_next(listen_fd_, stop_fd_)) >= 0;) {
        serve(sock);
        ::close(sock);
    }
}

void ControlServer::serve(int sock) {
    // A client that connects and says nothing must not hold the board's control forever.
    timeval timeout{5, 0};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::array<char, kMaxRequest + 1> buf{};
    const ssize_t n = ::recv(sock, buf.data(), buf.size(), MSG_TRUNC);
    std::string reply;
    bool ok = false;
    if (n <= 0) return;
    if (static_cast<size_t>(n) > kMaxRequest || buf[static_cast<size_t>(n) - 1] != '\0') {
        reply = "malformed control request";
    } else {
        std::vector<std::string> words;
        for (size_t start = 0; start < static_cast<size_t>(n);) {
            const size_t len = std::strlen(buf.data() + start);
            words.emplace_back(buf.data() + start, len);
            start += len + 1;
        }
        ok = handler_(words, reply);
    }
    if (reply.size() > kMaxReply - 1) reply.resize(kMaxReply - 1);
    reply.insert(reply.begin(), ok ? '0' : '1');
    ::send(sock, reply.data(), reply.size(), MSG_NOSIGNAL);
}

int run_ctl(const std::filesystem::path& root, const std::vector<std::string>& words) {
    const std::string path = (root / "run/ctl.sock").string();
    std::string request;
    for (const auto& w : words) {
        request += w;
        request += '\0';
    }
    if (request.size() > kMaxRequest) {
        std::fprintf(stderr, "simboard ctl: command too long\n");
        return 1;
    }
    const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0 || os::simsock::call_at_path(sock, path, os::simsock::Call::kConnect) < 0) {
        std::fprintf(stderr, "simboard ctl: no board is running on %s (%s)\n",
                     root.string().c_str(), std::strerror(errno));
        if (sock >= 0) ::close(sock);
        return 2;
    }
    std::vector<char> reply(kMaxReply);
    ssize_t n = -1;
    if (::send(sock, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        do {
            n = ::recv(sock, reply.data(), reply.size(), 0);
        } while (n < 0 && errno == EINTR);
    }
    ::close(sock);
    if (n <= 0) {
        std::fprintf(stderr, "simboard ctl: the board did not answer\n");
        return 2;
    }
    const std::string text(reply.data() + 1, static_cast<size_t>(n) - 1);
    std::FILE* out = reply[0] == '0' ? stdout : stderr;
    if (!text.empty()) std::fprintf(out, "%s%s", text.c_str(), text.back() == '\n' ? "" : "\n");
    return reply[0] == '0' ? 0 : 1;
}

}  // namespace simboard
