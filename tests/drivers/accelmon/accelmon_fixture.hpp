// A powered-on board with accelmon loaded in this process: the S3C2410 models, the sensor board
// (SPI0, ADC, accelerometer, knob, input lines, motion), the simulated kernel, console capture,
// and helpers that wait for the driver's sampling tick without depending on how fast it runs.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "accelmon.h"
#include "eventually.hpp"
#include "hw.hpp"
#include "kernel_board.hpp"
#include "s3c2410.hpp"
#include "sensor_board.hpp"
#include "simk.hpp"

extern "C" {
unsigned long __simk_local_irq_save(void);
void __simk_local_irq_restore(unsigned long flags);
}

namespace accelmontest {

using Record = std::array<int16_t, 4>;

constexpr unsigned kMajor = ACCELMON_MAJOR;
constexpr int kORdwr = 02;
constexpr int kOAsync = 020000;

constexpr uint32_t kSrcpnd = 0x4A000000;
constexpr uint32_t kIntmsk = 0x4A000008;
constexpr uint32_t kClkcon = 0x4C00000C;
constexpr uint32_t kExtint0 = 0x56000088;
constexpr uint32_t kExtint1 = 0x5600008C;
constexpr uint32_t kExtint2 = 0x56000090;
constexpr uint32_t kEintmask = 0x560000A4;
constexpr uint32_t kEintpend = 0x560000A8;
constexpr uint32_t kClkconSpi = 1u << 18;

constexpr unsigned kButtonPin = hw::InputLines::kButtonPin;
constexpr unsigned kAlarmPin = hw::InputLines::kAlarmPin;
constexpr unsigned kPowerPin = hw::InputLines::kPowerDetectPin;

inline uint32_t reg(uint32_t phys) {
    return hw::mmio_read(phys, 4);
}
inline void set_reg(uint32_t phys, uint32_t value) {
    hw::mmio_write(phys, value, 4);
}

// Waits until `done` holds; false after 10 s (a test's verdict never rests on the limit).
inline bool eventually(const std::function<bool()>& done) {
    return testsupport::eventually(done, std::chrono::seconds(10), std::chrono::microseconds(200));
}

// Holds the simulated processor ("interrupts off"): no tick, timer or interrupt handler runs
// until the end of the scope, and none is half-way through at its start.
class ProcessorHeld {
  public:
    ProcessorHeld() : flags_(__simk_local_irq_save()) {}
    ~ProcessorHeld() { __simk_local_irq_restore(flags_); }
    ProcessorHeld(const ProcessorHeld&) = delete;
    ProcessorHeld& operator=(const ProcessorHeld&) = delete;

  private:
    unsigned long flags_;
};

// Waits for whatever the processor is running to finish.
inline void sync_processor() {
    ProcessorHeld held;
}

// One record read right after the tick that wrote it, with that tick's number (the ADC
// conversions the ticks started: one per tick while sampling).
struct Sample {
    Record record{};
    uint64_t tick = 0;
    bool is_marker() const { return record[0] == XYZ_MARKER && record[1] == XYZ_MARKER; }
};

struct BoardModels {
    hw::S3c2410 soc;
    hw::SensorBoard sensors{soc};
};

// The models, then the kernel booted on them.
class Board : public BoardModels, public testsupport::BootedKernel {};

// A chip on SPI0 that answers from a script and keeps every transfer, to check the driver's
// byte sequences. It answers `during_command` while the command byte goes out.
class ScriptedChip : public hw::SpiSlave {
  public:
    struct Transfer {
        std::vector<uint8_t> bytes;
        unsigned prescaler = 0;
    };

    explicit ScriptedChip(hw::S3c2410Spi& spi) : spi_(spi) {}

    // Successive reads of `reg` give `values` in turn, the last one from then on.
    void answer(uint8_t reg, std::vector<uint8_t> values) {
        hw::MachineGuard guard(hw::machine_lock());
        answers_[reg & 0x3F] = Answers{std::move(values), 0};
    }
    void set_during_command(uint8_t value) {
        hw::MachineGuard guard(hw::machine_lock());
        during_command_ = value;
    }
    std::vector<Transfer> transfers() const {
        hw::MachineGuard guard(hw::machine_lock());
        return transfers_;
    }
    void clear() {
        hw::MachineGuard guard(hw::machine_lock());
        transfers_.clear();
    }

    void select() override {
        current_ = Transfer{{}, spi_.registers().sppre};
        selected_ = true;
    }
    void deselect() override {
        if (selected_) transfers_.push_back(current_);
        selected_ = false;
    }
    uint8_t exchange(uint8_t mosi) override {
        current_.bytes.push_back(mosi);
        if (current_.bytes.size() == 1) return during_command_;
        const uint8_t command = current_.bytes[0];
        if (!(command & 0x80)) return 0xFF;
        Answers& a = answers_[command & 0x3F];
        if (a.values.empty()) return 0x00;
        const uint8_t value = a.values[std::min(a.next, a.values.size() - 1)];
        ++a.next;
        return value;
    }
    std::string_view spi_name() const override { return "scripted chip"; }

