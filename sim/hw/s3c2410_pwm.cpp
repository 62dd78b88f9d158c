// S3C2410 PWM timers.
#include "s3c2410_pwm.hpp"

#include <cmath>

namespace hw {

namespace {

constexpr uint32_t kT4Start = 1u << 20;
constexpr uint32_t kT4Update = 1u << 21;
constexpr uint32_t kT4Reload = 1u << 22;

}  // namespace

S3c2410Pwm::S3c2410Pwm(S3c2410Clock& clock, S3c2410Intc& intc)
    : Device("s3c2410-pwm"), clock_(clock), intc_(intc), mmio_(map_mmio(kBase, 0x44, *this)) {
    MachineGuard guard(machine_lock());
    clock_.on_change([this] { schedule4(); });
}

void S3c2410Pwm::reset() {
    MachineGuard guard(machine_lock());
    regs_ = Registers{};
    loaded4_ = regs_.tcntb[4];
    started4_ = Clock::now();
    ran_out4_ = false;
    ticks4_ = 0;
    logged_hz_ = rate4();
    schedule4();
}

S3c2410Pwm::Registers S3c2410Pwm::registers() const {
    MachineGuard guard(machine_lock());
    return regs_;
}

double S3c2410Pwm::rate4() const {
    if (!(regs_.tcon & kT4Start)) return 0;
    const unsigned prescaler = (regs_.tcfg0 >> 8) & 0xFF;
    const unsigned mux = (regs_.tcfg1 >> 16) & 0xF;
    const unsigned divider = mux < 4 ? 2u << mux : 1;
    const double input = static_cast<double>(clock_.pclk_hz()) / (prescaler + 1) / divider;
    return input / (static_cast<double>(loaded4_) + 1);
}

double S3c2410Pwm::timer4_hz() const {
    MachineGuard guard(machine_lock());
    return rate4();
}

uint64_t S3c2410Pwm::timer4_ticks() const {
    MachineGuard guard(machine_lock());
    return ticks4_;
}

uint32_t S3c2410Pwm::timer4_count() const {
    const double hz = rate4();
    if (ran_out4_) return 0;
    if (hz <= 0) return loaded4_;
    const double period = 1.0 / hz;
    const double elapsed = std::chrono::duration<double>(Clock::now() - started4_).count();
    const double phase = std::fmod(elapsed, period) / period;
    return static_cast<uint32_t>((1.0 - phase) * loaded4_);
}

// Arms the next time timer 4 reaches zero, counted from its start.
void S3c2410Pwm::schedule4() {
    tick_.cancel();
    const double hz = rate4();
    if (hz <= 0 || ran_out4_) return;
    const double period = 1.0 / hz;
    const double elapsed = std::chrono::duration<double>(Clock::now() - started4_).count();
    const double next = (std::floor(elapsed / period) + 1) * period;
    tick_.arm_at(started4_ +
                 std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(next)));
}

void S3c2410Pwm::tick4() {
    ++ticks4_;
    intc_.raise(S3c2410Intc::kTimer4);
    if (regs_.tcon & kT4Reload) {
        schedule4();
    } else {
        ran_out4_ = true;
    }
}

void S3c2410Pwm::note_timer4() {
    const double hz = rate4();
    if (std::fabs(hz - logged_hz_) > 0.01) {
        logged_hz_ = hz;
        logf("s3c2410-pwm: timer 4 %s %.2f Hz (TCNTB4 %u, PCLK %.2f MHz)",
             hz > 0 ? "ticks at" : "stopped,", hz, loaded4_, clock_.pclk_hz() / 1e6);
    }
}

uint32_t S3c2410Pwm::read(uint32_t offset, unsigned) {
    offset &= ~3u;
    switch (offset) {
        case 0x00:
            return regs_.tcfg0;
        case 0x04:
            return regs_.tcfg1;
        case 0x08:
            return regs_.tcon;
        case 0x40:
            return timer4_count();  // TCNTO4
        default:
            break;
    }
    if (offset >= 0x0C && offset < 0x3C) {
        const unsigned timer = (offset - 0x0C) / 0x0C;
        switch ((offset - 0x0C) % 0x0C) {
            case 0x0:
                return regs_.tcntb[timer];
            case 0x4:
                return regs_.tcmpb[timer];
            case 0x8:
                return regs_.tcntb[timer];  // TCNTOn: not counted for timers 0..3
            default:
                return 0;
        }
    }
    if (offset == 0x3C) return regs_.tcntb[4];
    return 0;
}

void S3c2410Pwm::write(uint32_t offset, uint32_t value, unsigned) {
    offset &= ~3u;
    switch (offset) {
        case 0x00:
            regs_.tcfg0 = value & 0xFFFFFF;
            schedule4();
            return;
        case 0x04:
            regs_.tcfg1 = value & 0xFFFFFF;
            schedule4();
            return;
        case 0x08: {
            const uint32_t before = regs_.tcon;
            regs_.tcon = value & 0x7FFF1F;
            if (value & kT4Update) loaded4_ = regs_.tcntb[4];
            if (((value & kT4Start) && !(before & kT4Start)) || (value & kT4Update)) {
                started4_ = Clock::now();
                ran_out4_ = false;
            }
            note_timer4();
            schedule4();
            return;
        }
        case 0x3C:
            regs_.tcntb[4] = value & 0xFFFF;
            return;
        default:
            break;
    }
    if (offset >= 0x0C && offset < 0x3C) {
        const unsigned timer = (offset - 0x0C) / 0x0C;
        switch ((offset - 0x0C) % 0x0C) {
            case 0x0:
                regs_.tcntb[timer] = value & 0xFFFF;
                break;
            case 0x4:
                regs_.tcmpb[timer] = value & 0xFFFF;
                break;
            default:
                break;
        }
    }
}

}  // namespace hw
