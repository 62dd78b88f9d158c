// MT9V111 VGA system-on-chip sensor.
#include "mt9v111.hpp"

namespace hw {

namespace {
constexpr uint8_t kPageSelect = 0x01;
constexpr uint8_t kWindowHeight = 0x03;  // core page
constexpr uint8_t kWindowWidth = 0x04;   // core page
constexpr uint8_t kVersion = 0xFF;
}  // namespace

void Mt9v111::reset() {
    page_ = kIfpPage;
    core_.fill(0);
    ifp_.fill(0);
    core_[kVersion] = kChipVersion;
    core_[kWindowHeight] = 480;
    core_[kWindowWidth] = 640;
    core_[0x05] = 0x0094;  // horizontal blanking
    core_[0x06] = 0x0008;  // vertical blanking
    core_[0x07] = 0x3002;  // control
    core_[0x09] = 0x01FC;  // shutter width
    ifp_[kVersion] = 0x3A3A;
    ifp_[0x06] = 0x700E;  // operating mode
    ifp_[0x37] = 0x0080;  // flicker control
}

uint16_t Mt9v111::reg(uint16_t page, uint8_t r) const {
    if (r == kPageSelect) return page_;
    return page == kCorePage ? core_[r] : ifp_[r];
}

uint16_t Mt9v111::value_of(uint8_t reg) const {
    return reg == kPageSelect ? page_ : (page_ == kCorePage ? core_ : ifp_)[reg];
}

void Mt9v111::store(uint8_t reg, uint16_t value) {
    if (reg == kPageSelect) {
        page_ = value;
    } else if (reg != kVersion) {
        (page_ == kCorePage ? core_ : ifp_)[reg] = value;
    }
}

bool Mt9v111::write(uint8_t reg, std::span<const uint8_t> data) {
    write_words(reg, data, [this](uint8_t r, uint16_t v) { store(r, v); });
    return true;
}

bool Mt9v111::read(uint8_t reg, bool, std::span<uint8_t> out) {
    read_words(reg, out, [this](uint8_t r) { return value_of(r); });
    return true;
}

SensorOutput Mt9v111::output() const {
    SensorOutput o;
    o.width = core_[kWindowWidth];
    o.height = core_[kWindowHeight];
    o.sync = SensorOutput::Sync::kFrameLineValid;
    o.y_first = false;
    return o;
}

}  // namespace hw
