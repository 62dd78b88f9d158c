// The device transport between a program's os seam (os/sim_dev.cpp) and the board's device
// server: with a small kernel of the test's own behind the server (SIGIO to the owner only,
// release on close, exit and death, refused requests), and with the simulated kernel and the
// kernel tests' module behind it (user copies and bad pointers from another process, mmap and
// its SIGBUS, kill_fasync, a killed sleeper released: rmmod refuses a module with a file open).
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "devserver.hpp"
#include "eventually.hpp"
#include "hw.hpp"
#include "s3c2410.hpp"
#include "sim_board.hpp"
#include "sim_dev.h"
#include "sim_dev_wire.h"
#include "simk.hpp"
#include "simk_kernel.hpp"
#include "testmod.h"

namespace {

using testsupport::eventually;
using testsupport::in_child;

using simboard::DeviceKernel;
using simboard::DeviceServer;

constexpr unsigned long kAddOne = 2;  // returns arg + 1
constexpr unsigned long kNotify = 3;  // SIGIO to the file's owner
constexpr unsigned kSleepMinor = 1;   // read sleeps until woken or interrupted; minor 0 does not
constexpr size_t kAreaSize = 4096;    // also the page size

// A kernel with one character device (major 240) whose minors behave as above, counting what
// the server asks of it. User copies through the server are tested with the real kernel below.
class TestKernel : public DeviceKernel {
  public:
    struct File {
        unsigned minor = 0;
        int flags = 0;
        pid_t owner = 0;
    };

    TestKernel() {
        memfd_ = ::memfd_create("test-area", MFD_CLOEXEC);
        EXPECT_EQ(::ftruncate(memfd_, kAreaSize), 0);
    }
    ~TestKernel() override { ::close(memfd_); }

    int open(unsigned major, unsigned minor, int flags, pid_t, Handle* out) override {
        if (major != 240 || minor > kSleepMinor) return -ENXIO;
        auto* f = new File{minor, flags, 0};
        *out = reinterpret_cast<Handle>(f);
        std::lock_guard lock(mutex_);
        ++opens_;
        return 0;
    }
    long read(Handle h, uintptr_t, size_t, pid_t task) override {
        return file(h).minor == kSleepMinor ? sleep(task) : 0;
    }
    long write(Handle, uintptr_t, size_t count, pid_t) override { return static_cast<long>(count); }
    long ioctl(Handle h, unsigned int cmd, unsigned long arg, pid_t) override {
        switch (cmd) {
            case kAddOne:
                return static_cast<long>(arg + 1);
            case kNotify:
                if (file(h).owner > 0) ::kill(file(h).owner, SIGIO);
                return 0;
            default:
                return -ENOTTY;
        }
    }
    int mmap(Handle, unsigned long pgoff, size_t, int, MmapArea* out, pid_t) override {
        if (pgoff != 0) return -EINVAL;
        out->memfd = memfd_;
        out->offset = 0;
        out->valid_length = kAreaSize;
        return 0;
    }
    void set_owner(Handle h, pid_t owner) override { file(h).owner = owner; }
    int get_flags(Handle h) override { return file(h).flags; }
    int set_flags(Handle h, int flags, pid_t) override {
        file(h).flags = (file(h).flags & O_ACCMODE) | (flags & (O_NONBLOCK | O_ASYNC));
        return 0;
    }
    int release(Handle h, pid_t) override {
        delete &file(h);
        {
            std::lock_guard lock(mutex_);
            ++releases_;
            released_.insert(h);
        }
        changed_.notify_all();
        if (on_release_) on_release_();
        return 0;
    }
    void interrupt(Handle h, pid_t task) override {
        {
            std::lock_guard lock(mutex_);
            interrupted_.insert(task);
            if (released_.count(h) != 0) ++interrupts_of_released_;
        }
        changed_.notify_all();
    }

