// The device transport with the simulated kernel behind it and a real module loaded (the kernel
// tests' module): a program in another process reaches the driver's file operations through its
// os seam, and everything it opened is released however it ends (rmmod refuses a module with a
// file still open).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "devserver.hpp"
#include "eventually.hpp"
#include "hw.hpp"
#include "s3c2410.hpp"
#include "sim_board.hpp"
#include "sim_dev.h"
#include "simk.hpp"
#include "simk_kernel.hpp"
#include "testmod.h"

namespace {

using testsupport::in_child;

using testsupport::eventually;

constexpr size_t kPage = 4096;

class KernelTransport : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(dir_ / "dev");
        std::ofstream(dir_ / "dev/.nodes") << "/dev/testmod0 c 200 0\n/dev/testmod1 c 200 1\n";
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
        const size_t length = (TM_AREA_PAGES + 1) * kPage;
        void* p = os::simdev::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (p == MAP_FAILED) return 1;
        auto* bytes = static_cast<volatile unsigned char*>(p);
        bytes[3 * kPage + 7] = 0xEE;  // seen by the driver
        const int peek = os::simdev::ioctl(fd, TM_AREA_PEEK, 3 * kPage + 7);
        const unsigned char seen[3] = {bytes[0], bytes[(TM_AREA_PAGES - 1) * kPage],
                                       static_cast<unsigned char>(peek)};
        if (::write(report[1], seen, sizeof seen) != sizeof seen) return 2;
        ::signal(SIGBUS, SIG_DFL);
        (void)bytes[TM_AREA_PAGES * kPage];  // past the driver's area
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

volatile sig_atomic_t g_sigio = 0;
void on_sigio(int) {
    g_sigio = g_sigio + 1;
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

TEST_F(KernelTransport, ASleeperIsWokenByAnotherProgram) {
    const pid_t sleeper = ::fork();
    if (sleeper == 0) {
        const int fd = os::simdev::open("/dev/testmod0", O_RDWR);
        ::_exit(os::simdev::ioctl(fd, TM_WAIT_DATA, 0) == 0 ? 0 : 1);
    }
    const int status = in_child([] {
        const int fd = os::simdev::open("/dev/testmod1", O_RDWR);
        return fd >= 0 && os::simdev::ioctl(fd, TM_SET_DATA, 0) == 0 ? 0 : 1;
    });
    EXPECT_EQ(WEXITSTATUS(status), 0);
    int sleeper_status = 0;
    ::waitpid(sleeper, &sleeper_status, 0);
    EXPECT_EQ(WEXITSTATUS(sleeper_status), 0);
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
