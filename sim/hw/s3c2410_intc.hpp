// S3C2410 interrupt controller (0x4A000000): SRCPND, INTMOD, INTMSK, PRIORITY, INTPND, INTOFFSET,
// SUBSRCPND, INTSUBMSK. It drives the processor's IRQ input while INTPND is set.
//
// Sources are the SRCPND bit numbers (IRQ number - 16 in the kernel's numbering). A model raises
// an internal source with raise() (an event, latched until the kernel clears it) or holds it
// with set_request() (a level: cleared pending bits come back while it is held). The UART and ADC
// sub-sources go through raise_sub() and reach their parent when not masked in INTSUBMSK.
// External interrupts come from the GPIO block (s3c2410_gpio.hpp), not from here.
#pragma once

#include <cstdint>

#include "hw.hpp"

namespace hw {

class S3c2410Intc : public Device {
  public:
    static constexpr uint32_t kBase = 0x4A000000;

    enum Source : unsigned {
        kEint0 = 0,
        kEint1 = 1,
        kEint2 = 2,
        kEint3 = 3,
        kEint4to7 = 4,
        kEint8to23 = 5,
        kBattFlt = 7,
        kTick = 8,
        kWdt = 9,
        kTimer0 = 10,
        kTimer1 = 11,
        kTimer2 = 12,
        kTimer3 = 13,
        kTimer4 = 14,
        kUart2 = 15,
        kLcd = 16,
        kDma0 = 17,
        kDma1 = 18,
        kDma2 = 19,
        kDma3 = 20,
        kSdi = 21,
        kSpi0 = 22,
        kUart1 = 23,
        kUsbd = 25,
        kUsbh = 26,
        kIic = 27,
        kUart0 = 28,
        kSpi1 = 29,
        kRtc = 30,
        kAdc = 31,
    };
    enum SubSource : unsigned {
        kRxd0 = 0,
        kTxd0 = 1,
        kErr0 = 2,
        kRxd1 = 3,
        kTxd1 = 4,
        kErr1 = 5,
        kRxd2 = 6,
        kTxd2 = 7,
        kErr2 = 8,
        kSubTc = 9,
        kSubAdc = 10,
    };

    struct Registers {
        uint32_t srcpnd = 0;
        uint32_t intmod = 0;
        uint32_t intmsk = 0xFFFFFFFF;
        uint32_t priority = 0x7F;
        uint32_t intpnd = 0;
        uint32_t intoffset = 0;
        uint32_t subsrcpnd = 0;
        uint32_t intsubmsk = 0x7FF;
    };

    S3c2410Intc();

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    void raise(unsigned source);
    void set_request(unsigned source, bool active);
    void raise_sub(unsigned sub_source);

    Registers registers() const;

  private:
    void update();

    Registers regs_;
    uint32_t requests_ = 0;  // sources held active
    bool fiq_reported_ = false;
    MmioMapping mmio_;
};

}  // namespace hw
