// The board's device server on malformed and hostile requests from its clients: any bytes on any
// number of connections, requests out of order, attachments to other files, hang-ups while a
// request sleeps. Behind the server is a kernel that checks every call the server makes of it:
// arguments in the ranges the wire allows, the caller's own pid, only files it opened and has not
// released, no release while a request still runs on the file, every file released exactly once
// when its connections are gone. On the wire, every request gets exactly one well-formed reply
// that names its operation (malformed ones: operation 0, -EINVAL), a file descriptor only with a
// successful mmap.
//
// Input: a sequence of steps, each a byte (bits 0..2 the connection, 0..7; the rest what to do)
// and its operands; see step().
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <span>

#include "devserver.hpp"
#include "fuzz_root.hpp"
#include "sim_dev_wire.h"
#include "sim_socket.h"

namespace {

using os::simwire::Op;
using os::simwire::Reply;
using os::simwire::Request;
using simboard::DeviceKernel;
using simboard::DeviceServer;

constexpr unsigned kMajor = 240;
constexpr uint64_t kMaxTransfer = INT_MAX & ~static_cast<uint64_t>(4095);
constexpr auto kSleep = std::chrono::milliseconds(20);  // a read on a sleeping minor
constexpr int kReplyWait = 5;                           // seconds a reply may take

// Minor % 3: 0 no such device, 1 answers at once, 2 reads sleep (until woken by a hang-up).
class CheckingKernel : public DeviceKernel {
  public:
    CheckingKernel() {
        memfd_ = ::memfd_create("fuzz-area", MFD_CLOEXEC);
        FUZZ_CHECK(memfd_ >= 0 && ::ftruncate(memfd_, 4096) == 0);
    }

    int open(unsigned major, unsigned minor, int, pid_t task, Handle* out) override {
        FUZZ_CHECK(major <= 255 && minor < (1u << 20));
        FUZZ_CHECK(task == ::getpid());
        if (major != kMajor || minor % 3 == 0) return -ENXIO;
        std::lock_guard lock(mutex_);
        const Handle h = ++last_;
        files_[h] = File{minor, 0, false, false};
        *out = h;
        return 0;
    }
    long read(Handle h, uintptr_t, size_t count, pid_t task) override {
        Call call(*this, h, task);
        FUZZ_CHECK(count <= kMaxTransfer);
        if (call.file().minor % 3 != 2) return static_cast<long>(count);
        std::unique_lock lock(mutex_);
        const bool woken = wake_.wait_for(lock, kSleep, [&] { return files_.at(h).interrupted; });
        return woken ? -EINTR : 0;
    }
    long write(Handle h, uintptr_t, size_t count, pid_t task) override {
        Call call(*this, h, task);
        FUZZ_CHECK(count <= kMaxTransfer);
        return static_cast<long>(count);
    }
    long ioctl(Handle h, unsigned int cmd, unsigned long arg, pid_t task) override {
        Call call(*this, h, task);
        return cmd == 0 ? -ENOTTY : static_cast<long>(arg & 0xFFFF);
    }
    int mmap(Handle h, unsigned long pgoff, size_t length, int prot, MmapArea* out,
             pid_t task) override {
        Call call(*this, h, task);
        FUZZ_CHECK(length > 0 && length <= kMaxTransfer && pgoff <= kMaxTransfer);
        FUZZ_CHECK((prot & ~(PROT_READ | PROT_WRITE | PROT_EXEC)) == 0);
        if (pgoff != 0 || length > 4096) return -EINVAL;
        out->memfd = memfd_;
        out->offset = 0;
        out->valid_length = length;
        return 0;
    }
    void set_owner(Handle h, pid_t) override { Call call(*this, h, ::getpid()); }
    int get_flags(Handle h) override {
        Call call(*this, h, ::getpid());
        return call.file().flags;
    }
    int set_flags(Handle h, int flags, pid_t task) override {
        Call call(*this, h, task);
        std::lock_guard lock(mutex_);
        files_.at(h).flags = flags;
        return 0;
    }
    int release(Handle h, pid_t task) override {
        FUZZ_CHECK(task == ::getpid());
        std::lock_guard lock(mutex_);
        const auto it = files_.find(h);
        FUZZ_CHECK(it != files_.end() && !it->second.released);
        FUZZ_CHECK(running_[h] == 0);  // no request still runs on a file being released
        it->second.released = true;
        return 0;
    }
    void interrupt(Handle h, pid_t) override {
        std::lock_guard lock(mutex_);
        const auto it = files_.find(h);
        FUZZ_CHECK(it != files_.end() && !it->second.released);
        it->second.interrupted = true;
        wake_.notify_all();
    }

