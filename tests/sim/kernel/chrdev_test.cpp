// File operations as the device server calls them: user copies and their faults, ioctl
// arguments, mmap of a vmalloc area, SIGIO, poll, interrupted sleeps, C++ drivers.
#include <fcntl.h>
#include <poll.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "kernel_fixture.hpp"
#include "testmod.h"

namespace {

using simktest::ModuleTest;

const size_t kPage = static_cast<size_t>(::sysconf(_SC_PAGESIZE));

// Two pages: the first readable and writable, the second as `second_prot`.
struct TwoPages {
    explicit TwoPages(int second_prot) {
        base = static_cast<char*>(
            ::mmap(nullptr, 2 * kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        ::mprotect(base + kPage, kPage, second_prot);
    }
    ~TwoPages() { ::munmap(base, 2 * kPage); }
    char* base;
};

using FileOps = ModuleTest;

TEST_F(FileOps, ReadAndWriteCopyThroughTheCallersPointers) {
    const char msg[] = "frame data";
    EXPECT_EQ(simk::dev_write(file, reinterpret_cast<uintptr_t>(msg), sizeof msg, task),
              static_cast<long>(sizeof msg));
    char back[sizeof msg] = {};
    EXPECT_EQ(simk::dev_read(file, reinterpret_cast<uintptr_t>(back), sizeof back, task),
              static_cast<long>(sizeof back));
    EXPECT_STREQ(back, msg);
}

TEST_F(FileOps, ACopyFromAnUnreadableBufferFailsAndStoresNothing) {
    const char msg[] = "kept";
    ASSERT_EQ(simk::dev_write(file, reinterpret_cast<uintptr_t>(msg), sizeof msg, task), 5);
    TwoPages pages(PROT_NONE);
    // Starts in the good page and runs into the bad one.
    char* src = pages.base + kPage - 3;
    std::memcpy(src, "BAD", 3);
    EXPECT_EQ(simk::dev_write(file, reinterpret_cast<uintptr_t>(src), 16, task), -EFAULT);
    EXPECT_EQ(simk::dev_write(file, reinterpret_cast<uintptr_t>(pages.base + kPage), 4, task),
              -EFAULT);
    char back[5] = {};
    ASSERT_EQ(simk::dev_read(file, reinterpret_cast<uintptr_t>(back), 5, task), 5);
    EXPECT_STREQ(back, "kept");
}

TEST_F(FileOps, ACopyIntoAReadOnlyPageFails) {
    TwoPages pages(PROT_READ);
    EXPECT_EQ(simk::dev_read(file, reinterpret_cast<uintptr_t>(pages.base + kPage), 8, task),
              -EFAULT);
}

TEST_F(FileOps, AnAddressBeyondUserSpaceIsRefusedBeforeTheDriver) {
    EXPECT_EQ(simk::dev_read(file, 0x00007FFFFFFFF000UL - 4, 8, task), -EFAULT);
    EXPECT_EQ(simk::dev_write(file, ~0UL - 2, 8, task), -EFAULT);
}

TEST_F(FileOps, GetUserAndPutUserMoveOneValueOrReportEfault) {
    int in = 1234;
    EXPECT_EQ(ioctl(TM_PUT_INT, &in), 0);
    int out = 0;
    EXPECT_EQ(ioctl(TM_GET_INT, &out), 0);
    EXPECT_EQ(out, 1234);
    TwoPages pages(PROT_NONE);
    EXPECT_EQ(ioctl(TM_PUT_INT, pages.base + kPage), -EFAULT);
    EXPECT_EQ(ioctl(TM_GET_INT, &out), 0);
    EXPECT_EQ(out, 0) << "get_user yields 0 on a fault";
    EXPECT_EQ(ioctl(TM_GET_INT, pages.base + kPage - 2), -EFAULT);
}

TEST(UserCopies, StopExactlyAtTheFirstMissingPage) {
    simktest::Board board;
    TwoPages pages(PROT_NONE);
    char* dst = pages.base + kPage - 6;
    const char src[16] = "0123456789abcde";
    EXPECT_EQ(simk::copy_to_user(reinterpret_cast<uintptr_t>(dst), src, 16), 10u);
    EXPECT_EQ(std::memcmp(dst, src, 6), 0);
    char in[16];
    std::memset(in, 'x', sizeof in);
    EXPECT_EQ(simk::copy_from_user(in, reinterpret_cast<uintptr_t>(dst), 16), 10u);
    EXPECT_EQ(std::memcmp(in, src, 6), 0);
    EXPECT_EQ(in[6], 0) << "the part not copied is zeroed";
}

TEST_F(FileOps, OpenChecksTheDeviceAndTheAccessMode) {
    simk::OpenFile* f = nullptr;
    EXPECT_EQ(simk::dev_open(TM_MAJOR, 2, O_RDWR, task, &f), -ENODEV);
    EXPECT_EQ(simk::dev_open(TM_MAJOR + 1, 0, O_RDWR, task, &f), -ENXIO);
    ASSERT_EQ(simk::dev_open(TM_MAJOR, 1, O_RDONLY, task, &f), 0);
    char c = 0;
    EXPECT_EQ(simk::dev_write(f, reinterpret_cast<uintptr_t>(&c), 1, task), -EBADF);
    EXPECT_EQ(simk::dev_ioctl(f, 0x1234, 0, task), -ENOTTY);
    simk::dev_release(f, task);
}

TEST_F(FileOps, TheCurrentTaskIsTheCallingProgram) {
    char comm[16] = {};
    EXPECT_EQ(ioctl(TM_WHOAMI, comm), ::getpid());
    char self[64] = {};
    FILE* f = std::fopen("/proc/self/comm", "r");
    ASSERT_NE(f, nullptr);
    ASSERT_NE(std::fgets(self, sizeof self, f), nullptr);
    std::fclose(f);
    self[std::strcspn(self, "\n")] = '\0';
    EXPECT_EQ(std::string(comm), std::string(self).substr(0, 15));
}

TEST_F(FileOps, FionbioChangesTheNonBlockingFlag) {
    int on = 1;
    EXPECT_EQ(ioctl(FIONBIO, &on), 0);
    EXPECT_NE(simk::dev_get_flags(file) & O_NONBLOCK, 0);
    on = 0;
    EXPECT_EQ(ioctl(FIONBIO, &on), 0);
    EXPECT_EQ(simk::dev_get_flags(file) & O_NONBLOCK, 0);
}

// ---- mmap --------------------------------------------------------------------------------------

sigjmp_buf bus_error_jump;

void on_bus_error(int) {
    siglongjmp(bus_error_jump, 1);
}

// True when reading `p` raises SIGBUS.
bool faults(volatile const char* p) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_bus_error;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGBUS, &sa, &old);
    bool faulted = false;
    if (sigsetjmp(bus_error_jump, 1) == 0) {
        (void)*p;
    } else {
        faulted = true;
    }
    ::sigaction(SIGBUS, &old, nullptr);
    return faulted;
}

TEST_F(FileOps, MmapHandsOutTheVmallocPagesAndFaultsPastTheArea) {
    simk::MmapResult m;
    const size_t length = 8 * kPage;
    ASSERT_EQ(simk::dev_mmap(file, 0, length, PROT_READ | PROT_WRITE, &m, task), 0);
    EXPECT_EQ(m.valid_length, TM_AREA_PAGES * kPage);
    EXPECT_EQ(m.memfd_offset, 0);
    void* map =
        ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, m.memfd, m.memfd_offset);
    ASSERT_NE(map, MAP_FAILED);
    auto* bytes = static_cast<char*>(map);
    for (unsigned page = 0; page < TM_AREA_PAGES; ++page) EXPECT_EQ(bytes[page * kPage], page + 1);
    // Shared both ways.
    bytes[3 * kPage + 7] = 0x5A;
    EXPECT_EQ(ioctl(TM_AREA_PEEK, 3 * kPage + 7), 0x5A);
    EXPECT_FALSE(faults(bytes + TM_AREA_PAGES * kPage - 1));
    EXPECT_TRUE(faults(bytes + TM_AREA_PAGES * kPage));
    ::munmap(map, length);
}

