#include "control.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../../os/sim_socket.h"
#include "console.hpp"
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
    reap(true);
    ::close(listen_fd_);
    ::close(stop_fd_);
    listen_fd_ = stop_fd_ = -1;
    ::unlink(path_.c_str());
}

// Joins the clients that have been answered (all of them, waiting for those still served).
void ControlServer::reap(bool all) {
    std::list<std::unique_ptr<Client>> finished;
    {
        std::lock_guard lock(clients_mutex_);
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = clients_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) c->thread.join();
}

void ControlServer::loop() {
    for (int sock; (sock = accept_next(listen_fd_, stop_fd_)) >= 0;) {
        reap(false);
        std::lock_guard lock(clients_mutex_);
        if (clients_.size() >= kMaxClients) {
            static constexpr char kBusy[] = "1the board is busy: too many control connections";
            ::send(sock, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(sock);
            continue;
        }
        auto client = std::make_unique<Client>();
        Client& c = *client;
        c.sock = sock;
        clients_.push_back(std::move(client));
        c.thread = std::thread([this, &c] {
            serve(c.sock);
            ::close(c.sock);
            c.done = true;
        });
    }
}

void ControlServer::serve(int sock) {
    // The request, within the limit; a board that stops hangs up at once. It is taken from the
    // socket even when it will be refused: a socket closed with a message unread would reset the
    // connection and lose the answer.
    std::array<pollfd, 2> fds{{{sock, POLLIN, 0}, {stop_fd_, POLLIN, 0}}};
    int ready;
    do {
        ready = ::poll(fds.data(), fds.size(), static_cast<int>(request_limit_.count()));
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0 || fds[1].revents != 0) return;
    std::array<char, kMaxRequest + 1> buf{};
    const ssize_t n = ::recv(sock, buf.data(), buf.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (n <= 0) return;
    std::string reply;
    bool ok = false;
    ucred peer{};
    if (!peer_is_own_user(sock, peer)) {
        reply = "refused: the board belongs to another user";
    } else if (static_cast<size_t>(n) > kMaxRequest || buf[static_cast<size_t>(n) - 1] != '\0') {
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
    ::send(sock, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

int run_ctl(const std::filesystem::path& root, const std::vector<std::string>& words,
            std::chrono::milliseconds limit) {
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
    const std::string where = escaped(root.string());
    const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    // The limit holds for the connection as well: a board that has stopped (or hangs) and whose
    // queue of connections is full would take the connection for ever.
    const timeval tv{static_cast<time_t>(limit.count() / 1000),
                     static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    if (sock >= 0) ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (sock < 0 || os::simsock::call_at_path(sock, path, os::simsock::Call::kConnect) < 0) {
        const bool late = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS;
        std::fprintf(stderr,
                     late ? "simboard ctl: the board on %s did not answer (%s)\n"
                          : "simboard ctl: no board is running on %s (%s)\n",
                     where.c_str(), std::strerror(errno));
        if (sock >= 0) ::close(sock);
        return 2;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<char> reply(kMaxReply);
    ssize_t n = -1;
    bool late = false;
    // A board that turns the connection away (busy) may answer and hang up before the request is
    // sent: the answer is looked for all the same.
    ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
    for (bool reset_seen = false;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd fd{sock, POLLIN, 0};
        const int ready = ::poll(&fd, 1, static_cast<int>(std::max<int64_t>(0, left.count())));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) late = true;
        if (ready <= 0) break;
        n = ::recv(sock, reply.data(), reply.size(), MSG_DONTWAIT);
        // A hang-up with our request unread is reported first; the answer may still be there.
        if (n < 0 && errno == ECONNRESET && !reset_seen) {
            reset_seen = true;
            continue;
        }
        if (n >= 0 || (errno != EINTR && errno != EAGAIN)) break;
    }
    ::close(sock);
    if (late) {
        std::fprintf(stderr,
                     "simboard ctl: the board on %s did not answer within %.1f s (is it stopped "
                     "or hung?)\n",
                     where.c_str(), static_cast<double>(limit.count()) / 1000.0);
        return 2;
    }
    if (n <= 0) {
        std::fprintf(stderr, "simboard ctl: the board did not answer\n");
        return 2;
    }
    const std::string text =
        escaped(std::string_view(reply.data() + 1, static_cast<size_t>(n) - 1));
    std::FILE* out = reply[0] == '0' ? stdout : stderr;
    if (!text.empty()) std::fprintf(out, "%s%s", text.c_str(), text.back() == '\n' ? "" : "\n");
    return reply[0] == '0' ? 0 : 1;
}

}  // namespace simboard
