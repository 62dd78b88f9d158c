// OV7725 VGA image sensor: 8-bit registers with 8-bit values, bus address 0x42. Product ID
// 0x77 at register 0x0A, version 0x21 at 0x0B (both read-only); COM7 (0x12) bit 7 is the soft
// reset, which returns every register to its default and clears itself.
#pragma once

#include <array>

#include "image_sensor.hpp"

namespace hw {

class Ov7725 : public ImageSensor {
  public:
    static constexpr uint8_t kAddress = 0x42;

    Ov7725() { reset(); }

    SensorKind kind() const override { return SensorKind::kOv7725; }
    uint8_t bus_address() const override { return kAddress; }
    void reset() override;
    bool read(uint8_t reg, unsigned width, uint16_t& value) override;
    bool write(uint8_t reg, unsigned width, uint16_t value) override;

    uint8_t reg(uint8_t r) const { return regs_[r]; }

  private:
    void store(uint8_t reg, uint8_t value);

    std::array<uint8_t, 256> regs_{};
};

}  // namespace hw
