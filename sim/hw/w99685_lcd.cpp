// The LCD module behind a W99685.
#include "w99685_lcd.hpp"

#include <algorithm>

#include "hw.hpp"
#include "w99685_regs.hpp"

namespace hw {

namespace {

using namespace w99685;

constexpr uint16_t kLcdAddress = 0x21;  // picture memory address
constexpr uint16_t kLcdPixels = 0x22;   // picture memory data
constexpr unsigned kModeBypass = 0;
constexpr unsigned kModeCoprocessor = 1;

unsigned word(uint8_t low, uint8_t high) {
    return unsigned{low} | unsigned{high} << 8;
}

uint16_t rgb565(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] >> 3) << 11 | (p[1] >> 2) << 5 | p[2] >> 3);
}

}  // namespace

void W99685Lcd::reset() {
    module_ = Module{};
    module_.control_mode = kModeBypass;
    index_ = 0;
    registers_.fill(0);
    std::fill(memory_.begin(), memory_.end(), 0);
    address_ = 0;
    pixel_writes_ = 0;
    lost_writes_ = 0;
    preview_frames_ = 0;
    refused_.clear();
}

void W99685Lcd::program_lost() {
    module_ = Module{};
    module_.control_mode = kModeBypass;
    refused_.clear();
}

uint16_t W99685Lcd::bypass_read(uint32_t offset) const {
    return offset == kLcdData ? registers_[index_ & 0xFF] : 0;
}

void W99685Lcd::bypass_write(uint32_t offset, uint16_t value) {
    if (module_.control_mode != kModeBypass) {
        ++lost_writes_;  // the coprocessor drives the LCD bus
        return;
    }
    if (offset == kLcdIndex) {
        index_ = value & 0xFF;
        return;
    }
    if (index_ == kLcdPixels) {
        memory_[address_] = value;
        address_ = (address_ + 1) % kPixels;
        ++pixel_writes_;
        return;
    }
    registers_[index_] = value;
    if (index_ == kLcdAddress) address_ = value % kPixels;
}

bool W99685Lcd::command(uint8_t sub, const std::array<uint8_t, 4>& p) {
    switch (sub) {
        case kSubLcmNumber:  // SetNumberofLCM(num, bus, colour)
            module_.number = p[3];
            module_.bus = p[2];
            module_.colour = p[1];
            break;
        case kSubLcmSelect:  // SelectLCM(num)
            module_.selected = p[3];
            break;
        case kSubLcmResolution:  // SetLCMRes(width, height)
            module_.width = word(p[2], p[3]);
            module_.height = word(p[0], p[1]);
            break;
        case kSubLcmWindowPosition:  // SetLCMWndPos(x, y)
            module_.x = word(p[2], p[3]);
            module_.y = word(p[0], p[1]);
            break;
        case kSubLcmWindowSize:  // SetLCMWndSize(width, height)
            module_.window_width = word(p[2], p[3]);
            module_.window_height = word(p[0], p[1]);
            break;
        case kSubLcmControlMode:
            module_.control_mode = p[3];
            break;
        case kSubPreview:
            module_.preview = p[3] != 0;
            break;
        default:
            return false;
    }
    note_settings();
    return true;
}

std::string W99685Lcd::check() const {
    const Module& m = module_;
    if (m.control_mode != kModeCoprocessor) return "LCD control mode is not 1";
    if (m.number < 1 || m.number > 2) return "no LCD module set up";
    if (m.selected < 1 || m.selected > m.number) return "no LCD module selected";
    if (m.bus != 0) return "the LCD module has a 16-bit bus";
    if (m.colour != 0) return "the LCD module takes RGB565";
    if (m.width < 1 || m.width > kWidth || m.height < 1 || m.height > kHeight)
        return "panel size beyond the LCD controller";
    if (m.window_width < 1 || m.window_height < 1 || m.x + m.window_width > m.width ||
        m.y + m.window_height > m.height) {
        return "window outside the panel";
    }
    return "";
}

void W99685Lcd::note_settings() {
    const std::string why = module_.preview ? check() : "";
    if (!why.empty() && why != refused_) {
        logf("w99685 %s: preview refused: %s", owner_.c_str(), why.c_str());
    }
    refused_ = why;
}

bool W99685Lcd::previewing() const {
    return module_.preview && refused_.empty();
}

void W99685Lcd::show(const std::vector<uint8_t>& rgb) {
    const Module& m = module_;
    if (!previewing() || rgb.size() < size_t{m.window_width} * m.window_height * 3) return;
    for (unsigned y = 0; y < m.window_height; ++y) {
        for (unsigned x = 0; x < m.window_width; ++x) {
            const size_t at = (size_t{m.y} + y) * m.width + m.x + x;
            memory_[at % kPixels] = rgb565(&rgb[(size_t{y} * m.window_width + x) * 3]);
        }
    }
    ++preview_frames_;
}

W99685Lcd::State W99685Lcd::state() const {
    return {module_, registers_, memory_, pixel_writes_, lost_writes_, preview_frames_, refused_};
}

}  // namespace hw
