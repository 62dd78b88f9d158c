// Device half of the simulated os seam: the client of simboard's device server.
//
// Each open of a board device is one SOCK_SEQPACKET connection to $SIMBOARD_SOCKET, and that
// socket is the program's descriptor. A call on it sends one fixed-size request (sim_dev_wire.h)
// and waits for the reply, like a system call: the board's kernel reaches the program's buffers
// itself. For the length of one request the calling thread blocks SIGIO and SIGALRM, as a kernel
// does not run a program's signal handlers in the middle of a system call.
#include "sim_dev.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "sim_dev_wire.h"
#include "sim_socket.h"

namespace os::simdev {

namespace {

using simwire::Op;
using simwire::Reply;
using simwire::Request;

struct Node {
    unsigned major = 0;
    unsigned minor = 0;
};

// One open device file: its socket, the lock that keeps one request at a time on it, and extra
// connections attached to the same open file for threads that find the socket busy.
struct DevFile {
    int sock = -1;
    uint64_t token = 0;          // joins an extra connection to this open file
    std::atomic<long> owner{0};  // last F_SETOWN, for F_GETOWN
    std::mutex request_mutex;
    std::mutex pool_mutex;  // guards the two below
    std::vector<int> idle;  // attached connections not in use
    bool closed = false;
};

std::mutex g_config_mutex;
std::map<std::string, Node> g_nodes;
std::string g_socket_path;

std::shared_mutex g_files_mutex;
std::unordered_map<int, std::shared_ptr<DevFile>> g_files;

// The descriptors in g_files, as flags: owns() is asked on every call that takes a descriptor,
// a record write to the card among them, and answers from here without a lock or a system call.
constexpr int kMaxFlaggedFd = 65536;
std::array<std::atomic<uint8_t>, kMaxFlaggedFd> g_isDevice{};

void flag_device(int fd, bool device) {
    if (fd >= 0 && fd < kMaxFlaggedFd)
        g_isDevice[fd].store(device ? 1 : 0, std::memory_order_release);
}

// The nodes every board has; used when the board has not written its node table.
const std::pair<const char*, Node> kDefaultNodes[] = {
    {"/dev/winbond0", {240, 0}}, {"/dev/winbond1", {240, 1}},  {"/dev/LIS3LV02DQ", {211, 0}},
    {"/dev/i2c-0", {89, 0}},     {"/dev/watchdog", {10, 130}}, {"/dev/dsp", {14, 3}},
};

int fail(int err) {
    errno = err;
    return -1;
}

std::shared_ptr<DevFile> find(int fd) {
    std::shared_lock lock(g_files_mutex);
    auto it = g_files.find(fd);
    return it == g_files.end() ? nullptr : it->second;
}

// Blocks SIGIO and SIGALRM in the calling thread while it lives.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGIO);
        sigaddset(&set, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &set, &saved_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t saved_{};
};

bool send_request(int sock, const Request& req) {
    const auto bytes = simwire::encode(req);
    for (;;) {
        if (::send(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(bytes.size()))
            return true;
        if (errno != EINTR) return false;
    }
}

// Waits for the reply; a descriptor passed with it lands in *passed_fd (when given).
bool receive_reply(int sock, Reply& rep, int* passed_fd) {
    simwire::ReplyBytes bytes{};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int))> control{};
    iovec iov{bytes.data(), bytes.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    ssize_t n;
    do {
        n = ::recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        int fd;
        std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
        if (passed_fd != nullptr && *passed_fd < 0) {
            *passed_fd = fd;
        } else {
            ::close(fd);
        }
    }
    return simwire::decode(std::span<const uint8_t>(bytes.data(), static_cast<size_t>(n)), rep);
}

// Every entry point blocks SIGIO and SIGALRM first: the program's handlers of those signals may
// call back into this file (a camera read from the interval timer's handler), and must never find
// a lock of this file held by the very thread they interrupted.

// One request on a socket, as one system call. Returns the result (>= 0) or -1 with errno.
// A board that went away (power off, reboot) answers nothing: EIO.
long transact_on(int sock, const Request& req, Reply* reply_out = nullptr,
                 int* passed_fd = nullptr) {
    Reply rep;
    if (!send_request(sock, req) || !receive_reply(sock, rep, passed_fd) || rep.op != req.op) {
        return fail(EIO);
    }
    if (reply_out != nullptr) *reply_out = rep;
    if (rep.result < 0) return fail(static_cast<int>(-rep.result));
    return static_cast<long>(rep.result);
}

int connect_board();

// An attached connection for `file`: an idle one, or a new one. -1 when none can be made.
int take_attached(DevFile& file) {
    {
        std::lock_guard lock(file.pool_mutex);
        if (file.closed) return -1;
        if (!file.idle.empty()) {
            const int sock = file.idle.back();
            file.idle.pop_back();
            return sock;
        }
    }
    const int sock = connect_board();
    if (sock < 0) return -1;
    if (transact_on(sock, Request{Op::kAttach, file.token}) < 0) {
        ::close(sock);
        return -1;
    }
    return sock;
}

void give_back(DevFile& file, int sock) {
    std::lock_guard lock(file.pool_mutex);
    if (file.closed) {
        ::close(sock);
    } else {
        file.idle.push_back(sock);
    }
}

// One request on the file: on its own connection, or on an attached one when another thread is
// using that (a reader sleeping for its data must not hold up an ioctl of another thread).
long transact(DevFile& file, const Request& req, Reply* reply_out = nullptr,
              int* passed_fd = nullptr) {
    if (!file.request_mutex.try_lock()) {
        const int aux = take_attached(file);
        if (aux >= 0) {
            const long rc = transact_on(aux, req, reply_out, passed_fd);
            const int err = errno;
            give_back(file, aux);
            errno = err;
            return rc;
        }
        file.request_mutex.lock();
    }
    std::lock_guard lock(file.request_mutex, std::adopt_lock);
    return transact_on(file.sock, req, reply_out, passed_fd);
}

int connect_board() {
    std::string path;
    {
        std::lock_guard lock(g_config_mutex);
        path = g_socket_path;
    }
    if (path.empty()) return fail(ENXIO);
    const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
    if (simsock::call_at_path(sock, path, simsock::Call::kConnect) < 0) {
        ::close(sock);
        return fail(ENXIO);  // no board listening: its devices are absent
    }
    return sock;
}

}  // namespace

void init(const std::string& root, const std::string& socket_path) {
    std::map<std::string, Node> nodes;
    std::ifstream table(root + "/dev/.nodes");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string path, type;
        Node node;
        if (fields >> path >> type >> node.major >> node.minor && type == "c") nodes[path] = node;
    }
    if (nodes.empty()) nodes.insert(std::begin(kDefaultNodes), std::end(kDefaultNodes));
    SignalsHeld held;
    std::lock_guard lock(g_config_mutex);
    g_nodes = std::move(nodes);
    g_socket_path = socket_path;
    // The board reaches this program's memory the way a kernel does; allow it even where the
    // host restricts that to a process's ancestors.
    if (!socket_path.empty()) ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
}

