// S3C2410 clock and power management.
#include "s3c2410_clock.hpp"

#include <string>

namespace hw {

namespace {

constexpr const char* kGateNames[] = {"",     "",    "idle", "power", "nand",  "lcd",   "usbh",
                                      "usbd", "pwm", "sdi",  "uart0", "uart1", "uart2", "gpio",
                                      "rtc",  "adc", "iic",  "iis",   "spi"};

std::string gate_list(uint32_t bits) {
    std::string out;
    for (unsigned b = 2; b <= 18; ++b) {
        if (bits & (1u << b)) {
            if (!out.empty()) out += ' ';
            out += kGateNames[b];
        }
    }
    return out;
}

}  // namespace

S3c2410Clock::S3c2410Clock() : Device("s3c2410-clock"), mmio_(map_mmio(kBase, 0x18, *this)) {}

void S3c2410Clock::reset() {
    MachineGuard guard(machine_lock());
    regs_ = Registers{};
    for (auto& listener : listeners_) listener();
}

uint32_t S3c2410Clock::pll_hz(uint32_t pllcon, uint32_t input_hz) {
    const uint32_t m = ((pllcon >> 12) & 0xFF) + 8;
    const uint32_t p = ((pllcon >> 4) & 0x3F) + 2;
    const uint32_t s = pllcon & 3;
    return static_cast<uint32_t>(uint64_t{m} * input_hz / (uint64_t{p} << s));
}

uint32_t S3c2410Clock::fclk_hz() const {
    MachineGuard guard(machine_lock());
    if (regs_.clkslow & 0x10) {  // slow mode: the crystal divided by 2 * SLOW_VAL
        const uint32_t slow_val = regs_.clkslow & 7;
        return slow_val == 0 ? kCrystalHz : kCrystalHz / (2 * slow_val);
    }
    return pll_hz(regs_.mpllcon, kCrystalHz);
}

uint32_t S3c2410Clock::hclk_hz() const {
    MachineGuard guard(machine_lock());
    return (regs_.clkdivn & 2) ? fclk_hz() / 2 : fclk_hz();
}

uint32_t S3c2410Clock::pclk_hz() const {
    MachineGuard guard(machine_lock());
    return (regs_.clkdivn & 1) ? hclk_hz() / 2 : hclk_hz();
}

bool S3c2410Clock::enabled(Gate gate) const {
    MachineGuard guard(machine_lock());
    return (regs_.clkcon & gate) != 0;
}

void S3c2410Clock::on_change(std::function<void()> listener) {
    MachineGuard guard(machine_lock());
    listeners_.push_back(std::move(listener));
}

S3c2410Clock::Registers S3c2410Clock::registers() const {
    MachineGuard guard(machine_lock());
    return regs_;
}

uint32_t S3c2410Clock::read(uint32_t offset, unsigned) {
    switch (offset & ~3u) {
        case 0x00:
            return regs_.locktime;
        case 0x04:
            return regs_.mpllcon;
        case 0x08:
            return regs_.upllcon;
        case 0x0C:
            return regs_.clkcon;
        case 0x10:
            return regs_.clkslow;
        case 0x14:
            return regs_.clkdivn;
        default:
            return 0;
    }
}

void S3c2410Clock::write(uint32_t offset, uint32_t value, unsigned) {
    const Registers before = regs_;
    switch (offset & ~3u) {
        case 0x00:
            regs_.locktime = value & 0x00FFFFFF;
            break;
        case 0x04:
            regs_.mpllcon = value & 0x000FF3F3;
            break;
        case 0x08:
            regs_.upllcon = value & 0x000FF3F3;
            break;
        case 0x0C:
            regs_.clkcon = value & 0x0007FFF0;
            break;
        case 0x10:
            regs_.clkslow = value & 0xB7;
            break;
        case 0x14:
            regs_.clkdivn = value & 3;
            break;
        default:
            return;
    }
    log_change(before);
    for (auto& listener : listeners_) listener();
}

void S3c2410Clock::log_change(const Registers& before) const {
    if (before.mpllcon != regs_.mpllcon || before.clkslow != regs_.clkslow ||
        before.clkdivn != regs_.clkdivn) {
        logf("s3c2410-clock: MPLLCON 0x%05x: FCLK %.2f MHz, HCLK %.2f MHz, PCLK %.2f MHz",
             regs_.mpllcon, fclk_hz() / 1e6, hclk_hz() / 1e6, pclk_hz() / 1e6);
    }
    if (before.clkcon != regs_.clkcon) {
        const uint32_t off = before.clkcon & ~regs_.clkcon;
        const uint32_t on = regs_.clkcon & ~before.clkcon;
        std::string what;
        if (off != 0) what += " off: " + gate_list(off);
        if (on != 0) what += std::string(off != 0 ? ";" : "") + " on: " + gate_list(on);
        logf("s3c2410-clock: CLKCON 0x%05x,%s", regs_.clkcon, what.c_str());
    }
}

}  // namespace hw
