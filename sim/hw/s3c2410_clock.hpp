// S3C2410 clock and power management (0x4C000000): LOCKTIME, MPLLCON, UPLLCON, CLKCON, CLKSLOW,
// CLKDIVN, with the values the boot loader leaves: a 12 MHz crystal, MPLL 202.8 MHz, CLKDIVN 3,
// so FCLK 202.8 MHz, HCLK 101.4 MHz, PCLK 50.7 MHz. Other models ask it for the current PCLK
// and whether their clock is enabled, and may listen for changes.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "hw.hpp"

namespace hw {

class S3c2410Clock : public Device {
  public:
    static constexpr uint32_t kBase = 0x4C000000;
    static constexpr uint32_t kCrystalHz = 12000000;
    static constexpr uint32_t kBootMpllcon = 0x000A1031;
    static constexpr uint32_t kBootUpllcon = 0x00078023;
    static constexpr uint32_t kBootClkcon = 0x0007FFF0;
    static constexpr uint32_t kBootClkslow = 0x00000004;
    static constexpr uint32_t kBootClkdivn = 0x00000003;

    // CLKCON bits of the peripherals.
    enum Gate : uint32_t {
        kNand = 1u << 4,
        kLcd = 1u << 5,
        kUsbHost = 1u << 6,
        kUsbDevice = 1u << 7,
        kPwmTimer = 1u << 8,
        kSdi = 1u << 9,
        kUart0 = 1u << 10,
        kUart1 = 1u << 11,
        kUart2 = 1u << 12,
        kGpio = 1u << 13,
        kRtc = 1u << 14,
        kAdc = 1u << 15,
        kIic = 1u << 16,
        kIis = 1u << 17,
        kSpi = 1u << 18,
    };

    struct Registers {
        uint32_t locktime = 0x00FFFFFF;
        uint32_t mpllcon = kBootMpllcon;
        uint32_t upllcon = kBootUpllcon;
        uint32_t clkcon = kBootClkcon;
        uint32_t clkslow = kBootClkslow;
        uint32_t clkdivn = kBootClkdivn;
    };

    S3c2410Clock();

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    Registers registers() const;
    uint32_t fclk_hz() const;
    uint32_t hclk_hz() const;
    uint32_t pclk_hz() const;
    bool enabled(Gate gate) const;
    // Called (under the machine lock) after every change of a clock register.
    void on_change(std::function<void()> listener);

    static uint32_t pll_hz(uint32_t pllcon, uint32_t input_hz);

  private:
    void log_change(const Registers& before) const;

    Registers regs_;
    std::vector<std::function<void()>> listeners_;
    MmioMapping mmio_;
};

}  // namespace hw