bool is_device_path(const std::string& box_path) {
    SignalsHeld held;
    std::lock_guard lock(g_config_mutex);
    return g_nodes.count(box_path) != 0;
}

int open(const std::string& box_path, int flags) {
    SignalsHeld held;
    Node node;
    {
        std::lock_guard lock(g_config_mutex);
        auto it = g_nodes.find(box_path);
        if (it == g_nodes.end()) return fail(ENOENT);
        node = it->second;
    }
    const int sock = connect_board();
    if (sock < 0) return -1;
    const Request req{Op::kOpen, node.major, node.minor, static_cast<uint32_t>(flags)};
    Reply rep;
    if (transact_on(sock, req, &rep) < 0) {
        const int err = errno;
        ::close(sock);
        return fail(err);
    }
    auto file = std::make_shared<DevFile>();
    file->sock = sock;
    file->token = rep.x;
    std::unique_lock lock(g_files_mutex);
    g_files[sock] = std::move(file);
    flag_device(sock, true);
    return sock;
}

bool owns(int fd) {
    if (fd >= 0 && fd < kMaxFlaggedFd) return g_isDevice[fd].load(std::memory_order_acquire) != 0;
    SignalsHeld held;
    std::shared_lock lock(g_files_mutex);
    return g_files.count(fd) != 0;
}

