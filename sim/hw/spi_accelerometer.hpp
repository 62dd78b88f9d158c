// What the accelerometer models on the SPI bus share: the register protocol and the sampling of
// the acceleration the chip feels.
//
// Protocol (the LIS3LV02DQ's and the ADXL345's alike, SPI mode 3): the first byte after the chip
// select goes low is the command: bit 7 set for a read, bit 6 set to step the address after every
// byte, bits 5..0 the register. Every further byte of the selection reads the register (the
// answer goes out while the byte comes in) or writes it. MISO is idle (0xFF) during the command.
//
// A chip set to its 3-wire interface answers on its data input pin: nothing drives MISO, which
// reads 0xFF.
//
// The output registers take a new sample of the source (the acceleration along the chip's own
// axes, in g, gravity included) at the chip's output data rate while it measures, when they are
// read; while it is powered down they keep the last sample (0 after power-on).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "hw.hpp"
#include "s3c2410_spi.hpp"

namespace hw {

// Specific force in g: what an accelerometer at rest reads is +1 g upwards.
struct Accel {
    double x = 0;
    double y = 0;
    double z = 0;
};

class SpiAccelerometer : public Device, public SpiSlave {
  public:
    using Source = std::function<Accel()>;

    explicit SpiAccelerometer(std::string name);

    // Where the chip's acceleration comes from (the board's motion, a test's constant).
    void set_source(Source source);

    // Not on the processor's bus: reached through the SPI controller only.
    uint32_t read(uint32_t, unsigned) override { return 0; }
    void write(uint32_t, uint32_t, unsigned) override {}

    void select() override;
    void deselect() override;
    uint8_t exchange(uint8_t mosi) override;
    std::string_view spi_name() const override { return name(); }

    // Powered and measuring.
    virtual bool measuring() const = 0;
    // The last sample in the output registers, in the chip's counts, and how many were taken
    // since power-on.
    std::array<int, 3> last_sample() const;
    uint64_t samples() const;

  protected:
    // The chip's interface is set to 3 wires.
    virtual bool three_wire() const { return false; }
    virtual uint8_t read_register(uint8_t address) = 0;
    virtual void write_register(uint8_t address, uint8_t value) = 0;
    // Time between two samples at the current output data rate.
    virtual Clock::duration output_period() const = 0;
    // Puts one sample into the output registers; returns it in counts.
    virtual std::array<int, 3> latch(const Accel& acceleration) = 0;

    // Called before an output register is read: a new sample when one is due.
    void refresh_outputs();
    // The acceleration the chip feels now.
    Accel sense() const { return source_ ? source_() : Accel{}; }
    // Back to the power-on state of the protocol and the sampling.
    void reset_interface();

  private:
    enum class Phase { kIdle, kCommand, kData };

    Source source_;
    Phase phase_ = Phase::kIdle;
    uint8_t address_ = 0;
    bool reading_ = false;
    bool increment_ = false;
    bool sampled_ = false;
    Clock::time_point sampled_at_{};
    std::array<int, 3> last_{};
    uint64_t samples_ = 0;
};

// Counts for an acceleration at a scale, limited to a signed range of `bits` bits.
int accel_counts(double g, double counts_per_g, unsigned bits);

}  // namespace hw
