// MT9M112D 1.3-megapixel system-on-chip sensor: 8-bit register addresses with 16-bit values on
// an I2C port, bus address 0x90, transfers as the MT9V111's (mt9v111.hpp). Register 0xF0 selects
// page 0 (sensor core), 1 (colour pipe) or 2 (camera control) and reads back on every page.
// On page 0: register 0xFF reads the chip version 0x148C, and so does register 0x00 once
// register 0x0F has been written with 0 (until then 0x00 reads 0); bit 0 of register 0x0D is the
// soft reset. On page 1 registers 0xA1 and 0xA4 are the output width and height, 1280 x 1024
// after reset. Its pixel port: FRAME_VALID and LINE_VALID, chroma first (U Y V Y).
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
    bool write(uint8_t reg, std::span<const uint8_t> data) override;
    bool read(uint8_t reg, bool repeated_start, std::span<uint8_t> out) override;
    SensorOutput output() const override;

    uint16_t reg(unsigned page, uint8_t r) const { return pages_[page % 3][r]; }
    unsigned page() const { return page_; }

  private:
    void defaults();
    uint16_t value_of(uint8_t reg) const;
    void store(uint8_t reg, uint16_t value);

    unsigned page_ = 0;
    bool identity_enabled_ = false;
    std::array<std::array<uint16_t, 256>, 3> pages_{};
};

}  // namespace hw
