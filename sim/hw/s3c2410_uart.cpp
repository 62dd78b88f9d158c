// S3C2410 UART registers.
#include "s3c2410_uart.hpp"

#include <cmath>

namespace hw {

namespace {

// The boot loader's rates at PCLK 50.7 MHz: 115200 on the console port, 9600 on the other two.
constexpr std::array<uint32_t, S3c2410Uart::kPorts> kBootUbrdiv{26, 329, 329};

}  // namespace

S3c2410Uart::S3c2410Uart(S3c2410Clock& clock)
    : Device("s3c2410-uart"), clock_(clock), mmio_(map_mmio(kBase, kPortStride * kPorts, *this)) {
    reset();
    clock_.on_change([this] {
        for (unsigned n = 0; n < kPorts; ++n) note_baud(n);
    });
}

void S3c2410Uart::reset() {
    MachineGuard guard(machine_lock());
    for (unsigned n = 0; n < kPorts; ++n) {
        ports_[n] = Port{};
        ports_[n].ubrdiv = kBootUbrdiv[n];
        logged_baud_[n] = baud(n);
    }
}

S3c2410Uart::Port S3c2410Uart::port(unsigned n) const {
    MachineGuard guard(machine_lock());
    return ports_[n];
}

unsigned S3c2410Uart::baud(unsigned n) const {
    MachineGuard guard(machine_lock());
    const double rate = clock_.pclk_hz() / ((ports_[n].ubrdiv + 1.0) * 16.0);
    return static_cast<unsigned>(std::lround(rate));
}

void S3c2410Uart::on_transmit(std::function<void(unsigned port, uint8_t byte)> listener) {
    MachineGuard guard(machine_lock());
    transmit_ = std::move(listener);
}

void S3c2410Uart::note_baud(unsigned n) {
    const unsigned rate = baud(n);
    if (rate != logged_baud_[n]) {
        logged_baud_[n] = rate;
        logf("s3c2410-uart%u: %u baud (UBRDIV %u, PCLK %.2f MHz)", n, rate, ports_[n].ubrdiv,
             clock_.pclk_hz() / 1e6);
    }
}

uint32_t S3c2410Uart::read(uint32_t offset, unsigned) {
    const unsigned n = offset / kPortStride;
    if (n >= kPorts) return 0;
    const Port& p = ports_[n];
    switch (offset % kPortStride) {
        case 0x00:
            return p.ulcon;
        case 0x04:
            return p.ucon;
        case 0x08:
            return p.ufcon;
        case 0x0C:
            return p.umcon;
        case 0x10:
            return 0x6;  // UTRSTAT: transmitter and its buffer empty
        case 0x28:
            return p.ubrdiv;
        default:
            return 0;  // UERSTAT, UFSTAT, UMSTAT, URXH: nothing received
    }
}

void S3c2410Uart::write(uint32_t offset, uint32_t value, unsigned) {
    const unsigned n = offset / kPortStride;
    if (n >= kPorts) return;
    Port& p = ports_[n];
    switch (offset % kPortStride) {
        case 0x00:
            p.ulcon = value & 0x7F;
            break;
        case 0x04:
            p.ucon = value & 0x7FF;
            break;
        case 0x08:
            p.ufcon = value & 0xF7;
            break;
        case 0x0C:
            p.umcon = value & 0x11;
            break;
        case 0x20:
            if (transmit_) transmit_(n, static_cast<uint8_t>(value));
            break;
        case 0x28:
            p.ubrdiv = value & 0xFFFF;
            note_baud(n);
            break;
        default:
            break;
    }
}

}  // namespace hw
