// S3C2410 PWM timers (0x51000000): TCFG0, TCFG1, TCON, TCNTBn, TCMPBn, TCNTOn. Timer 4 is the
// kernel's 200 Hz system tick on the board (boot values: PCLK / 6, reload 42249). While it runs
// (TCON bit 20) it counts TCNTO4 down from the count loaded at the last manual update (bit 21)
// at PCLK / (prescaler + 1) / divider, and raises INT_TIMER4 every time it reaches zero: again
// and again with auto-reload (bit 22), once without. A change of the clock or of the prescaler
// and divider takes effect at once. The tick rate is logged when it changes. Timers 0..3 keep
// their registers only.
#pragma once

#include <array>
#include <cstdint>

#include "hw.hpp"
#include "s3c2410_clock.hpp"
#include "s3c2410_intc.hpp"

namespace hw {

class S3c2410Pwm : public Device {
  public:
    static constexpr uint32_t kBase = 0x51000000;

    struct Registers {
        uint32_t tcfg0 = 0x00000200;  // prescaler of timers 2..4: 2 (divide by 3)
        uint32_t tcfg1 = 0;           // timer 4 divider 1/2
        uint32_t tcon = 0x00500000;   // timer 4 auto-reload, started
        std::array<uint32_t, 5> tcntb{0, 0, 0, 0, 42249};
        std::array<uint32_t, 4> tcmpb{};
    };

    S3c2410Pwm(S3c2410Clock& clock, S3c2410Intc& intc);

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    Registers registers() const;
    // Timer 4's tick rate as programmed (0 while stopped).
    double timer4_hz() const;
    // Times timer 4 reached zero since power-on.
    uint64_t timer4_ticks() const;

  private:
    double rate4() const;
    uint32_t timer4_count() const;
    void note_timer4();
    void schedule4();
    void tick4();

    S3c2410Clock& clock_;
    S3c2410Intc& intc_;
    Registers regs_;
    uint32_t loaded4_ = 42249;  // the count in use (TCNTB4 at the last manual update)
    Clock::time_point started4_ = Clock::now();
    bool ran_out4_ = false;  // a one-shot count that reached zero
    uint64_t ticks4_ = 0;
    double logged_hz_ = 0;
    Timer tick_{[this] { tick4(); }};
    MmioMapping mmio_;
};

}  // namespace hw
