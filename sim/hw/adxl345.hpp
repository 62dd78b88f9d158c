// ADXL345-type three-axis accelerometer on SPI (mode 3, 4-wire).
//
// Registers: DEVID (0x00) = 0xE5; THRESH_TAP..TAP_AXES (0x1D..0x2A, kept) with THRESH_ACT (0x24)
// and THRESH_INACT (0x25) at 62.5 mg a step, TIME_INACT (0x26) in seconds, ACT_INACT_CTL (0x27:
// bit 7 activity ac-coupled, bits 6..4 the axes taking part in activity, bit 3 inactivity
// ac-coupled, bits 2..0 the axes taking part in inactivity); ACT_TAP_STATUS (0x2B, 0); BW_RATE
// (0x2C, 0x0A at power-on: 100 samples a second, 3200 / 2^(15 - rate)); POWER_CTL (0x2D: Measure,
// bit 3, starts the measurements, 0 at power-on = standby; Sleep, bit 2, samples at the wake-up
// rate of bits 1..0, 8, 4, 2 or 1 a second, and holds DATA_READY back; Link and AUTO_SLEEP are
// kept but not acted on); INT_ENABLE, INT_MAP (0x2E, 0x2F); INT_SOURCE (0x30); DATA_FORMAT (0x31:
// SPI, bit 6, the 3-wire interface; INT_INVERT, bit 5, active-low interrupt pins; FULL_RES,
// Justify, range 2/4/8/16 g); DATAX0..DATAZ1 (0x32..0x37, low byte first); FIFO_CTL (0x38, kept),
// FIFO_STATUS (0x39, 0). The outputs are two's complement: 10 bits at 256 counts per g in the 2 g
// range, with FULL_RES 10 to 13 bits at 256 counts per g in every range (limited to the range),
// otherwise 10 bits at 256 / 2^range counts per g; right-justified and sign-extended, or with
// Justify set left-justified (MSB first). Unknown registers read 0 and ignore writes.
//
// INT_SOURCE: DATA_READY (bit 7) while a sample newer than the last read of the data registers
// is there (never in sleep mode), whatever INT_ENABLE says; Watermark (bit 1) in the FIFO's
// bypass mode. Activity (bit 4), when enabled in INT_ENABLE: an axis taking part beyond
// THRESH_ACT (ac-coupled: away from the acceleration when the function was enabled); Inactivity
// (bit 3), when enabled: every axis taking part within THRESH_INACT for TIME_INACT seconds. Both
// hold until INT_SOURCE is read. The interrupt pins INT1 and INT2 carry the sources INT_ENABLE
// enables, by INT_MAP (0: INT1, 1: INT2). The board does not wire them: the functions are judged
// whenever the chip is read, which is when anybody could see them.
#pragma once

#include <array>
#include <cstdint>

#include "spi_accelerometer.hpp"

namespace hw {

class Adxl345 : public SpiAccelerometer {
  public:
    static constexpr uint8_t kDevId = 0xE5;
    static constexpr uint8_t kRegDevId = 0x00;
    static constexpr uint8_t kRegThreshAct = 0x24;
    static constexpr uint8_t kRegThreshInact = 0x25;
    static constexpr uint8_t kRegTimeInact = 0x26;
    static constexpr uint8_t kRegActInactCtl = 0x27;
    static constexpr uint8_t kRegBwRate = 0x2C;
    static constexpr uint8_t kRegPowerCtl = 0x2D;
    static constexpr uint8_t kRegIntEnable = 0x2E;
    static constexpr uint8_t kRegIntMap = 0x2F;
    static constexpr uint8_t kRegIntSource = 0x30;
    static constexpr uint8_t kRegDataFormat = 0x31;
    static constexpr uint8_t kRegDataX0 = 0x32;
    static constexpr double kCountsPerG = 256.0;

    static constexpr uint8_t kIntDataReady = 0x80;
    static constexpr uint8_t kIntActivity = 0x10;
    static constexpr uint8_t kIntInactivity = 0x08;
    static constexpr uint8_t kIntWatermark = 0x02;

    Adxl345();

    void reset() override;
    bool measuring() const override;
    uint8_t peek(uint8_t address) const;
    // The level of interrupt pin 1 or 2 now.
    bool int_pin(unsigned pin);

  protected:
    bool three_wire() const override;
    uint8_t read_register(uint8_t address) override;
    void write_register(uint8_t address, uint8_t value) override;
    Clock::duration output_period() const override;
    std::array<int, 3> latch(const Accel& acceleration) override;

  private:
    bool sleeping() const;
    // The interrupt functions, judged now; the sources INT_SOURCE shows.
    uint8_t sources(Clock::time_point now);

    std::array<uint8_t, 0x40> regs_{};
    Clock::time_point data_read_at_{};  // last read of the data registers, or measure start
    Accel reference_{};                 // for ac-coupled activity and inactivity
    bool activity_ = false;
    bool inactivity_ = false;
    bool still_ = false;  // every inactivity axis within its threshold since still_since_
    Clock::time_point still_since_{};
};

}  // namespace hw