  private:
    struct Answers {
        std::vector<uint8_t> values;
        size_t next = 0;
    };
    hw::S3c2410Spi& spi_;
    std::array<Answers, 64> answers_{};
    uint8_t during_command_ = 0xFF;
    Transfer current_;
    bool selected_ = false;
    std::vector<Transfer> transfers_;
};

// accelmon loaded for the test, and the calling process as the user of its device.
class AccelmonTest : public ::testing::Test {
  protected:
    // SIGIO stays blocked in this process, so that the driver's signals wait to be collected.
    static void SetUpTestSuite() {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGIO);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
    }

    void SetUp() override {
        board.sensors.set_mount(hw::Mount::kStraight);
        std::string error;
        ASSERT_EQ(simk::insmod(ACCELMON_PATH, params(), error), 0) << error;
        loaded_ = true;
    }
    void TearDown() override {
        for (simk::OpenFile* f : files_) simk::dev_release(f, task);
        files_.clear();
        if (loaded_) {
            EXPECT_EQ(simk::rmmod("accelmon"), 0);
        }
    }
    // Load parameters: a sample every 10 ticks (50 ms) keeps the tests short.
    virtual std::vector<std::string> params() { return {"frame=20"}; }

    int open_device(simk::OpenFile** out) {
        const int rc = simk::dev_open(kMajor, 0, kORdwr, task, out);
        if (rc == 0) files_.push_back(*out);
        return rc;
    }
    // Opens the device for the test (the file stays open until closed or the test ends).
    void open() { ASSERT_EQ(open_device(&file), 0); }
    void close(simk::OpenFile*& f) {
        std::erase(files_, f);
        EXPECT_EQ(simk::dev_release(f, task), 0);
        f = nullptr;
    }
    void close() { close(file); }

    long ioctl(unsigned cmd, unsigned long arg = 0) {
        return simk::dev_ioctl(file, cmd, arg, task);
    }
    long ioctl(unsigned cmd, int* arg) {
        return simk::dev_ioctl(file, cmd, reinterpret_cast<unsigned long>(arg), task);
    }
    void start() { ASSERT_EQ(ioctl(GSENSOR_IOC_START), 0); }
    void stop() { ASSERT_EQ(ioctl(GSENSOR_IOC_STOP), 0); }
    int volume() {
        int level = -1;
        EXPECT_EQ(ioctl(0x80044B02, &level), 0);
        return level;
    }

    Record read_record() {
        Record r{};
        EXPECT_EQ(simk::dev_read(file, reinterpret_cast<uintptr_t>(r.data()), sizeof r, task), 0);
        return r;
    }
    uint64_t ticks() { return board.sensors.adc.conversions(); }
    // The record of the next tick after the call.
    Sample next_sample() {
        const uint64_t seen = ticks();
        EXPECT_TRUE(eventually([&] { return ticks() > seen; })) << "no sampling tick";
        ProcessorHeld held;
        return Sample{read_record(), ticks()};
    }
    // `n` records of successive ticks; `gapless` false when the test missed a tick between.
    std::vector<Sample> next_samples(size_t n, bool* gapless = nullptr) {
        std::vector<Sample> out;
        bool ok = true;
        for (size_t i = 0; i < n; ++i) {
            out.push_back(next_sample());
            if (i > 0 && out[i].tick != out[i - 1].tick + 1) ok = false;
        }
        if (gapless != nullptr) *gapless = ok;
        return out;
    }

    // Waits until the processor has taken the interrupt of an input line's falling edge.
    void wait_taken(unsigned pin) {
        const int eint = hw::S3c2410Gpio::eint_of(pin);
        ASSERT_GE(eint, 0);
        const uint32_t phys = eint < 4 ? kSrcpnd : kEintpend;
        const uint32_t bit = 1u << eint;
        ASSERT_TRUE(eventually([&] { return (reg(phys) & bit) == 0; }))
            << "interrupt of EINT" << eint << " not taken";
        sync_processor();
    }

    // The power-detect line pulled low from outside (the supply failing) and back.
    void power_low() { board.soc.gpio.drive(kPowerPin, false); }
    void power_high() { board.soc.gpio.release(kPowerPin); }

    // Drains the SIGIOs already sent; true if there was one.
    static bool take_sigio() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGIO);
        const timespec zero{0, 0};
        bool any = false;
        while (sigtimedwait(&set, nullptr, &zero) == SIGIO) any = true;
        return any;
    }

    Board board;
    simk::Task task{::getpid()};
    simk::OpenFile* file = nullptr;

  private:
    bool loaded_ = false;
    std::vector<simk::OpenFile*> files_;
};

}  // namespace accelmontest
