// MT9V111 VGA system-on-chip sensor: 8-bit register addresses with 16-bit values on an I2C port,
// bus address 0xB8. A value goes high byte first; a write commits a register with its low byte
// (a write that ends after the high byte changes nothing) and goes on to the next register; a
// read sends high and low byte of the register, then of the next. Register 0x01 selects the
// register page on both pages: 0x0004 the sensor core, 0x0001 the image flow processor. On the
// core page register 0xFF reads the chip version 0x823A, 0x03 and 0x04 are the window height
// and width. Its pixel port: FRAME_VALID and LINE_VALID, chroma first (U Y V Y).
#pragma once

#include <array>

#include "image_sensor.hpp"

namespace hw {

class Mt9v111 : public ImageSensor {
  public:
    static constexpr uint8_t kAddress = 0xB8;
    static constexpr uint16_t kChipVersion = 0x823A;
    static constexpr uint16_t kCorePage = 0x0004;
    static constexpr uint16_t kIfpPage = 0x0001;

    Mt9v111() { reset(); }

    SensorKind kind() const override { return SensorKind::kMt9v111; }
    uint8_t bus_address() const override { return kAddress; }
    void reset() override;
    bool write(uint8_t reg, std::span<const uint8_t> data) override;
    bool read(uint8_t reg, bool repeated_start, std::span<uint8_t> out) override;
    SensorOutput output() const override;

    // The register of the given page (kCorePage or kIfpPage).
    uint16_t reg(uint16_t page, uint8_t r) const;

  private:
    uint16_t value_of(uint8_t reg) const;
    void store(uint8_t reg, uint16_t value);

    uint16_t page_ = kIfpPage;
    std::array<uint16_t, 256> core_{};
    std::array<uint16_t, 256> ifp_{};
};

// What the 16-bit sensors share: a write of (high, low) pairs from `reg` on, a read of (high,
// low) pairs from `reg` on, through the sensor's own register access.
template <typename Store>
void write_words(uint8_t reg, std::span<const uint8_t> data, Store store) {
    for (size_t i = 0; i + 1 < data.size(); i += 2, ++reg) {
        store(reg, static_cast<uint16_t>(data[i] << 8 | data[i + 1]));
    }
}
template <typename Load>
void read_words(uint8_t reg, std::span<uint8_t> out, Load load) {
    for (size_t i = 0; i < out.size(); ++i) {
        const uint16_t v = load(static_cast<uint8_t>(reg + i / 2));
        out[i] = static_cast<uint8_t>(i % 2 == 0 ? v >> 8 : v);
    }
}

}  // namespace hw
