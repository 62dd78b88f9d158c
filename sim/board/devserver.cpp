#include "devserver.hpp"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <vector>

#include "../../os/sim_dev_wire.h"
#include "../../os/sim_socket.h"
#include "listener.hpp"

namespace simboard {

using os::simwire::Op;
using os::simwire::Reply;
using os::simwire::Request;

// One open file, shared by the connection that opened it and the connections attached to it.
struct DeviceServer::OpenRef {
    DeviceKernel::Handle handle = 0;
    pid_t pid = 0;
    uint64_t token = 0;
    std::mutex mutex;
    std::condition_variable idle;
    int attached = 0;      // attached connections still serving
    bool closing = false;  // the first connection has closed: no new attachments
};

struct DeviceServer::Conn {
    int sock = -1;
    pid_t pid = 0;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::mutex state_mutex;  // guards the two flags below against the watcher
    bool busy = false;       // a request is running in the kernel on the file below
    DeviceKernel::Handle busy_file = 0;
    bool hung_up = false;           // the program has gone, or the board hangs up
    std::shared_ptr<OpenRef> file;  // null until open or attach
    bool attached = false;          // joined a file that another connection opened
};

namespace {

// Largest transfer a request may ask for, as the kernel's own limit for one read or write.
constexpr uint64_t kMaxTransfer = INT_MAX & ~static_cast<uint64_t>(4095);
constexpr unsigned kMaxMajor = 255;
constexpr unsigned kMaxMinor = (1u << 20) - 1;
constexpr uint32_t kProtMask = PROT_READ | PROT_WRITE | PROT_EXEC;

bool send_reply(int sock, const Reply& rep, int pass_fd = -1) {
    const auto bytes = os::simwire::encode(rep);
    iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    if (pass_fd >= 0) {
        msg.msg_control = control.data();
        msg.msg_controllen = control.size();
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(c), &pass_fd, sizeof pass_fd);
    }
    ssize_t n;
    do {
        n = ::sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(bytes.size());
}

Reply refused(Op op, int err) {
    return Reply{op, -err, 0, 0};
}

}  // namespace

DeviceServer::DeviceServer(DeviceKernel& kernel, Hooks hooks)
    : kernel_(kernel), hooks_(std::move(hooks)), token_source_(std::random_device{}()) {}

DeviceServer::~DeviceServer() {
    stop();
}

void DeviceServer::log(std::string_view line) {
    if (hooks_.log) hooks_.log(line);
}

bool DeviceServer::listen(const std::string& path, std::string& error) {
    listen_fd_ = listen_at(path, 64, error);
    if (listen_fd_ < 0) return false;
    path_ = path;
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = stop_fd_;
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, stop_fd_, &ev);
    acceptor_ = std::thread([this] { accept_loop(); });
    watcher_ = std::thread([this] { watch_loop(); });
    return true;
}

void DeviceServer::set_powered(bool on) {
    powered_ = on;
}

size_t DeviceServer::connections() const {
    std::lock_guard lock(conns_mutex_);
    size_t n = 0;
    for (const auto& c : conns_) n += c->finished ? 0 : 1;
    return n;
}

void DeviceServer::accept_loop() {
    for (int sock; (sock = accept_next(listen_fd_, stop_fd_)) >= 0;) {
        ucred cred{};
        if (!peer_is_own_user(sock, cred)) {
            // Its requests would run with the board's rights on its memory: not another user's.
            log("device socket: refused a connection of pid " + std::to_string(cred.pid) +
                ", user " + std::to_string(cred.uid) + ": not the board's user");
            ::close(sock);
            continue;
        }
        auto conn = std::make_shared<Conn>();
        conn->sock = sock;
        conn->pid = cred.pid;
        reap_finished();
        std::lock_guard lock(conns_mutex_);
        epoll_event ev{};
        ev.events = EPOLLRDHUP;  // hang-up only: requests are read by the connection's thread
        ev.data.fd = sock;
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, sock, &ev);
        conns_.push_back(conn);
        conn->thread = std::thread([this, conn] { serve(conn); });
    }
}

// Interrupts the request of a program that hung up while the kernel was working for it.
void DeviceServer::watch_loop() {
    std::array<epoll_event, 16> events{};
    for (;;) {
        const int n = ::epoll_wait(epoll_fd_, events.data(), events.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == stop_fd_) return;
            ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
            std::lock_guard lock(conns_mutex_);
            for (const auto& c : conns_) {
                if (c->sock != fd || c->finished) continue;
                std::lock_guard state(c->state_mutex);
                c->hung_up = true;
                if (c->busy && c->busy_file != 0) kernel_.interrupt(c->busy_file, c->pid);
            }
        }
    }
}

