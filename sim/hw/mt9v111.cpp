#include "mt9v111.hpp"

namespace hw {

namespace {
constexpr uint8_t kPageSelect = 0x01;
constexpr uint8_t kVersion = 0xFF;
}  // namespace

void Mt9v111::reset() {
    page_ = kIfpPage;
    core_.fill(0);
    ifp_.fill(0);
    core_[kVersion] = kChipVersion;
    core_[0x05] = 0x0094;  // horizontal blanking
    core_[0x06] = 0x0008;  // vertical blanking
    core_[0x07] = 0x3002;  // control
    core_[0x09] = 0x01FC;  // shutter width
    ifp_[kVersion] = 0x3A3A;
    ifp_[0x06] = 0x700E;  // operating mode
    ifp_[0x37] = 0x0080;  // flicker control
}

std::array<uint16_t, 256>& Mt9v111::page_regs() {
    return page_ == kCorePage ? core_ : ifp_;
}

uint16_t Mt9v111::reg(uint16_t page, uint8_t r) const {
    if (r == kPageSelect) return page_;
    return page == kCorePage ? core_[r] : ifp_[r];
}

bool Mt9v111::read(uint8_t reg, unsigned width, uint16_t& value) {
    const uint16_t v = reg == kPageSelect ? page_ : page_regs()[reg];
    value = width == 2 ? v : static_cast<uint16_t>(v >> 8);
    return true;
}

bool Mt9v111::write(uint8_t reg, unsigned width, uint16_t value) {
    if (width != 2) return true;  // acknowledged, but half a register is never committed
    if (reg == kPageSelect) {
        page_ = value;
    } else if (reg != kVersion) {
        page_regs()[reg] = value;
    }
    return true;
}

}  // namespace hw