    // After every connection has gone: every file opened was released, once.
    void check_all_released() {
        std::lock_guard lock(mutex_);
        for (const auto& [h, f] : files_) FUZZ_CHECK(f.released);
        files_.clear();
        running_.clear();
    }

  private:
    struct File {
        unsigned minor;
        int flags;
        bool released;
        bool interrupted;
    };
    // One call of the server on an open file: the file must be open and not released.
    class Call {
      public:
        Call(CheckingKernel& k, Handle h, pid_t task) : k_(k), h_(h) {
            FUZZ_CHECK(task == ::getpid());
            std::lock_guard lock(k_.mutex_);
            const auto it = k_.files_.find(h);
            FUZZ_CHECK(it != k_.files_.end() && !it->second.released);
            file_ = it->second;
            ++k_.running_[h];
        }
        ~Call() {
            std::lock_guard lock(k_.mutex_);
            --k_.running_[h_];
        }
        const File& file() const { return file_; }

      private:
        CheckingKernel& k_;
        Handle h_;
        File file_{};
    };

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<Handle, File> files_;
    std::map<Handle, int> running_;
    Handle last_ = 0;
    int memfd_ = -1;
};

// The client's side of one connection.
struct Slot {
    int sock = -1;
    bool waiting = false;     // a request was sent, its reply not read yet
    Request sent;             // that request as the server decodes it
    bool valid = false;       // whether it decodes at all (else the reply names op 0)
    uint64_t token = 0;       // from a successful open
    uint64_t attachedTo = 0;  // the token of the file a successful attach joined
};

struct Harness {
    Harness() {
        const fuzz::Root& root = fuzz::root();
        path = (root.path() / "run/dev.sock").string();
        std::string error;
        FUZZ_CHECK(server.listen(path, error));
        server.set_powered(true);
    }

    CheckingKernel kernel;
    DeviceServer server{kernel, {}};
    std::string path;
    std::array<Slot, 8> slots;
};

Harness& harness() {
    static Harness h;
    return h;
}

class Input {
  public:
    explicit Input(std::span<const uint8_t> bytes) : b_(bytes) {}
    bool empty() const { return b_.empty(); }
    uint8_t byte() {
        if (b_.empty()) return 0;
        const uint8_t v = b_[0];
        b_ = b_.subspan(1);
        return v;
    }
    uint64_t u64(size_t bytes) {
        uint64_t v = 0;
        for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(byte()) << (8 * i);
        return v;
    }
    std::span<const uint8_t> take(size_t n) {
        n = std::min(n, b_.size());
        const auto out = b_.first(n);
        b_ = b_.subspan(n);
        return out;
    }

