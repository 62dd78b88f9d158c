// The SPI register protocol and sampling shared by the accelerometer models.
#include "spi_accelerometer.hpp"

#include <algorithm>
#include <cmath>

namespace hw {

namespace {

constexpr uint8_t kRead = 0x80;
constexpr uint8_t kIncrement = 0x40;
constexpr uint8_t kAddressMask = 0x3F;

}  // namespace

int accel_counts(double g, double counts_per_g, unsigned bits) {
    const long limit = 1L << (bits - 1);
    const long counts = std::lround(g * counts_per_g);
    return static_cast<int>(std::clamp(counts, -limit, limit - 1));
}

SpiAccelerometer::SpiAccelerometer(std::string name) : Device(std::move(name)) {}

void SpiAccelerometer::set_source(Source source) {
    MachineGuard guard(machine_lock());
    source_ = std::move(source);
}

void SpiAccelerometer::select() {
    phase_ = Phase::kCommand;
}

void SpiAccelerometer::deselect() {
    phase_ = Phase::kIdle;
}

uint8_t SpiAccelerometer::exchange(uint8_t mosi) {
    switch (phase_) {
        case Phase::kIdle:
            return 0xFF;
        case Phase::kCommand:
            reading_ = (mosi & kRead) != 0;
            increment_ = (mosi & kIncrement) != 0;
            address_ = mosi & kAddressMask;
            phase_ = Phase::kData;
            return 0xFF;
        case Phase::kData:
            break;
    }
    uint8_t answer = 0xFF;
    if (reading_) {
        answer = read_register(address_);
        if (three_wire()) answer = 0xFF;  // sent on SDI, not on MISO
    } else {
        write_register(address_, mosi);
    }
    if (increment_) address_ = (address_ + 1) & kAddressMask;
    return answer;
}

std::array<int, 3> SpiAccelerometer::last_sample() const {
    MachineGuard guard(machine_lock());
    return last_;
}

uint64_t SpiAccelerometer::samples() const {
    MachineGuard guard(machine_lock());
    return samples_;
}

void SpiAccelerometer::refresh_outputs() {
    if (!measuring()) return;
    const auto now = Clock::now();
    if (sampled_ && now - sampled_at_ < output_period()) return;
    sampled_ = true;
    sampled_at_ = now;
    last_ = latch(source_ ? source_() : Accel{});
    ++samples_;
}

void SpiAccelerometer::reset_interface() {
    phase_ = Phase::kIdle;
    address_ = 0;
    reading_ = false;
    increment_ = false;
    sampled_ = false;
    last_ = {};
    samples_ = 0;
}

}  // namespace hw
