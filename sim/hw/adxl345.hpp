// ADXL345-type three-axis accelerometer on SPI (mode 3, 4-wire).
//
// Registers: DEVID (0x00) = 0xE5; THRESH_TAP..TAP_AXES (0x1D..0x2A, kept); ACT_TAP_STATUS
// (0x2B, 0); BW_RATE (0x2C, 0x0A at power-on: 100 samples a second, 3200 / 2^(15 - rate));
// POWER_CTL (0x2D: Measure, bit 3, starts the measurements; 0 at power-on: standby);
// INT_ENABLE, INT_MAP (0x2E, 0x2F, kept); INT_SOURCE (0x30: DATA_READY while measuring);
// DATA_FORMAT (0x31: FULL_RES, Justify, range 2/4/8/16 g); DATAX0..DATAZ1 (0x32..0x37, low
// byte first); FIFO_CTL (0x38, kept), FIFO_STATUS (0x39, 0). The outputs are two's complement:
// 10 bits at 256 counts per g in the 2 g range, with FULL_RES 10 to 13 bits at 256 counts per g
// in every range (limited to the range), otherwise 10 bits at 256 / 2^range counts per g;
// right-justified and sign-extended, or with Justify set left-justified (MSB first). Unknown
// registers read 0 and ignore writes.
#pragma once

#include <array>
#include <cstdint>

#include "spi_accelerometer.hpp"

namespace hw {

class Adxl345 : public SpiAccelerometer {
  public:
    static constexpr uint8_t kDevId = 0xE5;
    static constexpr uint8_t kRegDevId = 0x00;
    static constexpr uint8_t kRegBwRate = 0x2C;
    static constexpr uint8_t kRegPowerCtl = 0x2D;
    static constexpr uint8_t kRegIntSource = 0x30;
    static constexpr uint8_t kRegDataFormat = 0x31;
    static constexpr uint8_t kRegDataX0 = 0x32;
    static constexpr double kCountsPerG = 256.0;

    Adxl345();

    void reset() override;
    bool measuring() const override;
    uint8_t peek(uint8_t address) const;

  protected:
    uint8_t read_register(uint8_t address) override;
    void write_register(uint8_t address, uint8_t value) override;
    Clock::duration output_period() const override;
    std::array<int, 3> latch(const Accel& acceleration) override;

  private:
    std::array<uint8_t, 0x40> regs_{};
};

}  // namespace hw
