// ADXL345-type three-axis accelerometer.
#include "adxl345.hpp"

namespace hw {

namespace {

constexpr uint8_t kMeasure = 0x08;
constexpr uint8_t kFullResolution = 0x08;
constexpr uint8_t kLeftJustified = 0x04;
constexpr uint8_t kRangeMask = 0x03;
constexpr uint8_t kDataReady = 0x80;
constexpr uint8_t kIntSourceAtReset = 0x02;  // watermark

bool writable(uint8_t address) {
    return (address >= 0x1D && address <= 0x2A) ||
           (address >= Adxl345::kRegBwRate && address <= 0x2F) ||
           address == Adxl345::kRegDataFormat || address == 0x38;
}

}  // namespace

Adxl345::Adxl345() : SpiAccelerometer("adxl345") {
    reset();
}

void Adxl345::reset() {
    MachineGuard guard(machine_lock());
    regs_ = {};
    regs_[kRegDevId] = kDevId;
    regs_[kRegBwRate] = 0x0A;
    reset_interface();
}

bool Adxl345::measuring() const {
    MachineGuard guard(machine_lock());
    return (regs_[kRegPowerCtl] & kMeasure) != 0;
}

uint8_t Adxl345::peek(uint8_t address) const {
    MachineGuard guard(machine_lock());
    return regs_[address & 0x3F];
}

uint8_t Adxl345::read_register(uint8_t address) {
    if (address >= kRegDataX0 && address < kRegDataX0 + 6) refresh_outputs();
    if (address == kRegIntSource) return kIntSourceAtReset | (measuring() ? kDataReady : 0);
    return regs_[address];
}

void Adxl345::write_register(uint8_t address, uint8_t value) {
    if (!writable(address)) return;
    const bool was_measuring = measuring();
    regs_[address] = value;
    if (address == kRegPowerCtl && was_measuring != measuring()) {
        logf("adxl345: %s", measuring() ? "measuring" : "standby");
    }
}

Clock::duration Adxl345::output_period() const {
    const unsigned rate = regs_[kRegBwRate] & 0x0F;
    const double hz = 3200.0 / static_cast<double>(1u << (15 - rate));
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
}

std::array<int, 3> Adxl345::latch(const Accel& a) {
    const uint8_t format = regs_[kRegDataFormat];
    const unsigned range = format & kRangeMask;
    const bool full = (format & kFullResolution) != 0;
    const unsigned bits = full ? 10 + range : 10;
    const double scale = full ? kCountsPerG : kCountsPerG / static_cast<double>(1u << range);
    const std::array<double, 3> g{a.x, a.y, a.z};
    std::array<int, 3> counts{};
    for (unsigned axis = 0; axis < 3; ++axis) {
        counts[axis] = accel_counts(g[axis], scale, bits);
        auto word = static_cast<uint16_t>(counts[axis]);
        if (format & kLeftJustified) word = static_cast<uint16_t>(word << (16 - bits));
        regs_[kRegDataX0 + 2 * axis] = static_cast<uint8_t>(word & 0xFF);
        regs_[kRegDataX0 + 2 * axis + 1] = static_cast<uint8_t>(word >> 8);
    }
    return counts;
}

}  // namespace hw
