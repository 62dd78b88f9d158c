// LIS3LV02DQ three-axis accelerometer.
#include "lis3lv02dq.hpp"

namespace hw {

namespace {

constexpr uint8_t kCtrl1PowerMask = 0xC0;
constexpr unsigned kCtrl1DecimationShift = 4;
constexpr uint8_t kCtrl2FullScale6g = 0x80;
constexpr uint8_t kCtrl2BigEndian = 0x20;
constexpr uint8_t kCtrl2ThreeWire = 0x02;
constexpr uint8_t kCtrl2LeftJustified = 0x01;
constexpr uint8_t kStatusAllNew = 0x0F;  // ZYXDA, ZDA, YDA, XDA

bool writable(uint8_t address) {
    return (address >= 0x16 && address <= 0x1B) ||
           (address >= Lis3lv02dq::kRegCtrl1 && address <= Lis3lv02dq::kRegCtrl3);
}

}  // namespace

Lis3lv02dq::Lis3lv02dq() : SpiAccelerometer("lis3lv02dq") {
    reset();
}

void Lis3lv02dq::reset() {
    MachineGuard guard(machine_lock());
    regs_ = {};
    regs_[kRegWhoAmI] = kWhoAmI;
    regs_[kRegCtrl1] = 0x07;
    regs_[kRegCtrl3] = 0x08;
    reset_interface();
}

bool Lis3lv02dq::measuring() const {
    MachineGuard guard(machine_lock());
    return (regs_[kRegCtrl1] & kCtrl1PowerMask) != 0;
}

uint8_t Lis3lv02dq::peek(uint8_t address) const {
    MachineGuard guard(machine_lock());
    return regs_[address & 0x3F];
}

bool Lis3lv02dq::three_wire() const {
    return (regs_[kRegCtrl2] & kCtrl2ThreeWire) != 0;
}

uint8_t Lis3lv02dq::read_register(uint8_t address) {
    if (address >= kRegOutXL && address < kRegOutXL + 6) refresh_outputs();
    if (address == kRegStatus) return measuring() ? kStatusAllNew : 0;
    return regs_[address];
}

void Lis3lv02dq::write_register(uint8_t address, uint8_t value) {
    if (!writable(address)) return;
    const bool was_measuring = measuring();
    regs_[address] = value;
    if (address == kRegCtrl1 && was_measuring != measuring()) {
        logf("lis3lv02dq: %s", measuring() ? "measuring" : "powered down");
    }
}

Clock::duration Lis3lv02dq::output_period() const {
    const unsigned decimation = (regs_[kRegCtrl1] >> kCtrl1DecimationShift) & 3u;
    const double hz = 40.0 * (1u << (2 * decimation));
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
}

std::array<int, 3> Lis3lv02dq::latch(const Accel& a) {
    const uint8_t ctrl1 = regs_[kRegCtrl1];
    const uint8_t ctrl2 = regs_[kRegCtrl2];
    const double scale = (ctrl2 & kCtrl2FullScale6g) ? 340.0 : kCountsPerG;
    const std::array<double, 3> g{a.x, a.y, a.z};
    std::array<int, 3> counts{};
    for (unsigned axis = 0; axis < 3; ++axis) {
        if (ctrl1 & (1u << axis)) counts[axis] = accel_counts(g[axis], scale, 12);
        uint16_t word = static_cast<uint16_t>(counts[axis]);
        if (ctrl2 & kCtrl2LeftJustified) word = static_cast<uint16_t>(word << 4);
        const auto low = static_cast<uint8_t>(word & 0xFF);
        const auto high = static_cast<uint8_t>(word >> 8);
        const bool big_endian = (ctrl2 & kCtrl2BigEndian) != 0;
        regs_[kRegOutXL + 2 * axis] = big_endian ? high : low;
        regs_[kRegOutXL + 2 * axis + 1] = big_endian ? low : high;
    }
    return counts;
}

}  // namespace hw
