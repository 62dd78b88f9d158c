// ADXL345-type three-axis accelerometer.
#include "adxl345.hpp"

#include <cmath>

namespace hw {

namespace {

constexpr uint8_t kMeasure = 0x08;         // POWER_CTL
constexpr uint8_t kSleep = 0x04;           // POWER_CTL
constexpr uint8_t kWakeupMask = 0x03;      // POWER_CTL
constexpr uint8_t kThreeWire = 0x40;       // DATA_FORMAT SPI
constexpr uint8_t kIntInvert = 0x20;       // DATA_FORMAT
constexpr uint8_t kFullResolution = 0x08;  // DATA_FORMAT
constexpr uint8_t kLeftJustified = 0x04;   // DATA_FORMAT
constexpr uint8_t kRangeMask = 0x03;       // DATA_FORMAT
constexpr uint8_t kActAc = 0x80;           // ACT_INACT_CTL
constexpr unsigned kActAxesShift = 4;      // ACT_INACT_CTL: X, Y, Z at bits 6, 5, 4
constexpr uint8_t kInactAc = 0x08;         // ACT_INACT_CTL
constexpr double kThresholdStep = 0.0625;  // g

bool writable(uint8_t address) {
    return (address >= 0x1D && address <= 0x2A) ||
           (address >= Adxl345::kRegBwRate && address <= Adxl345::kRegIntMap) ||
           address == Adxl345::kRegDataFormat || address == 0x38;
}

// Whether the axes set in `axes` (bit 2 X, bit 1 Y, bit 0 Z) are all within (`within`) or any
// beyond `threshold` g, taken from `reference` when `ac`.
bool judge(const Accel& a, const Accel& reference, bool ac, unsigned axes, double threshold,
           bool within) {
    const std::array<double, 3> g{a.x - (ac ? reference.x : 0), a.y - (ac ? reference.y : 0),
                                  a.z - (ac ? reference.z : 0)};
    bool all_within = true, any_beyond = false;
    for (unsigned axis = 0; axis < 3; ++axis) {
        if (!(axes & (4u >> axis))) continue;
        const bool beyond = std::fabs(g[axis]) > threshold;
        all_within = all_within && !beyond;
        any_beyond = any_beyond || beyond;
    }
    return within ? axes != 0 && all_within : any_beyond;
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
    data_read_at_ = {};
    reference_ = {};
    activity_ = inactivity_ = still_ = false;
}

bool Adxl345::measuring() const {
    MachineGuard guard(machine_lock());
    return (regs_[kRegPowerCtl] & kMeasure) != 0;
}

bool Adxl345::sleeping() const {
    return (regs_[kRegPowerCtl] & kSleep) != 0;
}

bool Adxl345::three_wire() const {
    return (regs_[kRegDataFormat] & kThreeWire) != 0;
}

uint8_t Adxl345::peek(uint8_t address) const {
    MachineGuard guard(machine_lock());
    return regs_[address & 0x3F];
}

uint8_t Adxl345::sources(Clock::time_point now) {
    if (!measuring()) return kIntWatermark;
    const uint8_t enable = regs_[kRegIntEnable];
    const uint8_t ctl = regs_[kRegActInactCtl];
    const Accel a = sense();
    if ((enable & kIntActivity) && judge(a, reference_, ctl & kActAc, (ctl >> kActAxesShift) & 7u,
                                         regs_[kRegThreshAct] * kThresholdStep, false)) {
        activity_ = true;
    }
    if (enable & kIntInactivity) {
        const bool within = judge(a, reference_, ctl & kInactAc, ctl & 7u,
                                  regs_[kRegThreshInact] * kThresholdStep, true);
        if (within && !still_) still_since_ = now;
        still_ = within;
        if (still_ && now - still_since_ >= std::chrono::seconds(regs_[kRegTimeInact]))
            inactivity_ = true;
    }
    const bool ready = !sleeping() && now - data_read_at_ >= output_period();
    return static_cast<uint8_t>(kIntWatermark | (ready ? kIntDataReady : 0) |
                                (activity_ ? kIntActivity : 0) |
                                (inactivity_ ? kIntInactivity : 0));
}

bool Adxl345::int_pin(unsigned pin) {
    MachineGuard guard(machine_lock());
    const uint8_t map = pin == 2 ? regs_[kRegIntMap] : static_cast<uint8_t>(~regs_[kRegIntMap]);
    const bool active = (sources(Clock::now()) & regs_[kRegIntEnable] & map) != 0;
    return active != ((regs_[kRegDataFormat] & kIntInvert) != 0);
}

uint8_t Adxl345::read_register(uint8_t address) {
    const auto now = Clock::now();
    if (address >= kRegDataX0 && address < kRegDataX0 + 6) {
        refresh_outputs();
        data_read_at_ = now;
    }
    if (address == kRegIntSource) {
        const uint8_t s = sources(now);
        activity_ = inactivity_ = false;  // latched until read
        return s;
    }
    return regs_[address];
}

void Adxl345::write_register(uint8_t address, uint8_t value) {
    if (!writable(address)) return;
    const bool was_measuring = measuring();
    regs_[address] = value;
    if (address == kRegPowerCtl && was_measuring != measuring()) {
        logf("adxl345: %s", measuring() ? "measuring" : "standby");
        data_read_at_ = Clock::now();
    }
    // The ac-coupled functions take their reference as they are switched on.
    if (address == kRegIntEnable || address == kRegActInactCtl) {
        reference_ = sense();
        still_ = false;
    }
}

Clock::duration Adxl345::output_period() const {
    const double hz = sleeping()
                          ? 8.0 / static_cast<double>(1u << (regs_[kRegPowerCtl] & kWakeupMask))
                          : 3200.0 / static_cast<double>(1u << (15 - (regs_[kRegBwRate] & 0x0F)));
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