int close(int fd) {
    SignalsHeld held;
    std::shared_ptr<DevFile> file;
    {
        std::unique_lock lock(g_files_mutex);
        auto it = g_files.find(fd);
        if (it == g_files.end()) return fail(EBADF);
        file = std::move(it->second);
        g_files.erase(it);
        flag_device(fd, false);  // before the number can be given to another open
    }
    // Attached connections go first: the board releases the file when the last of them is gone
    // (one still busy for another thread comes back and is closed then).
    std::vector<int> idle;
    {
        std::lock_guard lock(file->pool_mutex);
        file->closed = true;
        idle.swap(file->idle);
    }
    for (const int sock : idle) ::close(sock);
    // The driver's release has run when the reply comes; a board that is gone released it too.
    std::unique_lock lock(file->request_mutex);
    const long rc = transact_on(file->sock, Request{Op::kClose});
    const int err = errno;
    ::close(fd);
    if (rc < 0 && err != EIO) return fail(err);
    return 0;
}

ssize_t read(int fd, void* buf, size_t count) {
    SignalsHeld held;
    auto file = find(fd);
    if (!file) return fail(EBADF);
    return transact(*file, Request{Op::kRead, reinterpret_cast<uintptr_t>(buf), count});
}

ssize_t write(int fd, const void* buf, size_t count) {
    SignalsHeld held;
    auto file = find(fd);
    if (!file) return fail(EBADF);
    return transact(*file, Request{Op::kWrite, reinterpret_cast<uintptr_t>(buf), count});
}

int ioctl(int fd, unsigned long request, unsigned long arg) {
    SignalsHeld held;
    auto file = find(fd);
    if (!file) return fail(EBADF);
    return static_cast<int>(transact(*file, Request{Op::kIoctl, request, arg}));
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    SignalsHeld held;
    void* const failed = MAP_FAILED;
    auto file = find(fd);
    if (!file) {
        errno = EBADF;
        return failed;
    }
    const long page = ::sysconf(_SC_PAGESIZE);
    if (length == 0 || offset < 0 || offset % page != 0) {
        errno = EINVAL;
        return failed;
    }
    Reply rep;
    int memfd = -1;
    const Request req{Op::kMmap, static_cast<uint64_t>(offset / page), length,
                      static_cast<uint32_t>(prot)};
    const long rc = transact(*file, req, &rep, &memfd);
    if (rc < 0 || memfd < 0) {
        const int err = rc < 0 ? errno : EIO;
        if (memfd >= 0) ::close(memfd);
        errno = err;
        return failed;
    }
    void* area = ::mmap(addr, length, prot, flags, memfd, static_cast<off_t>(rep.x));
    const int err = errno;
    ::close(memfd);
    errno = err;
    return area;
}

int fcntl(int fd, int cmd, long arg) {
    SignalsHeld held;
    auto file = find(fd);
    if (!file) return fail(EBADF);
    switch (cmd) {
        case F_SETOWN: {
            const long rc = transact(*file, Request{Op::kSetOwner, static_cast<uint64_t>(arg)});
            if (rc == 0) file->owner = arg;
            return static_cast<int>(rc);
        }
        case F_GETOWN:
            return static_cast<int>(file->owner);
        case F_GETFL:
            return static_cast<int>(transact(*file, Request{Op::kGetFlags}));
        case F_SETFL:
            return static_cast<int>(
                transact(*file, Request{Op::kSetFlags, static_cast<uint64_t>(arg)}));
        case F_GETFD:
        case F_SETFD:
            return ::fcntl(fd, cmd, arg);
        default:
            return fail(EINVAL);
    }
}

int request_reboot() {
    SignalsHeld held;
    const int sock = connect_board();
    if (sock < 0) return -1;
    const long rc = transact_on(sock, Request{Op::kReboot});
    const int err = errno;
    ::close(sock);
    if (rc < 0) return fail(err);
    return 0;
}

}  // namespace os::simdev
