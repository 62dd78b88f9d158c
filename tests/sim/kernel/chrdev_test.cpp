// File operations as the device server calls them: user copies and their faults, ioctl
// arguments, mmap offsets, poll, interrupted sleeps, C++ drivers. The cross-process paths (user
// copies, the mapping's SIGBUS, SIGIO) are in the board's transport tests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
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
    EXPECT_EQ(std::string(comm), std::string(program_invocation_short_name).substr(0, 15));
}

// ---- mmap --------------------------------------------------------------------------------------

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
    const pid_t toucher = ::fork();
    if (toucher == 0) {
        ::signal(SIGBUS, SIG_DFL);  // a sanitizer's own handler would turn it into an abort
        (void)*static_cast<volatile char*>(map);
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(toucher, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS) << status;
    ::munmap(map, kPage);
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
    const pid_t pid = ::getpid();
    std::thread sleeper([&] { result = simk::dev_ioctl(file, TM_SEMA, 0, task); });
    // interrupt_task() reaches requests already running: repeat until the sleeper got it.
    EXPECT_TRUE(simktest::eventually([&] {
        simk::interrupt_task(pid);
        return result.load() != 1;
    }));
    sleeper.join();
    EXPECT_EQ(result.load(), -EINTR);
}

// ---- The board's own drivers -------------------------------------------------------------------

// Reads and writes of the board's C++ drivers are tested with those drivers (peers/devices_test).
class MinorZeroDriver : public simk::CharDriver {
  public:
    int open(simk::DriverFile& f) override {
        opener = f.pid;
        return f.minor == 0 ? 0 : -ENODEV;
    }
    int release(simk::DriverFile&) override {
        ++releases;
        return 0;
    }
    pid_t opener = 0;
    int releases = 0;
};

TEST(CharDrivers, ACxxDriverIsServedLikeAModuleDriver) {
    simktest::Board board;
    MinorZeroDriver driver;
    ASSERT_EQ(simk::register_char_driver(201, "zero", &driver), 0);
    EXPECT_EQ(simk::register_char_driver(201, "again", &driver), -EBUSY);
    const simk::Task task{::getpid()};
    simk::OpenFile* f = nullptr;
    EXPECT_EQ(simk::dev_open(201, 1, O_RDWR, task, &f), -ENODEV);
    ASSERT_EQ(simk::dev_open(201, 0, O_RDWR, task, &f), 0);
    EXPECT_EQ(driver.opener, ::getpid());
    EXPECT_EQ(simk::dev_ioctl(f, 1, 0, task), -ENOTTY);
    EXPECT_EQ(simk::dev_release(f, task), 0);
    EXPECT_EQ(driver.releases, 1);
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
