// The audio codec at I2C address 0x1A.
#include "codec.hpp"

#include <cstdio>

namespace hw {

void Codec::set_write_log(std::function<void(std::string_view line)> log) {
    std::lock_guard lock(mutex_);
    log_ = std::move(log);
}

void Codec::reset() {
    std::lock_guard lock(mutex_);
    registers_ = filled();
    pointer_ = 0;
}

void Codec::write(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (bytes.empty()) return;
    pointer_ = bytes[0];
    uint8_t reg = pointer_;
    for (const uint8_t value : bytes.subspan(1)) {
        registers_[reg] = value;
        ++writes_;
        const char* name = reg == kOutputVolume ? " output volume"
                           : reg == kMicVolume  ? " microphone volume"
                                                : "";
        char line[64];
        std::snprintf(line, sizeof line, "reg 0x%02X = 0x%02X (%u)%s", reg, value, value, name);
        if (log_) log_(line);
        reg = static_cast<uint8_t>(reg + 1);
    }
}

void Codec::read(std::span<uint8_t> out) {
    std::lock_guard lock(mutex_);
    const int v = registers_[pointer_];
    for (uint8_t& b : out) b = static_cast<uint8_t>(v < 0 ? 0 : v);
}

int Codec::output_volume() const {
    std::lock_guard lock(mutex_);
    return registers_[kOutputVolume];
}

int Codec::mic_volume() const {
    std::lock_guard lock(mutex_);
    return registers_[kMicVolume];
}

unsigned Codec::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::string Codec::describe() const {
    std::lock_guard lock(mutex_);
    const auto text = [](int v) { return v < 0 ? std::string("-") : std::to_string(v); };
    return "out " + text(registers_[kOutputVolume]) + " mic " + text(registers_[kMicVolume]) +
           " (" + std::to_string(writes_) + " writes)";
}

}  // namespace hw
