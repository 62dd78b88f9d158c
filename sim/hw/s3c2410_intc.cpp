// S3C2410 interrupt controller.
#include "s3c2410_intc.hpp"

namespace hw {

namespace {

// The main source each sub-source reaches.
unsigned sub_parent(unsigned sub) {
    if (sub <= S3c2410Intc::kErr0) return S3c2410Intc::kUart0;
    if (sub <= S3c2410Intc::kErr1) return S3c2410Intc::kUart1;
    if (sub <= S3c2410Intc::kErr2) return S3c2410Intc::kUart2;
    return S3c2410Intc::kAdc;
}

}  // namespace

S3c2410Intc::S3c2410Intc() : Device("s3c2410-intc"), mmio_(map_mmio(kBase, 0x20, *this)) {}

void S3c2410Intc::reset() {
    MachineGuard guard(machine_lock());
    regs_ = Registers{};
    requests_ = 0;
    fiq_reported_ = false;
    set_cpu_irq(false);
}

uint32_t S3c2410Intc::read(uint32_t offset, unsigned) {
    switch (offset & ~3u) {
        case 0x00:
            return regs_.srcpnd;
        case 0x04:
            return regs_.intmod;
        case 0x08:
            return regs_.intmsk;
        case 0x0C:
            return regs_.priority;
        case 0x10:
            return regs_.intpnd;
        case 0x14:
            return regs_.intoffset;
        case 0x18:
            return regs_.subsrcpnd;
        case 0x1C:
            return regs_.intsubmsk;
        default:
            return 0;
    }
}

void S3c2410Intc::write(uint32_t offset, uint32_t value, unsigned) {
    switch (offset & ~3u) {
        case 0x00:
            regs_.srcpnd &= ~value;
            break;  // write 1 to clear
        case 0x04:
            regs_.intmod = value;
            break;
        case 0x08:
            regs_.intmsk = value;
            break;
        case 0x0C:
            regs_.priority = value & 0x1FFFFF;
            break;
        case 0x10:
            regs_.intpnd &= ~value;
            if (regs_.intpnd == 0) regs_.intoffset = 0;
            break;
        case 0x18:
            regs_.subsrcpnd &= ~value & 0x7FF;
            break;
        case 0x1C:
            regs_.intsubmsk = value & 0x7FF;
            break;
        default:
            break;
    }
    update();
}

void S3c2410Intc::raise(unsigned source) {
    MachineGuard guard(machine_lock());
    regs_.srcpnd |= 1u << source;
    update();
}

void S3c2410Intc::set_request(unsigned source, bool active) {
    MachineGuard guard(machine_lock());
    if (active) {
        requests_ |= 1u << source;
    } else {
        requests_ &= ~(1u << source);
    }
    update();
}

void S3c2410Intc::raise_sub(unsigned sub_source) {
    MachineGuard guard(machine_lock());
    regs_.subsrcpnd |= 1u << sub_source;
    update();
}

S3c2410Intc::Registers S3c2410Intc::registers() const {
    MachineGuard guard(machine_lock());
    return regs_;
}

// Latches held requests and unmasked sub-sources into SRCPND, lets the arbiter pick the next
// interrupt when none is in service, and drives the processor's IRQ input.
void S3c2410Intc::update() {
    regs_.srcpnd |= requests_;
    const uint32_t subs = regs_.subsrcpnd & ~regs_.intsubmsk;
    for (unsigned sub = 0; sub <= kSubAdc; ++sub) {
        if (subs & (1u << sub)) regs_.srcpnd |= 1u << sub_parent(sub);
    }
    if ((regs_.srcpnd & regs_.intmod & ~regs_.intmsk) != 0 && !fiq_reported_) {
        fiq_reported_ = true;
        logf("s3c2410-intc: fast interrupt requested (INTMOD 0x%08x): not delivered", regs_.intmod);
    }
    if (regs_.intpnd == 0) {
        const uint32_t candidates = regs_.srcpnd & ~regs_.intmsk & ~regs_.intmod;
        if (candidates != 0) {
            const unsigned n = static_cast<unsigned>(__builtin_ctz(candidates));
            regs_.intpnd = 1u << n;
            regs_.intoffset = n;
        }
    }
    set_cpu_irq(regs_.intpnd != 0);
}

}  // namespace hw
