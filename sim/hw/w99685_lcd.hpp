// The LCD module behind a W99685 and the two ways to it.
//
// The module's controller has registers selected by an index and a 240 x 320 picture memory of
// 16-bit pixels: after index 0x22 every data write is a pixel at the address that register 0x21
// set, which then steps on. The host reaches the controller through the coprocessor's 16-bit
// bypass registers (window offsets 0x00: index, 0x02: data) while the program's LCD control mode
// is 0; in mode 1 the coprocessor owns the LCD bus and bypass writes are lost.
//
// The program's LCD settings: SetNumberofLCM (number of modules 1 or 2, bus 0 = 16-bit, colour
// 0 = RGB565), SelectLCM (1..number), SetLCMRes (the panel: up to 240 x 320), SetLCMWndPos and
// SetLCMWndSize (the preview window, inside the panel), SetLCMControlMode, PreViewControl
// (0 off, 1 on). With preview on in mode 1 the coprocessor draws every sensor frame, scaled to
// the window, into the picture memory (the panel's rows, its width apart). Settings it cannot
// show refuse the preview, once logged, until they change.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace hw {

class W99685Lcd {
  public:
    static constexpr unsigned kWidth = 240;
    static constexpr unsigned kHeight = 320;
    static constexpr size_t kPixels = size_t{kWidth} * kHeight;

    struct Module {
        unsigned number = 0, bus = 0, colour = 0, selected = 0;
        unsigned width = 0, height = 0;                // the panel (SetLCMRes)
        unsigned x = 0, y = 0;                         // the window (SetLCMWndPos)
        unsigned window_width = 0, window_height = 0;  // (SetLCMWndSize)
        unsigned control_mode = 0;
        bool preview = false;
    };
    struct State {
        Module module;
        std::array<uint16_t, 256> registers{};
        std::vector<uint16_t> memory;
        uint64_t pixel_writes = 0;  // by the host through the bypass
        uint64_t lost_writes = 0;   // bypass writes in control mode 1
        uint64_t preview_frames = 0;
        std::string refused;  // why the preview is not shown, "" when it is (or is off)
    };

    explicit W99685Lcd(std::string owner) : owner_(std::move(owner)) { reset(); }

    void reset();
    // The coprocessor's program stopped: its LCD settings are gone (the module keeps its own).
    void program_lost();

    // The bypass registers (window offsets 0x00, 0x02).
    uint16_t bypass_read(uint32_t offset) const;
    void bypass_write(uint32_t offset, uint16_t value);

    // A command of the program's LCD group; false when `sub` is none of them.
    bool command(uint8_t sub, const std::array<uint8_t, 4>& p);

    // Whether a preview is to be drawn, and the window's size.
    bool previewing() const;
    unsigned window_width() const { return module_.window_width; }
    unsigned window_height() const { return module_.window_height; }
    // One preview frame: RGB pixels of the window's size.
    void show(const std::vector<uint8_t>& rgb);

    State state() const;

  private:
    std::string check() const;  // "" when the module can show the preview
    void note_settings();

    std::string owner_;
    Module module_;
    uint16_t index_ = 0;
    std::array<uint16_t, 256> registers_{};
    std::vector<uint16_t> memory_ = std::vector<uint16_t>(kPixels);
    size_t address_ = 0;
    uint64_t pixel_writes_ = 0;
    uint64_t lost_writes_ = 0;
    uint64_t preview_frames_ = 0;
    std::string refused_;
};

}  // namespace hw
