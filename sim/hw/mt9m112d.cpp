#include "mt9m112d.hpp"

namespace hw {

namespace {
constexpr uint8_t kPageSelect = 0xF0;
constexpr uint8_t kReset = 0x0D;
}  // namespace

void Mt9m112d::defaults() {
    for (auto& p : pages_) p.fill(0);
    pages_[0][0x00] = kChipVersion;
    pages_[0][0xFF] = kChipVersion;
    pages_[0][0x03] = 0x0400;  // window height 1024
    pages_[0][0x04] = 0x0500;  // window width 1280
    pages_[0][0x0D] = 0x0008;
    pages_[1][0xA1] = 0x0500;  // output width 1280
    pages_[1][0xA4] = 0x0400;  // output height 1024
    pages_[2][0x2E] = 0x0C44;
    pages_[2][0x2F] = 0xB9BB;
}

void Mt9m112d::reset() {
    page_ = 0;
    defaults();
}

uint16_t Mt9m112d::value_of(uint8_t reg) const {
    if (reg == kPageSelect) return static_cast<uint16_t>(page_);
    return pages_[page_][reg];
}

bool Mt9m112d::read(uint8_t reg, unsigned width, uint16_t& value) {
    const uint16_t v = value_of(reg);
    value = width == 2 ? v : static_cast<uint16_t>(v >> 8);
    return true;
}

bool Mt9m112d::write(uint8_t reg, unsigned width, uint16_t value) {
    if (width != 2) return true;
    if (reg == kPageSelect) {
        page_ = value % 3;
        return true;
    }
    if (page_ == 0 && (reg == 0x00 || reg == 0xFF)) return true;  // version: read-only
    if (page_ == 0 && reg == kReset && (value & 1) != 0) {
        const unsigned page = page_;
        defaults();  // held in reset: registers at their defaults
        page_ = page;
    }
    pages_[page_][reg] = value;
    return true;
}

}  // namespace hw