    // Waits (bounded, so that a fault fails the test instead of hanging it) until `pred` holds.
    bool wait_until(const std::function<bool()>& pred) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), pred);
    }
    void wake_sleepers() {
        {
            std::lock_guard lock(mutex_);
            ++wakeups_;
        }
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int opens_ = 0;
    int releases_ = 0;
    int sleepers_ = 0;
    int wakeups_ = 0;
    std::set<pid_t> interrupted_;
    std::set<Handle> released_;
    int interrupts_of_released_ = 0;
    std::function<void()> on_release_;  // runs in release(), after the file is gone

  private:
    static File& file(Handle h) { return *reinterpret_cast<File*>(h); }
    long sleep(pid_t task) {
        std::unique_lock lock(mutex_);
        ++sleepers_;
        changed_.notify_all();
        const int seen = wakeups_;
        changed_.wait(lock, [&] { return wakeups_ != seen || interrupted_.count(task) != 0; });
        --sleepers_;
        return interrupted_.count(task) != 0 ? -EINTR : 7;
    }
    int memfd_ = -1;
};

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "dev");
        socket_ = (dir_ / "dev.sock").string();
        std::string error;
        ASSERT_TRUE(server_.listen(socket_, error)) << error;
        server_.set_powered(true);
        os::simdev::init(dir_.string(), socket_);
    }
    void TearDown() override { server_.stop(); }

    testsupport::TempDir tmp_{"transport"};
    const std::filesystem::path& dir_ = tmp_.path();
    std::string socket_;
    TestKernel kernel_;
    DeviceServer server_{kernel_, {}};
};

TEST_F(Transport, MmapArgumentsAreChecked) {
    const int fd = os::simdev::open("/dev/winbond0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os::simdev::mmap(nullptr, 0, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(os::simdev::mmap(nullptr, kAreaSize, PROT_READ, MAP_SHARED, fd, 100), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(os::simdev::mmap(nullptr, kAreaSize, PROT_READ, MAP_SHARED, fd, kAreaSize),
              MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);  // the driver refuses that offset
    EXPECT_EQ(os::simdev::close(fd), 0);
}

