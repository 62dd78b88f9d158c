// OV7725 VGA image sensor.
#include "ov7725.hpp"

#include <algorithm>

namespace hw {

namespace {

constexpr uint8_t kPid = 0x0A;   // PID
constexpr uint8_t kVer = 0x0B;   // VER
constexpr uint8_t kCom3 = 0x0C;  // COM3
constexpr uint8_t kCom7 = 0x12;  // COM7
constexpr uint8_t kCom10 = 0x15;
constexpr uint8_t kMidh = 0x1C;
constexpr uint8_t kMidl = 0x1D;
constexpr uint8_t kHOutSize = 0x29;
constexpr uint8_t kVOutSize = 0x2C;

constexpr uint8_t kCom3Flip = 0x80;
constexpr uint8_t kCom3Mirror = 0x40;
constexpr uint8_t kCom3YFirst = 0x10;
constexpr uint8_t kCom3ColourBar = 0x01;
constexpr uint8_t kCom7Reset = 0x80;
constexpr uint8_t kCom7FormatMask = 0x03;
constexpr uint8_t kCom10HrefIsHsync = 0x40;
constexpr uint8_t kCom10PclkReverse = 0x10;
constexpr uint8_t kCom10HrefReverse = 0x08;
constexpr uint8_t kCom10VsyncNegative = 0x02;

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
    regs_[kCom3] = 0x10;
    regs_[0x0D] = 0x41;  // PLL x4
    regs_[0x11] = 0x80;  // internal clock
    regs_[0x13] = 0x8F;  // AGC, AWB, AEC on
    regs_[kHOutSize] = 0xA0;
    regs_[kVOutSize] = 0xF0;
    latched_ = 0;
}

void Ov7725::store(uint8_t reg, uint8_t value) {
    if (reg == kCom7 && (value & kCom7Reset) != 0) {
        reset();  // the reset bit clears itself
        return;
    }
    if (!read_only(reg)) regs_[reg] = value;
}

bool Ov7725::write(uint8_t reg, std::span<const uint8_t> data) {
    latched_ = reg;
    if (!data.empty()) store(reg, data[0]);
    return true;
}

bool Ov7725::read(uint8_t reg, bool repeated_start, std::span<uint8_t> out) {
    if (!repeated_start) latched_ = reg;
    std::fill(out.begin(), out.end(), 0xFF);
    if (!out.empty()) out[0] = regs_[latched_];
    return true;
}

SensorOutput Ov7725::output() const {
    SensorOutput o;
    const uint8_t com3 = regs_[kCom3];
    const uint8_t com10 = regs_[kCom10];
    o.width = regs_[kHOutSize] * 4u;
    o.height = regs_[kVOutSize] * 2u;
    // Mounted upside down: COM3's flip and mirror put it right.
    o.flip = (com3 & kCom3Flip) == 0;
    o.mirror = (com3 & kCom3Mirror) == 0;
    o.test_pattern = (com3 & kCom3ColourBar) != 0;
    o.y_first = (com3 & kCom3YFirst) != 0;
    o.yuv = (regs_[kCom7] & kCom7FormatMask) == 0;
    o.sync = SensorOutput::Sync::kVsyncHref;
    o.sync_inverted = (com10 & (kCom10HrefIsHsync | kCom10HrefReverse | kCom10VsyncNegative)) != 0;
    o.clock_inverted = (com10 & kCom10PclkReverse) != 0;
    return o;
}

}  // namespace hw