TEST_F(FileOps, MmapAtAnOffsetStartsThereInTheArea) {
    simk::MmapResult m;
    ASSERT_EQ(simk::dev_mmap(file, 2, 4 * kPage, PROT_READ, &m, task), 0);
    EXPECT_EQ(m.memfd_offset, static_cast<off_t>(2 * kPage));
    EXPECT_EQ(m.valid_length, 3 * kPage);
}

TEST_F(FileOps, MmapWhollyPastTheAreaGivesAMappingThatFaults) {
    simk::MmapResult m;
    ASSERT_EQ(simk::dev_mmap(file, TM_AREA_PAGES, kPage, PROT_READ, &m, task), 0);
    EXPECT_EQ(m.valid_length, 0u);
    void* map = ::mmap(nullptr, kPage, PROT_READ, MAP_SHARED, m.memfd, m.memfd_offset);
    ASSERT_NE(map, MAP_FAILED);
    EXPECT_TRUE(faults(static_cast<char*>(map)));
    ::munmap(map, kPage);
}

// ---- SIGIO -------------------------------------------------------------------------------------

bool sigio_pending() {
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGIO) == 1;
}

void drain_sigio() {
    while (sigio_pending()) {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGIO);
        int sig = 0;
        sigwait(&set, &sig);
    }
}