void DeviceServer::serve(const std::shared_ptr<Conn>& conn) {
    std::array<uint8_t, 64> msg{};
    for (;;) {
        const ssize_t n = ::recv(conn->sock, msg.data(), msg.size(), MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // hung up
        // An oversized message arrives cut to the buffer (its size still tells): never 32 bytes.
        if (!handle(*conn, msg.data(), std::min<size_t>(static_cast<size_t>(n), msg.size()))) break;
    }
    {
        std::lock_guard state(conn->state_mutex);
        conn->hung_up = true;
    }
    end_file(*conn);
    // The program learns at once that this connection is over (an empty message ends it as a
    // hang-up does); the descriptor itself is closed when the connection is reaped. Out of the
    // watcher's set first: the hang-up is ours, not news for it.
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, conn->sock, nullptr);
    ::shutdown(conn->sock, SHUT_RDWR);
    conn->finished = true;
}

// The connection lets go of its file: an attached one leaves it, the opener releases it once no
// attached connection is left (so that a request running on one of them finishes first).
int DeviceServer::end_file(Conn& conn) {
    auto ref = std::move(conn.file);
    if (!ref) return 0;
    if (conn.attached) {
        std::lock_guard lock(ref->mutex);
        --ref->attached;
        ref->idle.notify_all();
        return 0;
    }
    {
        std::unique_lock lock(ref->mutex);
        ref->closing = true;
        ref->idle.wait(lock, [&] { return ref->attached == 0; });
    }
    {
        std::lock_guard lock(conns_mutex_);
        files_.erase(ref->token);
    }
    return kernel_.release(ref->handle, conn.pid);
}

int DeviceServer::attach(Conn& conn, uint64_t token) {
    std::shared_ptr<OpenRef> ref;
    {
        std::lock_guard lock(conns_mutex_);
        auto it = files_.find(token);
        if (it != files_.end()) ref = it->second.lock();
    }
    // Only the program that opened the file may join it.
    if (!ref || ref->pid != conn.pid) return -EBADF;
    std::lock_guard lock(ref->mutex);
    if (ref->closing) return -EBADF;
    ++ref->attached;
    conn.file = std::move(ref);
    conn.attached = true;
    return 0;
}

