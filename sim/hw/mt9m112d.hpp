// MT9M112D 1.3-megapixel system-on-chip sensor: 8-bit register addresses with 16-bit values,
// bus address 0x90. Register 0xF0 selects page 0 (sensor core), 1 (colour pipe) or 2 (camera
// control) and reads back on every page; on page 0 registers 0x00 and 0xFF read the chip
// version 0x148C, and bit 0 of register 0x0D is the soft reset. One-byte transfers move only the
// high byte (a read) or are not committed (a write).
#pragma once

#include <array>

#include "image_sensor.hpp"

namespace hw {

class Mt9m112d : public ImageSensor {
  public:
    static constexpr uint8_t kAddress = 0x90;
    static constexpr uint16_t kChipVersion = 0x148C;

    Mt9m112d() { reset(); }

    SensorKind kind() const override { return SensorKind::kMt9m112d; }
    uint8_t bus_address() const override { return kAddress; }
    void reset() override;
    bool read(uint8_t reg, unsigned width, uint16_t& value) override;
    bool write(uint8_t reg, unsigned width, uint16_t value) override;

    uint16_t reg(unsigned page, uint8_t r) const { return pages_[page % 3][r]; }
    unsigned page() const { return page_; }

  private:
    void defaults();
    uint16_t value_of(uint8_t reg) const;

    unsigned page_ = 0;
    std::array<std::array<uint16_t, 256>, 3> pages_{};
};

}  // namespace hw
