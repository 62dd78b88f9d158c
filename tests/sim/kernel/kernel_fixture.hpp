// A powered-on simulated board for kernel tests: the S3C2410 models, the kernel booted, console
// lines captured, and (optionally) the test module loaded.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "eventually.hpp"
#include "hw.hpp"
#include "kernel_board.hpp"
#include "s3c2410.hpp"
#include "simk.hpp"

namespace simktest {

struct BoardModels {
    hw::S3c2410 soc;
};

// The S3C2410 models, then the kernel booted on them.
class Board : public BoardModels, public testsupport::BootedKernel {};

using testsupport::eventually;

inline uint32_t reg(uint32_t phys) {
    return hw::mmio_read(phys, 4);
}
inline void set_reg(uint32_t phys, uint32_t value) {
    hw::mmio_write(phys, value, 4);
}

constexpr uint32_t kSrcpnd = 0x4A000000;
constexpr uint32_t kIntmsk = 0x4A000008;
constexpr uint32_t kIntpnd = 0x4A000010;
constexpr uint32_t kGpfcon = 0x56000050;
constexpr uint32_t kGpgcon = 0x56000060;
constexpr uint32_t kExtint0 = 0x56000088;
constexpr uint32_t kExtint2 = 0x56000090;
constexpr uint32_t kEintmask = 0x560000A4;
constexpr uint32_t kEintpend = 0x560000A8;

// A board with the test module loaded and a file of it open, for the calling process.
class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_EQ(simk::insmod(TESTMOD_PATH, params(), error), 0) << error;
        ASSERT_EQ(simk::dev_open(200, 0, 02 /* O_RDWR */, task, &file), 0);
    }
    void TearDown() override {
        if (file != nullptr) simk::dev_release(file, task);
        EXPECT_EQ(simk::rmmod("testmod"), 0);
    }
    virtual std::vector<std::string> params() { return {}; }

    long ioctl(unsigned cmd, unsigned long arg = 0) {
        return simk::dev_ioctl(file, cmd, arg, task);
    }
    template <typename T>
    long ioctl(unsigned cmd, T* arg) {
        return simk::dev_ioctl(file, cmd, reinterpret_cast<unsigned long>(arg), task);
    }

    Board board;
    simk::Task task{::getpid()};
    simk::OpenFile* file = nullptr;
};

}  // namespace simktest