  private:
    std::span<const uint8_t> b_;
};

void hang_up(Slot& s) {
    if (s.sock >= 0) ::close(s.sock);
    s = Slot{};
}

void connect(Slot& s, const std::string& path) {
    hang_up(s);
    s.sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(s.sock >= 0);
    FUZZ_CHECK(os::simsock::call_at_path(s.sock, path, os::simsock::Call::kConnect) == 0);
    timeval wait{kReplyWait, 0};
    ::setsockopt(s.sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
}

// Reads the reply to the request in flight: one well-formed reply for it, or the end of the
// connection (the server closed it: after a close, an empty message or a hang-up).
void await(Harness& h, Slot& s) {
    if (!s.waiting) return;
    s.waiting = false;
    if (s.valid && s.sent.op == Op::kClose && s.token != 0) {
        // The file is released once the connections attached to it are gone, and the close
        // answered then: a program closes those first (os/sim_dev.cpp).
        for (Slot& other : h.slots) {
            if (&other != &s && other.attachedTo == s.token) hang_up(other);
        }
    }
    std::array<uint8_t, 64> buf{};
    iovec iov{buf.data(), buf.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * 4)> control{};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    ssize_t n;
    do {
        n = ::recvmsg(s.sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    FUZZ_CHECK(!(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)));  // it never answered
    int fds = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            ::close(fd);
            ++fds;
        }
    }
    if (n <= 0) {
        FUZZ_CHECK(fds == 0);
        hang_up(s);
        return;
    }
    Reply rep;
    FUZZ_CHECK(n == static_cast<ssize_t>(os::simwire::kReplySize));
    FUZZ_CHECK(os::simwire::decode(std::span<const uint8_t>(buf.data(), 32), rep));
    FUZZ_CHECK(rep.op == (s.valid ? s.sent.op : Op{}));
    FUZZ_CHECK(rep.result >= -4095);
    if (!s.valid) FUZZ_CHECK(rep.result == -EINVAL);
    FUZZ_CHECK(fds == (s.valid && s.sent.op == Op::kMmap && rep.result == 0 ? 1 : 0));
    if (s.valid && rep.result == 0 && s.sent.op == Op::kOpen) {
        FUZZ_CHECK(rep.x != 0);
        s.token = rep.x;
    }
    if (s.valid && rep.result == 0 && s.sent.op == Op::kAttach) s.attachedTo = s.sent.a;
}

void send(Harness& h, Slot& s, std::span<const uint8_t> bytes) {
    await(h, s);
    if (s.sock < 0) return;
    const ssize_t n = ::send(s.sock, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {  // the server has closed this connection
        hang_up(s);
        return;
    }
    s.waiting = true;
    s.valid = os::simwire::decode(bytes, s.sent);
}

// One step of the input.
void step(Harness& h, Input& in) {
    const uint8_t what = in.byte();
    Slot& s = h.slots[what & 7];
    switch (what >> 3 & 7) {
        case 0:  // a new connection in this place (the old one hung up)
            connect(s, h.path);
            break;
        case 1:
        case 2: {  // a request from its fields: op, a, b, c; an attach may take a known token
            Request r;
            const uint8_t op = in.byte();
            r.op = static_cast<Op>(op % 13);
            r.a = in.u64(what >> 3 & 1 ? 8 : 2);
            r.b = in.u64(what >> 3 & 1 ? 8 : 2);
            r.c = static_cast<uint32_t>(in.u64(4));
            if (r.op == Op::kOpen && (op & 0x80) != 0) r.a = kMajor;
            if (r.op == Op::kAttach && (op & 0x80) != 0) r.a = h.slots[op >> 4 & 7].token;
            send(h, s, os::simwire::encode(r));
            break;
        }
        case 3:  // any bytes as one message (a length of 0 is an empty message)
            send(h, s, in.take(in.byte() % 72));
            break;
        case 4:  // the client goes away, a request maybe still in flight
            hang_up(s);
            break;
        case 5:
            await(h, s);
            break;
        case 6:  // half a hang-up: no more requests from this side
            if (s.sock >= 0) ::shutdown(s.sock, SHUT_WR);
            break;
        default:  // a power cut: the board hangs every connection up
            h.server.close_all();
            h.server.set_powered(true);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Harness& h = harness();
    Input in(std::span(data, size));
    for (int steps = 0; steps < 64 && !in.empty(); ++steps) step(h, in);
    for (Slot& s : h.slots) {
        await(h, s);
        hang_up(s);
    }
    // The server takes connections in the order they came: once a last one is answered, every
    // earlier one has been taken. Each connection's thread lets its file go once its socket is
    // gone; close_all() waits for them (the board's power-off does the same).
    Slot& probe = h.slots[0];
    connect(probe, h.path);
    send(h, probe, os::simwire::encode(Request{Op::kGetFlags, 0, 0, 0}));
    await(h, probe);
    hang_up(probe);
    h.server.close_all();
    FUZZ_CHECK(h.server.connections() == 0);
    h.kernel.check_all_released();
    h.server.set_powered(true);
    return 0;
}
