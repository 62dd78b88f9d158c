// The simulated processor: kernel timers, interrupt delivery from the models through the
// interrupt controller, trigger modes, masks, and the exclusion of handlers, timers and
// interrupts-off sections.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "kernel_fixture.hpp"
#include "testmod.h"

namespace {

using simktest::eventually;
using simktest::reg;

constexpr unsigned kIrqEint0 = 16;
constexpr unsigned kIrqEint16 = 60;
constexpr unsigned kIrqtRising = 1;
constexpr unsigned kIrqtFalling = 2;
constexpr unsigned kIrqtLow = 8;
constexpr unsigned kButton = hw::gpio_pin('G', 8);  // EINT16
constexpr unsigned kEint0Pin = hw::gpio_pin('F', 0);

class Processor : public simktest::ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(simk::dev_open(TM_MAJOR, 1, 2 /* O_RDWR */, task, &state_file), 0);
    }
    void TearDown() override {
        simk::dev_release(state_file, task);
        ModuleTest::TearDown();
    }
    // Read from minor 1: ioctl would wait for the big kernel lock that a running ioctl holds.
    tm_state state() {
        tm_state s{};
        EXPECT_EQ(simk::dev_read(state_file, reinterpret_cast<uintptr_t>(&s), sizeof s, task),
                  static_cast<long>(sizeof s));
        return s;
    }
    // Ends a busy section of the module (interrupts off, or a timer function).
    void end_busy() {
        const char c = 1;
        simk::dev_write(state_file, reinterpret_cast<uintptr_t>(&c), 1, task);
    }
    simk::OpenFile* state_file = nullptr;
    int irq_count() { return state().irq_count; }
    // The button line idles high (pulled up) and is pressed low.
    void press() { board.soc.gpio.drive(kButton, false); }
    void let_go() { board.soc.gpio.drive(kButton, true); }
    void request_button(unsigned type) {
        let_go();
        ASSERT_EQ(ioctl(TM_REQUEST_IRQ, kIrqEint16), 0);
        ASSERT_EQ(ioctl(TM_SET_TYPE, kIrqEint16 << 8 | type), 0);
    }
    // Stops the system tick (timer 4) and waits until its last interrupt is taken: from then on
    // the processor's interrupt line is the test's alone.
    void stop_tick() {
        simktest::set_reg(kTcon, reg(kTcon) & ~(1u << 20));
        ASSERT_TRUE(eventually([] { return reg(simktest::kIntpnd) == 0; }));
    }
    static constexpr uint32_t kTcon = 0x51000008;
};

TEST_F(Processor, ATimerRunsInInterruptContextNotBeforeItsExpiry) {
    ASSERT_EQ(ioctl(TM_ARM_TIMER, 4), 0);
    tm_timer t{};
    ASSERT_EQ(ioctl(TM_WAIT_TIMER, &t), 0);
    EXPECT_EQ(t.fired, 1);
    EXPECT_GT(t.remaining, 0) << "woken by the timer, not by the wait's own time-out";
    EXPECT_EQ(t.expires, t.armed_at + 4);
    EXPECT_TRUE(static_cast<long>(t.fired_at - t.expires) >= 0);
    EXPECT_EQ(t.in_interrupt, 1);
}

TEST_F(Processor, JiffiesCountAt200HzAndMsleepSleepsAtLeastItsTime) {
    const unsigned long before = simk::jiffies();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ioctl(TM_MSLEEP, 50), 0);
    const auto slept = std::chrono::steady_clock::now() - start;
    EXPECT_GE(slept, std::chrono::milliseconds(50));
    EXPECT_GE(simk::jiffies() - before, 10u) << "50 ms is 10 ticks at HZ 200";
}

TEST_F(Processor, ASleepOnAWaitQueueTimesOutWithNothingLeft) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ioctl(TM_SLEEP_IRQ, 4), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
}

