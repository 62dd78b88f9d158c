// MT9M112D 1.3-megapixel system-on-chip sensor.
#include "mt9m112d.hpp"

#include "mt9v111.hpp"

namespace hw {

namespace {
constexpr uint8_t kChipId = 0x00;        // page 0
constexpr uint8_t kReset = 0x0D;         // page 0
constexpr uint8_t kIdentityGate = 0x0F;  // page 0
constexpr uint8_t kOutputWidth = 0xA1;   // page 1
constexpr uint8_t kOutputHeight = 0xA4;  // page 1
constexpr uint8_t kPageSelect = 0xF0;
constexpr uint8_t kVersion = 0xFF;  // page 0
}  // namespace

void Mt9m112d::defaults() {
    for (auto& p : pages_) p.fill(0);
    pages_[0][kVersion] = kChipVersion;
    pages_[0][0x03] = 0x0400;  // window height 1024
    pages_[0][0x04] = 0x0500;  // window width 1280
    pages_[0][kReset] = 0x0008;
    pages_[0][kIdentityGate] = 0x0001;
    pages_[1][kOutputWidth] = 0x0500;
    pages_[1][kOutputHeight] = 0x0400;
    pages_[2][0x2E] = 0x0C44;
    pages_[2][0x2F] = 0xB9BB;
    identity_enabled_ = false;
}

void Mt9m112d::reset() {
    page_ = 0;
    defaults();
}

uint16_t Mt9m112d::value_of(uint8_t reg) const {
    if (reg == kPageSelect) return static_cast<uint16_t>(page_);
    if (page_ == 0 && reg == kChipId) return identity_enabled_ ? kChipVersion : 0;
    return pages_[page_][reg];
}

void Mt9m112d::store(uint8_t reg, uint16_t value) {
    if (reg == kPageSelect) {
        page_ = value % 3;
        return;
    }
    if (page_ == 0 && (reg == kChipId || reg == kVersion)) return;  // read-only
    if (page_ == 0 && reg == kReset && (value & 1) != 0) {
        const unsigned page = page_;
        defaults();  // held in reset: registers at their defaults
        page_ = page;
    }
    if (page_ == 0 && reg == kIdentityGate) identity_enabled_ = value == 0;
    pages_[page_][reg] = value;
}

bool Mt9m112d::write(uint8_t reg, std::span<const uint8_t> data) {
    write_words(reg, data, [this](uint8_t r, uint16_t v) { store(r, v); });
    return true;
}

bool Mt9m112d::read(uint8_t reg, bool, std::span<uint8_t> out) {
    read_words(reg, out, [this](uint8_t r) { return value_of(r); });
    return true;
}

SensorOutput Mt9m112d::output() const {
    SensorOutput o;
    o.width = pages_[1][kOutputWidth];
    o.height = pages_[1][kOutputHeight];
    o.sync = SensorOutput::Sync::kFrameLineValid;
    o.y_first = false;
    return o;
}

}  // namespace hw
