// OV7725 VGA image sensor: 8-bit registers with 8-bit values on an SCCB port, bus address 0x42.
//
// SCCB: a write is the register address and one data byte (a further byte is not taken); a read
// is a two-phase write of the register address, a stop, then a two-phase read of one byte. The
// port latches the register address at the stop: an address phase ended by a repeated start
// (an I2C read) leaves the address of the transfer before, and the byte read back is that
// register's. After the byte the sensor lets the bus go (further bytes read 0xFF).
//
// Registers: product ID 0x77 at 0x0A, version 0x21 at 0x0B, manufacturer 0x7FA2 at 0x1C/0x1D (all
// read-only); COM3 (0x0C: bit 7 vertical flip, bit 6 horizontal mirror, bit 4 Y/UV order, bit 0
// colour bar pattern; 0x10 at reset); COM7 (0x12: bit 7 soft reset, which returns every register
// to its default and clears itself; bits 1..0 the output format, 00 YUV); COM10 (0x15: bit 6 HSYNC
// on the HREF pin, bit 4 PCLK reversed, bit 3 HREF reversed, bit 1 VSYNC negative); HOutSize
// (0x29) and VOutSize (0x2C): the output frame, 4 and 2 pixels a step (640 x 480 at reset).
//
// On this board the OV7725 module sits turned half a turn in its housing: the picture comes out
// upright only with COM3's flip and mirror both set, as the driver's tables set them.
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
    bool write(uint8_t reg, std::span<const uint8_t> data) override;
    bool read(uint8_t reg, bool repeated_start, std::span<uint8_t> out) override;
    SensorOutput output() const override;

    uint8_t reg(uint8_t r) const { return regs_[r]; }

  private:
    void store(uint8_t reg, uint8_t value);

    std::array<uint8_t, 256> regs_{};
    uint8_t latched_ = 0;  // the register address the port latched last
};

}  // namespace hw