// Runs one request. False when the connection is over (closed, or the reply could not go out).
bool DeviceServer::handle(Conn& conn, const uint8_t* msg, size_t len) {
    Request req;
    if (!os::simwire::decode(std::span<const uint8_t>(msg, len), req)) {
        log("device server: malformed request from pid " + std::to_string(conn.pid) + " refused");
        // The reply names no op it could answer; its op field is 0.
        return send_reply(conn.sock, refused(Op{}, EINVAL));
    }
    const pid_t task = conn.pid;
    const bool opening = req.op == Op::kOpen || req.op == Op::kReboot || req.op == Op::kAttach;
    if (!conn.file && !opening) return send_reply(conn.sock, refused(req.op, EBADF));
    if (conn.file && opening) return send_reply(conn.sock, refused(req.op, EINVAL));
    {
        std::lock_guard state(conn.state_mutex);
        if (conn.hung_up) return false;
        conn.busy = true;
        conn.busy_file = conn.file ? conn.file->handle : 0;
    }
    Reply rep{req.op, 0, 0, 0};
    int pass_fd = -1;
    bool keep = true;
    const DeviceKernel::Handle f = conn.file ? conn.file->handle : 0;
    switch (req.op) {
        case Op::kOpen:
            if (!powered_) {
                rep.result = -ENXIO;
            } else if (req.a > kMaxMajor || req.b > kMaxMinor) {
                rep.result = -EINVAL;
            } else {
                DeviceKernel::Handle h = 0;
                rep.result =
                    kernel_.open(static_cast<unsigned>(req.a), static_cast<unsigned>(req.b),
                                 static_cast<int>(req.c), task, &h);
                if (rep.result >= 0) {
                    auto ref = std::make_shared<OpenRef>();
                    ref->handle = h;
                    ref->pid = task;
                    std::lock_guard lock(conns_mutex_);
                    do {
                        ref->token = token_source_();
                    } while (ref->token == 0 || files_.count(ref->token) != 0);
                    files_[ref->token] = ref;
                    rep.result = 0;
                    rep.x = ref->token;
                    conn.file = std::move(ref);
                }
            }
            break;
        case Op::kAttach:
            rep.result = powered_ ? attach(conn, req.a) : -ENXIO;
            break;
        case Op::kReboot:
            if (!powered_) {
                rep.result = -ENXIO;
            } else {
                if (hooks_.reboot) hooks_.reboot(task);
            }
            break;
        case Op::kRead:
        case Op::kWrite:
            if (req.b > kMaxTransfer) {
                rep.result = -EINVAL;
            } else if (req.op == Op::kRead) {
                rep.result = kernel_.read(f, req.a, req.b, task);
            } else {
                rep.result = kernel_.write(f, req.a, req.b, task);
            }
            break;
        case Op::kIoctl:
            // The kernel's ioctl command is 32 bits wide; wider values are cut as its entry does.
            rep.result = kernel_.ioctl(f, static_cast<unsigned int>(req.a),
                                       static_cast<unsigned long>(req.b), task);
            break;
        case Op::kMmap: {
            if (req.b == 0 || req.b > kMaxTransfer || (req.c & ~kProtMask) != 0 ||
                req.a > kMaxTransfer) {
                rep.result = -EINVAL;
                break;
            }
            DeviceKernel::MmapArea area;
            rep.result = kernel_.mmap(f, static_cast<unsigned long>(req.a), req.b,
                                      static_cast<int>(req.c), &area, task);
            if (rep.result >= 0 && area.memfd < 0) rep.result = -ENODEV;
            if (rep.result >= 0) {
                rep.result = 0;
                rep.x = static_cast<uint64_t>(area.offset);
                rep.y = area.valid_length;
                pass_fd = area.memfd;
            }
            break;
        }
        case Op::kSetOwner: {
            const auto owner = static_cast<int64_t>(req.a);
            if (owner < INT_MIN || owner > INT_MAX) {
                rep.result = -EINVAL;
            } else {
                kernel_.set_owner(f, static_cast<pid_t>(owner));
            }
            break;
        }
        case Op::kGetFlags:
            rep.result = kernel_.get_flags(f);
            break;
        case Op::kSetFlags:
            if (req.a > UINT32_MAX) {
                rep.result = -EINVAL;
            } else {
                rep.result = kernel_.set_flags(f, static_cast<int>(req.a), task);
            }
            break;
        case Op::kClose: {
            {
                // Nothing runs on the file for this connection any more, and once end_file has
                // released it there is no file: a hang-up or a power-off from here on has
                // nothing to interrupt.
                std::lock_guard state(conn.state_mutex);
                conn.busy = false;
                conn.busy_file = 0;
            }
            rep.result = end_file(conn);
            keep = false;
            break;
        }
    }
    {
        std::lock_guard state(conn.state_mutex);
        conn.busy = false;
    }
    return send_reply(conn.sock, rep, pass_fd) && keep;
}

void DeviceServer::reap_finished() {
    std::lock_guard reaping(join_mutex_);
    std::list<std::shared_ptr<Conn>> done;
    {
        std::lock_guard lock(conns_mutex_);
        for (auto it = conns_.begin(); it != conns_.end();) {
            if ((*it)->finished) {
                done.push_back(std::move(*it));
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done) {
        if (c->thread.joinable()) c->thread.join();
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, c->sock, nullptr);
        ::close(c->sock);
    }
}

void DeviceServer::close_all() {
    powered_ = false;
    std::list<std::shared_ptr<Conn>> all;
    {
        std::lock_guard lock(conns_mutex_);
        all = conns_;
        for (const auto& c : all) {
            std::lock_guard state(c->state_mutex);
            c->hung_up = true;
            ::shutdown(c->sock, SHUT_RDWR);
            if (c->busy && c->busy_file != 0) kernel_.interrupt(c->busy_file, c->pid);
        }
    }
    {
        // The acceptor may be reaping some of them at the same time: one side joins each thread.
        std::lock_guard joining(join_mutex_);
        for (auto& c : all) {
            if (c->thread.joinable()) c->thread.join();
        }
    }
    reap_finished();
}

void DeviceServer::stop() {
    if (listen_fd_ < 0) return;
    close_all();
    const uint64_t one = 1;
    if (::write(stop_fd_, &one, sizeof one) < 0) { /* the threads end on the next event anyway */
    }
    if (acceptor_.joinable()) acceptor_.join();
    if (watcher_.joinable()) watcher_.join();
    reap_finished();
    ::close(listen_fd_);
    ::close(stop_fd_);
    ::close(epoll_fd_);
    listen_fd_ = stop_fd_ = epoll_fd_ = -1;
    ::unlink(path_.c_str());
}

}  // namespace simboard