TEST_F(Processor, AnInterruptRaisedByAModelWakesASleeper) {
    request_button(kIrqtFalling);
    std::atomic<long> left{-1};
    std::thread sleeper([&] { left = ioctl(TM_SLEEP_IRQ, 2000); });
    // interruptible_sleep_on has no condition: a wake-up before the sleep is lost, so keep
    // pressing until the sleeper is woken.
    EXPECT_TRUE(eventually([&] {
        press();
        let_go();
        return left.load() != -1;
    }));
    sleeper.join();
    EXPECT_GT(left.load(), 0);
    const tm_state s = state();
    EXPECT_EQ(s.last_irq, static_cast<int>(kIrqEint16));
    EXPECT_EQ(s.irq_in_interrupt, 1);
}

// The kernel takes timer 4's interrupt from boot on, and a stopped timer 4 interrupts no more.
TEST_F(Processor, TheSystemTickInterruptsTheKernel) {
    EXPECT_EQ(reg(simktest::kIntmsk) & (1u << 14), 0u) << "unmasked at boot";
    const uint64_t before = simk::tick_interrupts();
    ASSERT_TRUE(eventually([&] { return simk::tick_interrupts() >= before + 3; }));
    simktest::set_reg(kTcon, reg(kTcon) & ~(1u << 20));  // timer 4 stopped
    const uint64_t stopped = simk::tick_interrupts();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LE(simk::tick_interrupts(), stopped + 1) << "at most one taken as it stopped";
}

TEST_F(Processor, RequestIrqUnmasksAndFreeIrqMasks) {
    const uint32_t eint16 = 1u << 16;
    const uint32_t eint8t23 = 1u << 5;
    EXPECT_NE(reg(simktest::kEintmask) & eint16, 0u);
    request_button(kIrqtFalling);
    EXPECT_EQ(reg(simktest::kEintmask) & eint16, 0u);
    EXPECT_EQ(reg(simktest::kIntmsk) & eint8t23, 0u);
    EXPECT_EQ(ioctl(TM_REQUEST_IRQ, kIrqEint16), -EBUSY) << "not shared";
    EXPECT_EQ(ioctl(TM_FREE_IRQ, kIrqEint16), 0);
    EXPECT_NE(reg(simktest::kEintmask) & eint16, 0u);
    EXPECT_EQ(ioctl(TM_REQUEST_IRQ, 20), -EINVAL) << "EINT4t7 is demultiplexed, not requested";
}

TEST_F(Processor, SetIrqTypeProgramsTheTriggerAndThePinFunction) {
    ASSERT_EQ(ioctl(TM_SET_TYPE, kIrqEint16 << 8 | kIrqtFalling), 0);
    EXPECT_EQ(reg(simktest::kExtint2) & 7u, 2u);
    EXPECT_EQ((reg(simktest::kGpgcon) >> 16) & 3u, 2u) << "GPG8 is EINT16";
    ASSERT_EQ(ioctl(TM_SET_TYPE, kIrqEint0 << 8 | kIrqtRising), 0);
    EXPECT_EQ(reg(simktest::kExtint0) & 7u, 4u);
    EXPECT_EQ(reg(simktest::kGpfcon) & 3u, 2u) << "GPF0 is EINT0";
    EXPECT_EQ(ioctl(TM_SET_TYPE, 30u << 8 | kIrqtFalling), -ENXIO) << "not an external interrupt";
}

TEST_F(Processor, OnlyAnEdgeOfTheChosenKindInterrupts) {
    stop_tick();
    request_button(kIrqtFalling);
    press();
    ASSERT_TRUE(eventually([&] { return irq_count() == 1; }));
    let_go();  // a rising edge
    EXPECT_EQ(reg(simktest::kEintpend) & (1u << 16), 0u);
    EXPECT_FALSE(hw::cpu_irq_level());
    press();
    EXPECT_TRUE(eventually([&] { return irq_count() == 2; }));
}