// SIGIO is blocked before the board's threads start, so that it stays pending for the test to
// see (a SIGIO delivered to this process would end it).
class Sigio : public FileOps {
  protected:
    static void SetUpTestSuite() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGIO);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
    }
};

TEST_F(Sigio, KillFasyncSignalsTheOwnerOnlyWhileAsyncIsOn) {
    drain_sigio();

    simk::dev_set_owner(file, ::getpid());
    EXPECT_EQ(ioctl(TM_KILL_FASYNC), 0);
    EXPECT_FALSE(sigio_pending()) << "no SIGIO before O_ASYNC";

    ASSERT_EQ(simk::dev_set_flags(file, simk::dev_get_flags(file) | O_ASYNC, task), 0);
    EXPECT_NE(simk::dev_get_flags(file) & O_ASYNC, 0);
    EXPECT_EQ(ioctl(TM_KILL_FASYNC), 0);
    EXPECT_TRUE(sigio_pending());
    drain_sigio();

    ASSERT_EQ(simk::dev_set_flags(file, simk::dev_get_flags(file) & ~O_ASYNC, task), 0);
    EXPECT_EQ(ioctl(TM_KILL_FASYNC), 0);
    EXPECT_FALSE(sigio_pending());
}

// ---- Sleeping requests -------------------------------------------------------------------------

TEST_F(FileOps, PollSleepsUntilTheDriverWakesItsQueue) {
    EXPECT_EQ(simk::dev_poll(file, POLLIN, 0, task), 0);
    std::thread waker([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        simk::OpenFile* f = nullptr;
        ASSERT_EQ(simk::dev_open(TM_MAJOR, 0, O_RDWR, task, &f), 0);
        simk::dev_ioctl(f, TM_SET_DATA, 0, task);
        simk::dev_release(f, task);
    });
    EXPECT_EQ(simk::dev_poll(file, POLLIN, -1, task), POLLIN);
    waker.join();
}