// owns() is asked on every call with a descriptor, card writes among them: once a device is
// closed, its number given to another file is that file's.
TEST_F(Transport, AClosedDevicesNumberIsNoLongerADevice) {
    const int fd = os::simdev::open("/dev/winbond0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(os::simdev::owns(fd));
    ASSERT_EQ(os::simdev::close(fd), 0);
    EXPECT_FALSE(os::simdev::owns(fd));
    const int plain = ::open((dir_ / "plain").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(plain, 0);
    ASSERT_EQ(::dup2(plain, fd), fd);
    EXPECT_FALSE(os::simdev::owns(fd));
    errno = 0;
    EXPECT_EQ(os::simdev::read(fd, nullptr, 0), -1);
    EXPECT_EQ(errno, EBADF);
    ::close(fd);
    if (plain != fd) ::close(plain);
    EXPECT_FALSE(os::simdev::owns(-1));
    EXPECT_FALSE(os::simdev::owns(1 << 20)) << "beyond the table: the map answers";
}

volatile sig_atomic_t g_sigio = 0;
void on_sigio(int) {
    g_sigio = g_sigio + 1;
}

TEST_F(Transport, SigioGoesToTheOwnerAndNotToOthers) {
    std::array<int, 2> ready{}, done{};
    ASSERT_EQ(::pipe(ready.data()), 0);
    ASSERT_EQ(::pipe(done.data()), 0);
    // A bystander with a handler of its own, that must see nothing.
    const pid_t bystander = ::fork();
    if (bystander == 0) {
        ::signal(SIGIO, on_sigio);
        char c = 'r';
        if (::write(ready[1], &c, 1) != 1) ::_exit(9);
        if (::read(done[0], &c, 1) != 1) ::_exit(8);
        ::_exit(g_sigio == 0 ? 0 : 1);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    const int status = in_child([] {
        ::signal(SIGIO, on_sigio);
        const int fd = os::simdev::open("/dev/LIS3LV02DQ", O_RDWR);
        if (fd >= 0) return 20;  // major 211 is not the test kernel's
        const int cam = os::simdev::open("/dev/winbond0", O_RDWR);
        if (os::simdev::fcntl(cam, F_SETOWN, ::getpid()) != 0) return 1;
        if (os::simdev::fcntl(cam, F_GETOWN, 0) != ::getpid()) return 2;
        const int flags = os::simdev::fcntl(cam, F_GETFL, 0);
        if (flags < 0 || (flags & O_ACCMODE) != O_RDWR) return 3;
        if (os::simdev::fcntl(cam, F_SETFL, flags | O_ASYNC) != 0) return 4;
        if ((os::simdev::fcntl(cam, F_GETFL, 0) & O_ASYNC) == 0) return 5;
        if (os::simdev::ioctl(cam, kNotify, 0) != 0) return 6;
        // The signal was held during the request and is delivered once it is over.
        for (int i = 0; i < 1000 && g_sigio == 0; ++i) ::usleep(1000);
        return g_sigio == 1 ? 0 : 7;
    });
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(::write(done[1], "d", 1), 1);
    int bystander_status = 0;
    ::waitpid(bystander, &bystander_status, 0);
    EXPECT_EQ(WEXITSTATUS(bystander_status), 0);
    for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);
}

TEST_F(Transport, ProgramKilledMidRequestIsInterruptedAndReleased) {
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = os::simdev::open("/dev/winbond1", O_RDWR);
        char buf[4];
        os::simdev::read(fd, buf, sizeof buf);  // sleeps until killed
        ::_exit(0);
    }
    ASSERT_TRUE(kernel_.wait_until([&] { return kernel_.sleepers_ == 1; }));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(kernel_.wait_until([&] { return kernel_.releases_ == 1; }));
    EXPECT_EQ(kernel_.interrupted_.count(child), 1u);
    EXPECT_EQ(kernel_.sleepers_, 0);
}

TEST_F(Transport, ProgramThatExitsWithoutClosingIsReleased) {
    const int status = in_child([] {
        return os::simdev::open("/dev/winbond0", O_RDWR) >= 0 &&
                       os::simdev::open("/dev/winbond1", O_RDONLY) >= 0
                   ? 0
                   : 1;
    });
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(kernel_.wait_until([&] { return kernel_.releases_ == 2; }));
    EXPECT_TRUE(kernel_.interrupted_.empty());  // nothing was running for it
}

TEST_F(Transport, TwoProgramsAtOnce) {
    const pid_t sleeper = ::fork();
    if (sleeper == 0) {
        const int fd = os::simdev::open("/dev/winbond1", O_RDWR);
        char buf[4];
        ::_exit(os::simdev::read(fd, buf, sizeof buf) == 7 ? 0 : 1);
    }
    ASSERT_TRUE(kernel_.wait_until([&] { return kernel_.sleepers_ == 1; }));
    // While the first program sleeps in the kernel, a second one is served.
    const int status = in_child([] {
        const int fd = os::simdev::open("/dev/winbond0", O_RDWR);
        return os::simdev::ioctl(fd, kAddOne, 1) == 2 ? 0 : 1;
    });
    EXPECT_EQ(WEXITSTATUS(status), 0);
    kernel_.wake_sleepers();
    int sleeper_status = 0;
    ::waitpid(sleeper, &sleeper_status, 0);
    EXPECT_EQ(WEXITSTATUS(sleeper_status), 0);
}

TEST_F(Transport, CloseRunsReleaseBeforeItReturns) {
    const int fd = os::simdev::open("/dev/winbond0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(os::simdev::owns(fd));
    EXPECT_EQ(os::simdev::close(fd), 0);
    EXPECT_EQ(kernel_.releases_, 1);
    EXPECT_FALSE(os::simdev::owns(fd));
    EXPECT_EQ(os::simdev::read(fd, nullptr, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(Transport, DevicesAreAbsentWithoutABoard) {
    os::simdev::init(dir_.string(), "");
    EXPECT_EQ(os::simdev::open("/dev/winbond0", O_RDWR), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(os::simdev::request_reboot(), -1);
    EXPECT_EQ(errno, ENXIO);
    os::simdev::init(dir_.string(), (dir_ / "nobody.sock").string());
    EXPECT_EQ(os::simdev::open("/dev/winbond0", O_RDWR), -1);
    EXPECT_EQ(errno, ENXIO);
    // A board that is powered off refuses opens the same way.
    os::simdev::init(dir_.string(), socket_);
    server_.set_powered(false);
    EXPECT_EQ(os::simdev::open("/dev/winbond0", O_RDWR), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_FALSE(os::simdev::is_device_path("/dev/ttySAC1"));
    EXPECT_TRUE(os::simdev::is_device_path("/dev/watchdog"));
}

TEST_F(Transport, NodeTableNamesTheDevices) {
    {
        std::ofstream table(dir_ / "dev/.nodes");
        table << "/dev/cam c 240 1\n/dev/broken x 1 2\n";
    }
    os::simdev::init(dir_.string(), socket_);
    EXPECT_TRUE(os::simdev::is_device_path("/dev/cam"));
    EXPECT_FALSE(os::simdev::is_device_path("/dev/broken"));
    EXPECT_FALSE(os::simdev::is_device_path("/dev/winbond0"));
    const int fd = os::simdev::open("/dev/cam", O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[4];
    // Minor 1 sleeps until woken: the read proves the node's minor was used.
    std::thread waker([&] {
        kernel_.wait_until([&] { return kernel_.sleepers_ == 1; });
        kernel_.wake_sleepers();
    });
    EXPECT_EQ(os::simdev::read(fd, buf, sizeof buf), 7);
    waker.join();
    os::simdev::close(fd);
}

TEST_F(Transport, ASocketDeepInATreeIsReachedThroughItsDirectory) {
    // Longer than a socket address can hold.
    const auto deep = dir_ / std::string(60, 'd') / std::string(60, 'e');
    std::filesystem::create_directories(deep);
    const std::string path = (deep / "dev.sock").string();
    ASSERT_GT(path.size(), 108u);
    TestKernel kernel;
    DeviceServer server(kernel, {});
    std::string error;
    ASSERT_TRUE(server.listen(path, error)) << error;
    server.set_powered(true);
    os::simdev::init(dir_.string(), path);
    const int fd = os::simdev::open("/dev/winbond0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(os::simdev::ioctl(fd, kAddOne, 1), 2);
    EXPECT_EQ(os::simdev::close(fd), 0);
    EXPECT_EQ(kernel.releases_, 1);
    server.stop();
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Raw messages on the socket, as a broken or hostile program could send them.
class RawConnection {
  public:
    explicit RawConnection(const std::string& path) {
        sock_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        connected_ = ::connect(sock_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawConnection() { ::close(sock_); }
    bool connected() const { return connected_; }
    // Sends the bytes, returns the reply's result (or 1 when no reply came).
    int64_t send(const void* bytes, size_t len) {
        if (::send(sock_, bytes, len, 0) != static_cast<ssize_t>(len)) return 1;
        os::simwire::ReplyBytes reply{};
        if (::recv(sock_, reply.data(), reply.size(), 0) != static_cast<ssize_t>(reply.size()))
            return 1;
        return os::simwire::decode(reply, last_) ? last_.result : 1;
    }
    const os::simwire::Reply& last() const { return last_; }
    int fd() const { return sock_; }
    int64_t send(const os::simwire::Request& req) {
        const auto bytes = os::simwire::encode(req);
        return send(bytes.data(), bytes.size());
    }

  private:
    int sock_ = -1;
    bool connected_ = false;
    os::simwire::Reply last_{};
};

TEST_F(Transport, MalformedRequestsAreRefusedWithEinval) {
    using os::simwire::Op;
    RawConnection raw(socket_);
    ASSERT_TRUE(raw.connected());
    const std::array<uint8_t, 10> short_msg{};
    EXPECT_EQ(raw.send(short_msg.data(), short_msg.size()), -EINVAL);
    std::array<uint8_t, 200> long_msg{};
    EXPECT_EQ(raw.send(long_msg.data(), long_msg.size()), -EINVAL);
    auto bad_magic = os::simwire::encode(os::simwire::Request{Op::kOpen, 240, 0, O_RDWR});
    bad_magic[0] ^= 0xFF;
    EXPECT_EQ(raw.send(bad_magic.data(), bad_magic.size()), -EINVAL);
    auto bad_op = os::simwire::encode(os::simwire::Request{Op::kOpen, 240, 0, O_RDWR});
    bad_op[4] = 77;
    EXPECT_EQ(raw.send(bad_op.data(), bad_op.size()), -EINVAL);
    auto reserved = os::simwire::encode(os::simwire::Request{Op::kOpen, 240, 0, O_RDWR});
    reserved[31] = 1;
    EXPECT_EQ(raw.send(reserved.data(), reserved.size()), -EINVAL);
    EXPECT_EQ(raw.send({Op::kRead, 0, 4, 0}), -EBADF);               // nothing open yet
    EXPECT_EQ(raw.send({Op::kOpen, 1u << 20, 0, O_RDWR}), -EINVAL);  // major out of range
    EXPECT_EQ(raw.send({Op::kOpen, 240, 0, O_RDWR}), 0);
    EXPECT_EQ(raw.send({Op::kOpen, 240, 0, O_RDWR}), -EINVAL);  // one file per connection
    EXPECT_EQ(raw.send({Op::kRead, 0, uint64_t{1} << 40, 0}), -EINVAL);
    EXPECT_EQ(raw.send({Op::kMmap, 0, 0, PROT_READ}), -EINVAL);
    EXPECT_EQ(raw.send({Op::kMmap, 0, 4096, 0x100}), -EINVAL);
    EXPECT_EQ(raw.send({Op::kSetOwner, uint64_t{1} << 40, 0, 0}), -EINVAL);
    // The connection and the board are still fine.
    EXPECT_EQ(raw.send({Op::kIoctl, kAddOne, 5, 0}), 6);
    // A sign-extended 32-bit command is cut to 32 bits as the kernel's ioctl entry does.
    EXPECT_EQ(raw.send({Op::kIoctl, 0xFFFFFFFF00000000ull | kAddOne, 5, 0}), 6);
    EXPECT_EQ(kernel_.opens_, 1);
}

// An empty message ends the connection as a hang-up does: the file is released, and the program
// hears at once that no reply will come instead of waiting for one (found by fuzz_devreq).
TEST_F(Transport, AnEmptyMessageEndsTheConnectionAtOnce) {
    using os::simwire::Op;
    RawConnection raw(socket_);
    ASSERT_TRUE(raw.connected());
    ASSERT_EQ(raw.send({Op::kOpen, 240, 0, O_RDWR}), 0);
    ASSERT_EQ(::send(raw.fd(), "", 0, 0), 0);
    pollfd end{raw.fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&end, 1, 10000), 1) << "the connection stays open without a reply";
    std::array<uint8_t, 32> reply{};
    EXPECT_EQ(::recv(raw.fd(), reply.data(), reply.size(), MSG_DONTWAIT), 0);
    EXPECT_TRUE(kernel_.wait_until([&] { return kernel_.releases_ == 1; }));
}

// A power-off while programs come and go: every connection's thread is joined once, by the
// power-off or by the acceptor's clean-up, never by both (found by fuzz_devreq: the board hung
// in a power-off joining a thread the acceptor had joined, whose handle a new thread had taken).
TEST_F(Transport, PowerOffWhileProgramsConnect) {
    std::atomic<bool> done{false};
    std::vector<std::thread> programs;
    for (int i = 0; i < 4; ++i) {
        programs.emplace_back([&] {
            while (!done) RawConnection raw(socket_);  // connects, and hangs up at once
        });
    }
    for (int i = 0; i < 5000; ++i) {
        server_.close_all();
        server_.set_powered(true);
    }
    done = true;
    for (std::thread& p : programs) p.join();
    RawConnection raw(socket_);
    EXPECT_EQ(raw.send({os::simwire::Op::kOpen, 240, 0, O_RDWR}), 0);
}

// A power-off (or a hang-up) while a close is releasing the file has nothing to interrupt: once
// released, the file is gone (found by fuzz_devreq: the board interrupted a file it had freed).
TEST_F(Transport, AFileReleasedByACloseIsNeverInterrupted) {
    using os::simwire::Op;
    RawConnection raw(socket_);
    ASSERT_TRUE(raw.connected());
    ASSERT_EQ(raw.send({Op::kOpen, 240, 0, O_RDWR}), 0);
    bool releasing = false;
    kernel_.on_release_ = [&] {
        {
            std::lock_guard lock(kernel_.mutex_);
            releasing = true;
        }
        kernel_.changed_.notify_all();
        // The power-off shuts the program's connection down, then interrupts what runs on it.
        pollfd end{raw.fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&end, 1, 10000), 1) << "no power-off while the file was released";
    };
    std::thread program([&] { raw.send({Op::kClose, 0, 0, 0}); });
    ASSERT_TRUE(kernel_.wait_until([&] { return releasing; }));
    server_.close_all();
    program.join();
    EXPECT_EQ(kernel_.releases_, 1);
    EXPECT_EQ(kernel_.interrupts_of_released_, 0);
}

// Another user's program: the socket is its owner's alone, and a program that reaches it all the
// same (the permissions opened up by hand) is hung up before any request of its runs.
TEST_F(Transport, AnotherUsersProgramIsRefused) {
    struct stat st {};
    ASSERT_EQ(::stat(socket_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    std::filesystem::permissions(
        dir_, std::filesystem::perms::owner_all | std::filesystem::perms::others_exec);
    const auto as_nobody = [&](const std::function<int()>& body) {
        const int status = in_child([&] {
            constexpr uid_t kNobody = 65534;
            if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
                ::setresuid(kNobody, kNobody, kNobody) != 0)
                return 3;
            return body();
        });
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    };
    EXPECT_EQ(as_nobody([&] {
                  RawConnection raw(socket_);
                  return !raw.connected() && errno == EACCES ? 0 : 1;
              }),
              0);
    ::chmod(socket_.c_str(), 0666);
    EXPECT_EQ(as_nobody([&] {
                  RawConnection raw(socket_);
                  if (!raw.connected()) return 2;
                  // No reply: the connection is hung up.
                  return raw.send({os::simwire::Op::kOpen, 240, 0, O_RDWR}) == 1 ? 0 : 1;
              }),
              0);
    EXPECT_EQ(kernel_.opens_, 0);
    // The board's own user is served as before.
    RawConnection own(socket_);
    EXPECT_EQ(own.send({os::simwire::Op::kOpen, 240, 0, O_RDWR}), 0);
}

TEST_F(Transport, ThreadsOfOneProgramShareADescriptor) {
    const int fd = os::simdev::open("/dev/winbond1", O_RDWR);
    ASSERT_GE(fd, 0);
    long got = 0;
    std::thread reader([&] {
        char buf[4];
        got = os::simdev::read(fd, buf, sizeof buf);
    });
    ASSERT_TRUE(kernel_.wait_until([&] { return kernel_.sleepers_ == 1; }));
    // Bounds the test if the ioctl below waited for the reader instead of running beside it.
    std::thread guard([&] {
        kernel_.wait_until([&] { return kernel_.wakeups_ > 0; });
        kernel_.wake_sleepers();
    });
    EXPECT_EQ(os::simdev::ioctl(fd, kAddOne, 1), 2);
    EXPECT_EQ(kernel_.wakeups_, 0);  // answered while the reader still slept
    EXPECT_EQ(os::simdev::fcntl(fd, F_SETOWN, 77), 0);
    kernel_.wake_sleepers();
    reader.join();
    guard.join();
    EXPECT_EQ(got, 7);
    EXPECT_EQ(os::simdev::close(fd), 0);
    EXPECT_EQ(kernel_.releases_, 1);  // once, when the descriptor closed
    EXPECT_EQ(kernel_.opens_, 1);
}

TEST_F(Transport, OnlyTheOpenerMayAttachToItsFile) {
    using os::simwire::Op;
    RawConnection opener(socket_);
    ASSERT_EQ(opener.send({Op::kOpen, 240, 0, O_RDWR}), 0);
    const uint64_t token = opener.last().x;
    ASSERT_NE(token, 0u);
    RawConnection wrong(socket_);
    EXPECT_EQ(wrong.send({Op::kAttach, token + 1, 0, 0}), -EBADF);
    const int status = in_child([&] {
        RawConnection stranger(socket_);
        return stranger.send({Op::kAttach, token, 0, 0}) == -EBADF ? 0 : 1;
    });
    EXPECT_EQ(WEXITSTATUS(status), 0);
    RawConnection joined(socket_);
    EXPECT_EQ(joined.send({Op::kAttach, token, 0, 0}), 0);
    EXPECT_EQ(joined.send({Op::kIoctl, kAddOne, 9, 0}), 10);
    EXPECT_EQ(opener.send({Op::kIoctl, kAddOne, 1, 0}), 2);
}

// ---- with the simulated kernel and a real module ---------------------------------------------

class KernelTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "dev");
        std::ofstream(dir_ / "dev/.nodes") << "/dev/testmod0 c 200 0\n";
        hw::reset_all();
        simk::boot();
        std::string error;
        ASSERT_EQ(simk::insmod(TESTMOD_PATH, {}, error), 0) << error;
        ASSERT_TRUE(server_.listen((dir_ / "dev.sock").string(), error)) << error;
        server_.set_powered(true);
        os::simdev::init(dir_.string(), (dir_ / "dev.sock").string());
    }
    void TearDown() override {
        server_.stop();
        // Refused while any file of the module is still open.
        EXPECT_EQ(simk::rmmod("testmod"), 0);
        simk::shutdown();
    }

    testsupport::TempDir tmp_{"ktransport"};
    const std::filesystem::path& dir_ = tmp_.path();
    hw::S3c2410 soc_;
    simboard::SimkKernel kernel_;
    simboard::DeviceServer server_{kernel_, {}};
};

TEST_F(KernelTransport, UserCopiesReachTheProgramsMemory) {
    const int status = in_child([] {
        const int fd = os::simdev::open("/dev/testmod0", O_RDWR);
        if (fd < 0) return 1;
        const char msg[] = "from the program";
        if (os::simdev::write(fd, msg, sizeof msg) != sizeof msg) return 2;
        auto* bad = reinterpret_cast<void*>(16);
        if (os::simdev::write(fd, bad, 8) != -1 || errno != EFAULT) return 3;
        std::array<char, TM_DATA_SIZE> back{};
        if (os::simdev::read(fd, back.data(), back.size()) != TM_DATA_SIZE) return 4;
        if (std::strcmp(back.data(), msg) != 0) return 5;  // the failed write changed nothing
        if (os::simdev::read(fd, bad, 8) != -1 || errno != EFAULT) return 6;
        int value = 1234;
        if (os::simdev::ioctl(fd, TM_PUT_INT, reinterpret_cast<unsigned long>(&value)) != 0)
            return 7;
        value = 0;
        if (os::simdev::ioctl(fd, TM_GET_INT, reinterpret_cast<unsigned long>(&value)) != 0)
            return 8;
        if (value != 1234) return 9;
        if (os::simdev::ioctl(fd, TM_GET_INT, 16) != -1 || errno != EFAULT) return 10;
        if (os::simdev::ioctl(fd, 0x7777, 0) != -1 || errno != ENOTTY) return 11;
        return os::simdev::close(fd) == 0 ? 0 : 12;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(KernelTransport, MmapGivesTheDriversPagesAndSigbusPastThem) {
    std::array<int, 2> report{};
    ASSERT_EQ(::pipe(report.data()), 0);
    const int status = in_child([&] {
        const int fd = os::simdev::open("/dev/testmod0", O_RDWR);
        const size_t length = (TM_AREA_PAGES + 1) * kAreaSize;
        void* p = os::simdev::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return 1;
        auto* bytes = static_cast<volatile unsigned char*>(p);
        bytes[3 * kAreaSize + 7] = 0xEE;  // seen by the driver
        const int peek = os::simdev::ioctl(fd, TM_AREA_PEEK, 3 * kAreaSize + 7);
        const unsigned char seen[3] = {bytes[0], bytes[(TM_AREA_PAGES - 1) * kAreaSize],
                                       static_cast<unsigned char>(peek)};
        if (::write(report[1], seen, sizeof seen) != sizeof seen) return 2;
        ::signal(SIGBUS, SIG_DFL);
        (void)bytes[TM_AREA_PAGES * kAreaSize];  // past the driver's area
        return 3;
    });
    std::array<unsigned char, 3> seen{};
    EXPECT_EQ(::read(report[0], seen.data(), seen.size()), 3);
    ::close(report[0]);
    ::close(report[1]);
    EXPECT_EQ(seen[0], 1);              // page 0 of the area
    EXPECT_EQ(seen[1], TM_AREA_PAGES);  // its last page
    EXPECT_EQ(seen[2], 0xEE);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGBUS);
}

TEST_F(KernelTransport, KillFasyncSignalsTheOwner) {
    const int status = in_child([] {
        ::signal(SIGIO, on_sigio);
        const int fd = os::simdev::open("/dev/testmod0", O_RDWR);
        if (os::simdev::ioctl(fd, TM_KILL_FASYNC, 0) != 0 || g_sigio != 0) return 1;  // no owner
        if (os::simdev::fcntl(fd, F_SETOWN, ::getpid()) != 0) return 2;
        const int flags = os::simdev::fcntl(fd, F_GETFL, 0);
        if (os::simdev::fcntl(fd, F_SETFL, flags | O_ASYNC) != 0) return 3;
        if (os::simdev::ioctl(fd, TM_KILL_FASYNC, 0) != 0) return 4;
        for (int i = 0; i < 1000 && g_sigio == 0; ++i) ::usleep(1000);
        if (g_sigio != 1) return 5;
        if (os::simdev::fcntl(fd, F_SETFL, flags) != 0) return 6;  // O_ASYNC off again
        if (os::simdev::ioctl(fd, TM_KILL_FASYNC, 0) != 0) return 7;
        ::usleep(20000);
        return g_sigio == 1 ? 0 : 8;
    });
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(KernelTransport, AProgramKilledInASleepIsReleased) {
    std::array<int, 2> ready{};
    ASSERT_EQ(::pipe(ready.data()), 0);
    const pid_t sleeper = ::fork();
    if (sleeper == 0) {
        const int fd = os::simdev::open("/dev/testmod0", O_RDWR);
        if (::write(ready[1], "r", 1) != 1) ::_exit(2);
        os::simdev::ioctl(fd, TM_WAIT_DATA, 0);  // sleeps until killed
        ::_exit(1);
    }
    char c;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_TRUE(eventually([&] { return server_.connections() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it reach its sleep
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
    // The file is released (TearDown's rmmod proves it) without anyone setting the data.
    EXPECT_TRUE(eventually([&] { return server_.connections() == 0; }));
    ::close(ready[0]);
    ::close(ready[1]);
}

}  // namespace