TEST_F(Processor, AMaskedInterruptStaysPendingUntilUnmasked) {
    stop_tick();
    board.soc.gpio.drive(kEint0Pin, true);
    ASSERT_EQ(ioctl(TM_REQUEST_IRQ, kIrqEint0), 0);
    ASSERT_EQ(ioctl(TM_SET_TYPE, kIrqEint0 << 8 | kIrqtFalling), 0);
    // A driver writing INTMSK masks for real.
    simktest::set_reg(simktest::kIntmsk, reg(simktest::kIntmsk) | 1u);
    board.soc.gpio.drive(kEint0Pin, false);
    EXPECT_NE(reg(simktest::kSrcpnd) & 1u, 0u);
    EXPECT_EQ(reg(simktest::kIntpnd), 0u);
    EXPECT_FALSE(hw::cpu_irq_level());
    EXPECT_EQ(irq_count(), 0);
    simktest::set_reg(simktest::kIntmsk, reg(simktest::kIntmsk) & ~1u);
    EXPECT_TRUE(eventually([&] { return irq_count() == 1; }));
    EXPECT_EQ(reg(simktest::kSrcpnd) & 1u, 0u) << "acknowledged by the kernel";
    EXPECT_EQ(ioctl(TM_FREE_IRQ, kIrqEint0), 0);
}

TEST_F(Processor, ALowLevelTriggerInterruptsForAsLongAsTheLevelLasts) {
    request_button(kIrqtLow);
    press();
    EXPECT_TRUE(eventually([&] { return irq_count() >= 3; }));
    let_go();
    EXPECT_TRUE(eventually([&] { return (reg(simktest::kEintpend) & (1u << 16)) == 0; }));
    ASSERT_EQ(ioctl(TM_FREE_IRQ, kIrqEint16), 0);
}

TEST_F(Processor, InterruptsWaitForAnInterruptsOffSection) {
    request_button(kIrqtFalling);
    std::thread section([&] { EXPECT_EQ(ioctl(TM_CRITICAL, 10000000), 0); });
    ASSERT_TRUE(eventually([&] { return state().in_critical == 1; }));
    press();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(irq_count(), 0) << "held off while interrupts are off";
    end_busy();
    section.join();
    EXPECT_TRUE(eventually([&] { return irq_count() == 1; }));
    EXPECT_EQ(state().overlap, 0);
}

TEST_F(Processor, ATimerDueDuringAnInterruptsOffSectionRunsAfterIt) {
    ASSERT_EQ(ioctl(TM_ARM_TIMER, 1), 0);
    ASSERT_EQ(ioctl(TM_CRITICAL, 60000), 0);
    tm_timer t{};
    ASSERT_EQ(ioctl(TM_WAIT_TIMER, &t), 0);
    EXPECT_EQ(t.fired, 1);
    EXPECT_EQ(state().overlap, 0) << "the timer never saw the section running";
}

TEST_F(Processor, ARequestThatLeavesInterruptsOffDoesNotStopTheBoard) {
    EXPECT_EQ(ioctl(TM_IRQS_OFF_RETURN), 0);
    EXPECT_TRUE(board.console_has("returned with interrupts off"));
    ASSERT_EQ(ioctl(TM_ARM_TIMER, 1), 0);
    tm_timer t{};
    ASSERT_EQ(ioctl(TM_WAIT_TIMER, &t), 0);
    EXPECT_EQ(t.fired, 1);
}

TEST_F(Processor, AnInterruptWaitsForARunningTimerFunction) {
    request_button(kIrqtFalling);
    ASSERT_EQ(ioctl(TM_TIMER_BUSY, 10000000), 0);
    ASSERT_EQ(ioctl(TM_ARM_TIMER, 1), 0);
    ASSERT_TRUE(eventually([&] { return state().in_timer == 1; }));
    press();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(irq_count(), 0) << "held off while the timer function runs";
    end_busy();
    ASSERT_TRUE(eventually([&] { return irq_count() == 1; }));
    const tm_state s = state();
    EXPECT_EQ(s.overlap, 0);
    EXPECT_GT(s.seq_irq, s.seq_timer_end) << "the handler ran after the timer function ended";
}

}  // namespace
