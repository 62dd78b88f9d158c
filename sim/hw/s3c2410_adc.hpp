// S3C2410 ADC (0x58000000): ADCCON, ADCTSC, ADCDLY, ADCDAT0, ADCDAT1, with the analogue inputs
// AIN0..AIN7 (the board's volume knob is on AIN0).
//
// Writing ADCCON with ENABLE_START (or reading ADCDAT0 with READ_START set) starts one conversion
// of the input SEL_MUX selects, unless the converter is in standby (STDBM). The conversion waits
// ADCDLY cycles of PCLK (the start delay of the normal conversion mode), then samples the input
// and converts it in 5 cycles of the converter's clock, PCLK / (PRSCVL + 1), which only runs with
// PRSCEN set: without it a conversion never ends, nor does one with ADCDLY 0 (a value the data
// sheet forbids). The converter is made for at most 2.5 MHz; a faster clock leaves the low bits of
// the result wrong. The result reaches ADCDAT0 (bits 9..0) when the conversion ends, and ECFLG
// in ADCCON is clear meanwhile. A start during a conversion starts it afresh. Until then ADCDAT0
// still holds the result of the conversion before. The end of a conversion raises the ADC
// sub-interrupt (INT_ADC). With the ADC's clock gated off in CLKCON the block reads 0 and ignores
// writes. ADCDAT0 is 0 after reset, before the first conversion. The touch-screen modes are not
// modelled.
//
// With the driver's settings (prescaler 24 of a 50.7 MHz PCLK, ADCDLY 0x9CFF) a conversion takes
// about 0.8 ms: a processor that reads ADCDAT0 right after starting one sees the result before.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

#include "hw.hpp"
#include "s3c2410_clock.hpp"
#include "s3c2410_intc.hpp"

namespace hw {

class S3c2410Adc : public Device {
  public:
    static constexpr uint32_t kBase = 0x58000000;
    static constexpr unsigned kInputs = 8;
    static constexpr unsigned kFullScale = 1023;
    static constexpr double kMaxClockHz = 2.5e6;
    static constexpr unsigned kClocksPerConversion = 5;

    struct Registers {
        uint32_t adccon = 0x3FC4;  // prescaler 0xFF, standby
        uint32_t adctsc = 0x58;
        uint32_t adcdly = 0xFF;
        uint32_t adcdat0 = 0;
        uint32_t adcdat1 = 0;
    };

    S3c2410Adc(S3c2410Intc& intc, S3c2410Clock& clock);

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    // The voltage on an input as the converter would read it: 0..1023. The inputs are outside
    // the chip and keep their values across resets.
    void set_input(unsigned channel, unsigned value);
    unsigned input(unsigned channel) const;

    Registers registers() const;
    // How long a conversion started now would take; nullopt: it would never end.
    std::optional<Clock::duration> conversion_time() const;
    // Conversions started since power-on.
    uint64_t conversions() const;
    // Reads of ADCDAT0 that already found the result of a conversion started after the read
    // before: the reader was held up for longer than a conversion between its start and its read.
    uint64_t unlagged_reads() const;

  private:
    bool clocked();
    void start_conversion();
    void settle();
    void conversion_done();

    S3c2410Intc& intc_;
    S3c2410Clock& clock_;
    Registers regs_;
    std::array<unsigned, kInputs> inputs_{};
    bool converting_ = false;
    bool endless_ = false;  // a conversion that never ends
    Clock::time_point done_at_{};
    unsigned sampled_ = 0;
    uint64_t conversions_ = 0;
    uint64_t result_conversion_ = 0;  // the conversion whose result ADCDAT0 holds (1-based)
    uint64_t started_before_last_read_ = 0;
    uint64_t unlagged_reads_ = 0;
    bool gated_reported_ = false;
    unsigned reported_ = 0;  // reasons already logged since power-on
    Timer done_{[this] { conversion_done(); }};
    MmioMapping mmio_;
};

}  // namespace hw
