// A powered-on simulated board for kernel tests: the S3C2410 models, the kernel booted, console
// lines captured, and (optionally) the test module loaded.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "hw.hpp"
#include "s3c2410.hpp"
#include "simk.hpp"

namespace simktest {

class Board {
  public:
    Board() {
        simk::set_console([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
        hw::reset_all();
        simk::boot();
    }
    ~Board() {
        simk::shutdown();
        simk::set_console(nullptr);
    }

    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    bool console_has(std::string_view text) {
        for (const auto& l : lines()) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }

    hw::S3c2410 soc;

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Waits (without a time limit that matters: 10 s) until `done` holds.
inline bool eventually(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

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
constexpr uint32_t kGpgdat = 0x56000064;
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
