#include "codec.hpp"

#include <cstdio>

namespace simboard::peers {

bool CodecModel::open_log(const std::filesystem::path& path, std::string& error) {
    return log_.open(path, "codec register writes", error);
}

void CodecModel::close_log() {
    log_.close();
}

void CodecModel::reset() {
    std::lock_guard lock(mutex_);
    registers_ = filled();
    pointer_ = 0;
}

void CodecModel::write(std::span<const uint8_t> bytes) {
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
        log_.add(line);
        reg = static_cast<uint8_t>(reg + 1);
    }
}

void CodecModel::read(std::span<uint8_t> out) {
    std::lock_guard lock(mutex_);
    const int v = registers_[pointer_];
    for (uint8_t& b : out) b = static_cast<uint8_t>(v < 0 ? 0 : v);
}

int CodecModel::output_volume() const {
    std::lock_guard lock(mutex_);
    return registers_[kOutputVolume];
}

int CodecModel::mic_volume() const {
    std::lock_guard lock(mutex_);
    return registers_[kMicVolume];
}

unsigned CodecModel::writes() const {
    std::lock_guard lock(mutex_);
    return writes_;
}

std::string CodecModel::describe() const {
    std::lock_guard lock(mutex_);
    const auto text = [](int v) { return v < 0 ? std::string("-") : std::to_string(v); };
    return "out " + text(registers_[kOutputVolume]) + " mic " + text(registers_[kMicVolume]) +
           " (" + std::to_string(writes_) + " writes)";
}

}  // namespace simboard::peers
