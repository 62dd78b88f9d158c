// LIS3LV02DQ three-axis accelerometer on SPI (mode 3).
//
// Registers: WHO_AM_I (0x0F) = 0x3A; OFFSET_X..GAIN_Z (0x16..0x1B, kept); CTRL_REG1 (0x20,
// 0x07 at power-on: powered down, X, Y, Z enabled; PD1..PD0 00 power-down, 01, 10 or 11 device
// on, as the data sheet has it; DF1..DF0 the decimation: 40, 160, 640 or 2560 samples a second;
// Xen, Yen, Zen the axes); CTRL_REG2 (0x21: FS = 6 g range, BLE = big-endian outputs, SIM = 3-wire
// interface, DAS = 16-bit left-justified outputs); CTRL_REG3 (0x22, kept);
// STATUS_REG (0x27: ZYXDA and the axis flags while measuring); OUTX_L..OUTZ_H (0x28..0x2D).
// Outputs are 12-bit two's complement, right-justified and sign-extended: 1024 counts per g in
// the 2 g range (limited to -2048..2047), 340 in the 6 g range. A disabled axis reads 0. Block
// data update is not modelled: the high and the low byte of an axis may come from two samples,
// as on the chip with BDU clear. Unknown registers read 0 and ignore writes.
#pragma once

#include <array>
#include <cstdint>

#include "spi_accelerometer.hpp"

namespace hw {

class Lis3lv02dq : public SpiAccelerometer {
  public:
    static constexpr uint8_t kWhoAmI = 0x3A;
    static constexpr uint8_t kRegWhoAmI = 0x0F;
    static constexpr uint8_t kRegCtrl1 = 0x20;
    static constexpr uint8_t kRegCtrl2 = 0x21;
    static constexpr uint8_t kRegCtrl3 = 0x22;
    static constexpr uint8_t kRegStatus = 0x27;
    static constexpr uint8_t kRegOutXL = 0x28;
    static constexpr double kCountsPerG = 1024.0;

    Lis3lv02dq();

    void reset() override;
    bool measuring() const override;
    // A register as the chip holds it (for the board's status and tests).
    uint8_t peek(uint8_t address) const;

  protected:
    bool three_wire() const override;
    uint8_t read_register(uint8_t address) override;
    void write_register(uint8_t address, uint8_t value) override;
    Clock::duration output_period() const override;
    std::array<int, 3> latch(const Accel& acceleration) override;

  private:
    std::array<uint8_t, 0x40> regs_{};
};

}  // namespace hw
