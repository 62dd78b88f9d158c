// The S3C2410's on-chip peripherals that the board's drivers share: interrupt controller, GPIO
// and external interrupts, clock and power, memory controller, PWM timers, UART registers. The
// board creates one S3c2410 (it maps every block); the models of SPI0, the ADC and the chips on
// the board are separate devices that plug in beside it (see hw.hpp) and use its GPIO pins,
// interrupt controller and clock.
#pragma once

#include "hw.hpp"
#include "s3c2410_clock.hpp"
#include "s3c2410_gpio.hpp"
#include "s3c2410_intc.hpp"
#include "s3c2410_memctrl.hpp"
#include "s3c2410_pwm.hpp"
#include "s3c2410_uart.hpp"

namespace hw {

struct S3c2410 {
    S3c2410Intc intc;
    S3c2410Gpio gpio{intc};
    S3c2410Clock clock;
    S3c2410MemCtrl memctrl;
    S3c2410Pwm pwm{clock, intc};
    S3c2410Uart uart{clock};
};

}  // namespace hw
