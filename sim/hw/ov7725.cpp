#include "ov7725.hpp"

namespace hw {

namespace {

constexpr uint8_t kPid = 0x0A;
constexpr uint8_t kVer = 0x0B;
constexpr uint8_t kMidh = 0x1C;
constexpr uint8_t kMidl = 0x1D;
constexpr uint8_t kCom7 = 0x12;

bool read_only(uint8_t reg) {
    return reg == kPid || reg == kVer || reg == kMidh || reg == kMidl;
}

}  // namespace

void Ov7725::reset() {
    regs_.fill(0);
    regs_[kPid] = 0x77;
    regs_[kVer] = 0x21;
    regs_[kMidh] = 0x7F;
    regs_[kMidl] = 0xA2;
    regs_[0x0D] = 0x41;  // PLL x4
    regs_[0x11] = 0x80;  // internal clock
    regs_[0x13] = 0x8F;  // AGC, AWB, AEC on
    regs_[0x29] = 0xA0;  // horizontal output size 640 / 4
    regs_[0x2C] = 0xF0;  // vertical output size 480 / 2
}

void Ov7725::store(uint8_t reg, uint8_t value) {
    if (reg == kCom7 && (value & 0x80) != 0) {
        reset();  // the reset bit clears itself
        return;
    }
    if (!read_only(reg)) regs_[reg] = value;
}

bool Ov7725::read(uint8_t reg, unsigned width, uint16_t& value) {
    // A two-byte read runs on to the next register.
    value =
        width == 2 ? static_cast<uint16_t>(regs_[reg] << 8 | regs_[uint8_t(reg + 1)]) : regs_[reg];
    return true;
}

bool Ov7725::write(uint8_t reg, unsigned width, uint16_t value) {
    if (width == 2) {
        store(reg, static_cast<uint8_t>(value >> 8));
        store(static_cast<uint8_t>(reg + 1), static_cast<uint8_t>(value));
    } else {
        store(reg, static_cast<uint8_t>(value));
    }
    return true;
}

}  // namespace hw