TEST_F(FileOps, AnInterruptedRequestReturnsEintr) {
    std::atomic<long> result{1};
    std::thread sleeper([&] { result = simk::dev_ioctl(file, TM_WAIT_DATA, 0, task); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(result.load(), 1) << "the request sleeps";
    simk::dev_interrupt(file);
    sleeper.join();
    EXPECT_EQ(result.load(), -EINTR);
    // The program is gone: later sleeps of this file end at once too.
    EXPECT_EQ(ioctl(TM_WAIT_DATA), -EINTR);
}

TEST_F(FileOps, InterruptingATaskEndsItsInterruptibleSemaphoreWait) {
    std::atomic<long> result{1};
    const pid_t fake_pid = ::getpid();
    std::thread sleeper([&] { result = simk::dev_ioctl(file, TM_SEMA, 0, task); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(result.load(), 1);
    simk::interrupt_task(fake_pid);
    sleeper.join();
    EXPECT_EQ(result.load(), -EINTR);
}

// ---- The board's own drivers -------------------------------------------------------------------

class EchoDriver : public simk::CharDriver {
  public:
    int open(simk::DriverFile& f) override {
        if (f.minor != 0) return -ENODEV;
        f.private_data = &stored;
        return 0;
    }
    long write(simk::DriverFile& f, uintptr_t buf, size_t count) override {
        auto* s = static_cast<std::string*>(f.private_data);
        s->resize(count);
        if (simk::copy_from_user(s->data(), buf, count) != 0) return -EFAULT;
        last_pid = f.pid;
        return static_cast<long>(count);
    }
    long read(simk::DriverFile& f, uintptr_t buf, size_t count) override {
        const auto* s = static_cast<std::string*>(f.private_data);
        const size_t n = std::min(count, s->size());
        if (simk::copy_to_user(buf, s->data(), n) != 0) return -EFAULT;
        return static_cast<long>(n);
    }
    int release(simk::DriverFile&) override {
        ++releases;
        return 0;
    }
    std::string stored;
    pid_t last_pid = 0;
    int releases = 0;
};

TEST(CharDrivers, ACxxDriverIsServedLikeAModuleDriver) {
    simktest::Board board;
    EchoDriver echo;
    ASSERT_EQ(simk::register_char_driver(201, "echo", &echo), 0);
    EXPECT_EQ(simk::register_char_driver(201, "again", &echo), -EBUSY);
    const simk::Task task{::getpid()};
    simk::OpenFile* f = nullptr;
    EXPECT_EQ(simk::dev_open(201, 1, O_RDWR, task, &f), -ENODEV);
    ASSERT_EQ(simk::dev_open(201, 0, O_RDWR, task, &f), 0);
    const char msg[] = "hello";
    EXPECT_EQ(simk::dev_write(f, reinterpret_cast<uintptr_t>(msg), 5, task), 5);
    EXPECT_EQ(echo.last_pid, ::getpid());
    char back[8] = {};
    EXPECT_EQ(simk::dev_read(f, reinterpret_cast<uintptr_t>(back), sizeof back, task), 5);
    EXPECT_STREQ(back, "hello");
    EXPECT_EQ(simk::dev_ioctl(f, 1, 0, task), -ENOTTY);
    EXPECT_EQ(simk::dev_release(f, task), 0);
    EXPECT_EQ(echo.releases, 1);
    simk::unregister_char_driver(201);
    EXPECT_EQ(simk::dev_open(201, 0, O_RDWR, task, &f), -ENXIO);
}

TEST(CharDrivers, SleepInterruptibleEndsEarlyWhenTheCallerGoes) {
    simktest::Board board;
    class Slow : public simk::CharDriver {
      public:
        long read(simk::DriverFile&, uintptr_t, size_t) override {
            return simk::sleep_interruptible(std::chrono::seconds(30)) ? 0 : -EINTR;
        }
    } slow;
    ASSERT_EQ(simk::register_char_driver(202, "slow", &slow), 0);
    const simk::Task task{::getpid()};
    simk::OpenFile* f = nullptr;
    ASSERT_EQ(simk::dev_open(202, 0, O_RDONLY, task, &f), 0);
    std::atomic<long> result{1};
    std::thread reader([&] { result = simk::dev_read(f, 0x1000, 1, task); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    simk::dev_interrupt(f);
    reader.join();
    EXPECT_EQ(result.load(), -EINTR);
    simk::dev_release(f, task);
    simk::unregister_char_driver(202);
}

}  // namespace
