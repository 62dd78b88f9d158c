// The S3C2410 base models at register level: GPIO levels and watchers, external interrupt
// triggers, the interrupt controller's arbitration, clocks, timers, UARTs, unmapped addresses,
// reset, the hardware clock. Level triggers are checked through the kernel (irq_timer_test).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "hw.hpp"
#include "s3c2410.hpp"

namespace {

using hw::gpio_pin;

uint32_t rd(uint32_t phys) {
    return hw::mmio_read(phys, 4);
}
void wr(uint32_t phys, uint32_t v) {
    hw::mmio_write(phys, v, 4);
}

constexpr uint32_t kSrcpnd = 0x4A000000, kIntmod = 0x4A000004, kIntmsk = 0x4A000008;
constexpr uint32_t kIntpnd = 0x4A000010, kIntoffset = 0x4A000014;
constexpr uint32_t kSubsrcpnd = 0x4A000018, kIntsubmsk = 0x4A00001C;
constexpr uint32_t kGpfcon = 0x56000050, kGpfdat = 0x56000054, kGpfup = 0x56000058;
constexpr uint32_t kGpgcon = 0x56000060, kGpgdat = 0x56000064;
constexpr uint32_t kExtint0 = 0x56000088, kExtint1 = 0x5600008C;
constexpr uint32_t kEintmask = 0x560000A4, kEintpend = 0x560000A8;

constexpr uint32_t kTcon = 0x51000008, kTcntb4 = 0x5100003C, kTcnto4 = 0x51000040;
constexpr uint32_t kTimer4Start = 1u << 20, kTimer4Update = 1u << 21, kTimer4Reload = 1u << 22;
constexpr uint32_t kTimer4Irq = 1u << 14;

// The models as at power-on, with timer 4 (the system tick, running from reset) stopped so that
// its interrupt does not come into the checks of the interrupt controller.
class S3c2410Models : public ::testing::Test {
  protected:
    S3c2410Models() {
        hw::set_log_sink([this](std::string_view line) { log.emplace_back(line); });
        hw::reset_all();
        wr(kTcon, 0);
        wr(kSrcpnd, kTimer4Irq);
    }
    ~S3c2410Models() override { hw::set_log_sink(nullptr); }

    bool logged(std::string_view text) const {
        for (const auto& l : log) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }

    hw::S3c2410 soc;
    std::vector<std::string> log;
};

TEST_F(S3c2410Models, OutputsReadBackTheirLatchInputsTheirLevel) {
    wr(kGpfcon, 0x5 << 4);  // GPF2, GPF3 outputs; the rest inputs
    wr(kGpfdat, 0x04);
    EXPECT_TRUE(soc.gpio.level(gpio_pin('F', 2)));
    EXPECT_FALSE(soc.gpio.level(gpio_pin('F', 3)));
    soc.gpio.drive(gpio_pin('F', 5), false);
    const uint32_t dat = rd(kGpfdat);
    EXPECT_EQ(dat & 0x0C, 0x04u);
    EXPECT_EQ(dat & 0x20, 0u) << "GPF5 driven low";
    EXPECT_NE(dat & 0x40, 0u) << "GPF6 floats high on its pull-up";
    wr(kGpfup, 0x40);  // GPF6 pull-up off
    EXPECT_EQ(rd(kGpfdat) & 0x40, 0u);
    // An output wins over what drives the pin from outside.
    soc.gpio.drive(gpio_pin('F', 2), false);
    EXPECT_TRUE(soc.gpio.level(gpio_pin('F', 2)));
    soc.gpio.release(gpio_pin('F', 5));
    EXPECT_NE(rd(kGpfdat) & 0x20, 0u);
}

TEST_F(S3c2410Models, WatchersSeeEveryChangeOfAPin) {
    std::vector<bool> seen;
    const unsigned cs = gpio_pin('G', 2);
    const int id = soc.gpio.watch(cs, [&](bool level) { seen.push_back(level); });
    wr(kGpgdat, 0);
    wr(kGpgcon, 1u << 4);  // output, latch low: the pin falls from its pull-up
    wr(kGpgdat, 1u << 2);
    wr(kGpgdat, 1u << 2);  // no change, no call
    wr(kGpgdat, 0);
    EXPECT_EQ(seen, (std::vector<bool>{false, true, false}));
    soc.gpio.unwatch(id);
    wr(kGpgdat, 1u << 2);
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(S3c2410Models, Eint0To3PendInSrcpndOnTheirTrigger) {
    wr(kGpfcon, 0x2 | (0x2 << 2));   // GPF0 = EINT0, GPF1 = EINT1
    wr(kExtint0, 0x2 | (0x4 << 4));  // EINT0 falling, EINT1 rising
    // Both pins idle high on their pull-ups.
    soc.gpio.drive(gpio_pin('F', 0), false);
    soc.gpio.drive(gpio_pin('F', 1), false);
    EXPECT_EQ(rd(kSrcpnd) & 3u, 1u) << "EINT0 fell";
    wr(kSrcpnd, 1);
    soc.gpio.drive(gpio_pin('F', 0), true);
    soc.gpio.drive(gpio_pin('F', 1), true);
    EXPECT_EQ(rd(kSrcpnd) & 3u, 2u) << "EINT1 rose";
}

TEST_F(S3c2410Models, APinNotSetToItsInterruptFunctionRaisesNothing) {
    wr(kExtint0, 0x2);
    soc.gpio.drive(gpio_pin('F', 0), true);
    soc.gpio.drive(gpio_pin('F', 0), false);
    EXPECT_EQ(rd(kSrcpnd), 0u);
}

TEST_F(S3c2410Models, Eint4To23GoThroughEintpendAndEintmask) {
    const unsigned pin = gpio_pin('G', 1);  // EINT9
    wr(kGpgcon, 0x2 << 2);
    wr(kExtint1, 0x6 << 4);  // both edges
    soc.gpio.drive(pin, false);
    EXPECT_NE(rd(kEintpend) & (1u << 9), 0u);
    EXPECT_EQ(rd(kSrcpnd) & (1u << 5), 0u) << "EINT9 is masked in EINTMASK";
    wr(kEintmask, rd(kEintmask) & ~(1u << 9));
    EXPECT_NE(rd(kSrcpnd) & (1u << 5), 0u) << "forwarded to EINT8t23";
    wr(kSrcpnd, 1u << 5);
    EXPECT_NE(rd(kSrcpnd) & (1u << 5), 0u) << "still pending in EINTPEND";
    wr(kEintpend, 1u << 9);
    wr(kSrcpnd, 1u << 5);
    EXPECT_EQ(rd(kSrcpnd) & (1u << 5), 0u);
    soc.gpio.drive(pin, true);
    EXPECT_NE(rd(kEintpend) & (1u << 9), 0u) << "the rising edge too";
}

TEST_F(S3c2410Models, TheArbiterServesOneUnmaskedSourceAtATime) {
    EXPECT_FALSE(hw::cpu_irq_level());
    soc.intc.raise(hw::S3c2410Intc::kTimer4);
    soc.intc.raise(hw::S3c2410Intc::kUart1);
    EXPECT_EQ(rd(kIntpnd), 0u) << "all masked after reset";
    EXPECT_FALSE(hw::cpu_irq_level());
    wr(kIntmsk, ~((1u << 14) | (1u << 23)));
    EXPECT_EQ(rd(kIntpnd), 1u << 14);
    EXPECT_EQ(rd(kIntoffset), 14u);
    EXPECT_TRUE(hw::cpu_irq_level());
    wr(kSrcpnd, 1u << 14);
    wr(kIntpnd, 1u << 14);
    EXPECT_EQ(rd(kIntpnd), 1u << 23);
    EXPECT_EQ(rd(kIntoffset), 23u);
    wr(kSrcpnd, 1u << 23);
    wr(kIntpnd, 1u << 23);
    EXPECT_EQ(rd(kIntpnd), 0u);
    EXPECT_FALSE(hw::cpu_irq_level());
}

TEST_F(S3c2410Models, AFastInterruptIsNotDeliveredAsAnInterrupt) {
    wr(kIntmod, 1u << 14);
    wr(kIntmsk, ~(1u << 14));
    soc.intc.raise(hw::S3c2410Intc::kTimer4);
    EXPECT_EQ(rd(kIntpnd), 0u);
    EXPECT_TRUE(logged("fast interrupt"));
}

TEST_F(S3c2410Models, SubSourcesReachTheirParentWhenUnmasked) {
    soc.intc.raise_sub(hw::S3c2410Intc::kRxd1);
    EXPECT_NE(rd(kSubsrcpnd) & (1u << 3), 0u);
    EXPECT_EQ(rd(kSrcpnd) & (1u << 23), 0u);
    wr(kIntsubmsk, 0x7FF & ~(1u << 3));
    EXPECT_NE(rd(kSrcpnd) & (1u << 23), 0u);
}

TEST_F(S3c2410Models, ClocksStartAtTheBootValuesAndFollowThePll) {
    const auto r = soc.clock.registers();
    EXPECT_EQ(r.mpllcon, 0xA1031u);
    EXPECT_EQ(r.clkcon, 0x7FFF0u);
    EXPECT_EQ(r.clkdivn, 3u);
    EXPECT_EQ(soc.clock.fclk_hz(), 202800000u);
    EXPECT_EQ(soc.clock.pclk_hz(), 50700000u);
    wr(0x4C00000C, rd(0x4C00000C) & ~0x380FCu);
    wr(0x4C000004, 0x52013);
    EXPECT_EQ(soc.clock.pclk_hz(), 11250000u);
    EXPECT_FALSE(soc.clock.enabled(hw::S3c2410Clock::kAdc));
    EXPECT_TRUE(soc.clock.enabled(hw::S3c2410Clock::kSpi));
    EXPECT_TRUE(logged("PCLK 11.25 MHz"));
    EXPECT_TRUE(logged("off: nand lcd usbh usbd adc iic iis"));
}

TEST_F(S3c2410Models, UartsKeepTheirSettingsAndReportTheirBaudRate) {
    EXPECT_EQ(soc.uart.baud(0), 117361u);  // 115200 within 2 %
    EXPECT_EQ(soc.uart.baud(1), 9602u);
    const uint32_t uart2 = 0x50008000;
    wr(uart2 + 0x08, 7);
    wr(uart2 + 0x0C, 0);
    wr(uart2 + 0x00, 3);
    wr(uart2 + 0x04, 0x245);
    wr(uart2 + 0x28, 72);
    EXPECT_EQ(rd(uart2 + 0x08), 7u);
    EXPECT_EQ(rd(uart2 + 0x04), 0x245u);
    EXPECT_EQ(rd(uart2 + 0x28), 72u);
    EXPECT_EQ(rd(uart2 + 0x10), 6u) << "transmitter empty";
    wr(0x4C000004, 0x52013);  // PCLK 11.25 MHz: 72 is 9632 baud there
    EXPECT_EQ(soc.uart.baud(2), 9632u);
    EXPECT_TRUE(logged("s3c2410-uart2: 9632 baud"));
}

TEST_F(S3c2410Models, TheTickTimerRegistersAreKeptAndItsRateLogged) {
    EXPECT_EQ(rd(0x51000000), 0x200u);
    EXPECT_EQ(rd(kTcntb4), 42249u);
    EXPECT_EQ(soc.pwm.timer4_hz(), 0.0) << "stopped by the fixture";
    wr(kTcon, kTimer4Start | kTimer4Reload);
    EXPECT_NEAR(soc.pwm.timer4_hz(), 200.0, 0.01) << "the boot values: PCLK / 6 / 42250";
    EXPECT_LE(rd(kTcnto4), 42249u);
    wr(kTcntb4, 9374);
    wr(kTcon, (rd(kTcon) & ~(7u << 20)) | kTimer4Reload | kTimer4Update);
    wr(kTcon, (rd(kTcon) | kTimer4Start) & ~kTimer4Update);
    EXPECT_EQ(rd(kTcntb4), 9374u);
    EXPECT_TRUE(logged("timer 4 ticks at"));
}

// Reaching zero raises INT_TIMER4: with auto-reload every period, without it once.
TEST_F(S3c2410Models, TheTickTimerInterruptsAtZero) {
    const auto pending = [] { return (rd(kSrcpnd) & kTimer4Irq) != 0; };
    const auto wait_pending = [&] {
        for (int i = 0; i < 5000 && !pending(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return pending();
    };
    EXPECT_FALSE(pending());
    wr(kTcntb4, 4224);  // 2 kHz: ten times the tick
    wr(kTcon, kTimer4Reload | kTimer4Update);
    wr(kTcon, kTimer4Reload | kTimer4Start);
    for (int tick = 0; tick < 3; ++tick) {
        ASSERT_TRUE(wait_pending()) << "tick " << tick;
        wr(kSrcpnd, kTimer4Irq);
    }
    // Stopped: nothing more, whatever time passes.
    wr(kTcon, kTimer4Reload);
    wr(kSrcpnd, kTimer4Irq);
    const uint64_t ticks = soc.pwm.timer4_ticks();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(soc.pwm.timer4_ticks(), ticks);
    EXPECT_FALSE(pending());
    // One-shot: one interrupt, then the count stays at zero.
    wr(kTcon, kTimer4Update);
    wr(kTcon, kTimer4Start);
    ASSERT_TRUE(wait_pending());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(soc.pwm.timer4_ticks(), ticks + 1);
    EXPECT_EQ(rd(kTcnto4), 0u);
}

TEST_F(S3c2410Models, AnUnmappedAddressReadsZeroAndIsReportedOnce) {
    EXPECT_EQ(rd(0x5F000000), 0u);
    rd(0x5F000004);
    hw::mmio_write(0x5F000008, 1, 1);
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.find("0x5f00000") != l.npos; }),
              1);
    EXPECT_EQ(hw::device_at(0x56000050), &soc.gpio);
    EXPECT_EQ(hw::device_at(0x5F000000), nullptr);
}

TEST_F(S3c2410Models, ResetRestoresThePowerOnState) {
    wr(kGpfcon, 0x55);
    wr(kIntmsk, 0);
    wr(0x4C000004, 0x52013);
    hw::reset_all();
    EXPECT_EQ(rd(kGpfcon), 0u);
    EXPECT_EQ(rd(kIntmsk), 0xFFFFFFFFu);
    EXPECT_EQ(rd(kEintmask), 0x00FFFFF0u);
    EXPECT_EQ(soc.clock.pclk_hz(), 50700000u);
}

TEST(HardwareClock, RunsTimersInOrderAndNotAfterACancel) {
    std::vector<int> order;
    std::atomic<int> done{0};
    hw::Timer late([&] {
        order.push_back(2);
        ++done;
    });
    hw::Timer early([&] {
        order.push_back(1);
        ++done;
    });
    hw::Timer cancelled([&] { order.push_back(3); });
    // One time base, and nothing fires while the machine lock is held: the order and the cancel
    // do not depend on how long this thread waits for a processor.
    const auto start = hw::Clock::now();
    {
        hw::MachineGuard guard(hw::machine_lock());
        late.arm_at(start + std::chrono::milliseconds(20));
        early.arm_at(start + std::chrono::milliseconds(5));
        cancelled.arm_at(start + std::chrono::milliseconds(10));
        cancelled.cancel();
        EXPECT_FALSE(cancelled.armed());
    }
    while (done.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    hw::MachineGuard guard(hw::machine_lock());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

}  // namespace
