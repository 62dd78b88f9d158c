// S3C2410 PWM timers (0x51000000): TCFG0, TCFG1, TCON, TCNTBn, TCMPBn, TCNTOn. Timer 4 is the
// kernel's 200 Hz system tick on the board; the model keeps its registers (boot values: PCLK/6,
// reload 42249), counts TCNTO4 down while it runs and logs the tick rate when it is
// re-programmed. It raises no interrupt: the simulated kernel keeps its own tick.
#pragma once

#include <array>
#include <cstdint>

#include "hw.hpp"
#include "s3c2410_clock.hpp"

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

    explicit S3c2410Pwm(S3c2410Clock& clock);

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    Registers registers() const;
    // Timer 4's tick rate as programmed (0 while stopped).
    double timer4_hz() const;

  private:
    uint32_t timer4_count() const;
    void note_timer4();

    S3c2410Clock& clock_;
    Registers regs_;
    uint32_t loaded4_ = 42249;  // the count in use (TCNTB4 at the last manual update)
    Clock::time_point started4_ = Clock::now();
    double logged_hz_ = 0;
    MmioMapping mmio_;
};

}  // namespace hw
