// S3C2410 GPIO ports A..H (0x56000000) with the external interrupt block: EXTINT0..2 (trigger
// modes), EINTFLT, EINTMASK and EINTPEND (external interrupts 4..23), MISCCR, GSTATUS.
//
// Pins are numbered as the kernel numbers them: bank * 32 + offset (GPA0 = 0, GPE11 = 139,
// GPF0 = 160, GPG1 = 193); gpio_pin('G', 1) spells one.
//
// The level of a pin: its data latch when it is an output, otherwise what drives it from outside
// (drive(): a button, a chip's interrupt output, the board's scenario), otherwise its pull-up
// (enabled: high) or low. Every change of a pin's level reaches its watchers (a chip select, a
// reset line, the board observing a line the driver drives). On the external interrupt pins
// (GPF0..7 = EINT0..7, GPG0..15 = EINT8..23) set to their EINT function, an edge or level of the
// kind EXTINTn selects makes the interrupt pending: EINT0..3 in SRCPND, EINT4..23 in EINTPEND,
// forwarded to SRCPND (EINT4t7, EINT8t23) while not masked in EINTMASK.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>

#include "hw.hpp"
#include "s3c2410_intc.hpp"

namespace hw {

constexpr unsigned gpio_pin(char port, unsigned offset) {
    return static_cast<unsigned>(port - 'A') * 32 + offset;
}

class S3c2410Gpio : public Device {
  public:
    static constexpr uint32_t kBase = 0x56000000;
    static constexpr unsigned kPorts = 8;

    enum Function : unsigned { kInput = 0, kOutput = 1, kFunction2 = 2, kFunction3 = 3 };

    explicit S3c2410Gpio(S3c2410Intc& intc);

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    // The outside world on a pin.
    void drive(unsigned pin, bool level);
    void release(unsigned pin);  // stop driving: the pull-up (or low) decides

    bool level(unsigned pin) const;
    // The pin's function field (port A: 1 = its bus function, 0 = output).
    unsigned function(unsigned pin) const;
    bool is_output(unsigned pin) const;

    // Calls `on_change(level)` on every change of the pin's level; returns an id for unwatch().
    int watch(unsigned pin, std::function<void(bool level)> on_change);
    void unwatch(int id);

    // The external interrupt an EINT pin carries (0..23), or -1.
    static int eint_of(unsigned pin);
    static unsigned pin_of_eint(unsigned eint);

  private:
    struct Port {
        uint32_t con = 0;
        uint32_t dat = 0;
        uint32_t up = 0;
        uint32_t driven = 0;        // pins driven from outside
        uint32_t driven_level = 0;  // and their levels
        uint32_t levels = 0;        // current pin levels
    };
    struct Watch {
        unsigned pin;
        std::function<void(bool)> on_change;
    };

    uint32_t compute_levels(unsigned port) const;
    void refresh(unsigned port);
    void eint_edge(unsigned eint, bool old_level, bool new_level);
    void eint_pend(unsigned eint);
    unsigned trigger_mode(unsigned eint) const;
    bool eint_enabled(unsigned eint) const;
    void evaluate_levels();
    void update_parents();

    S3c2410Intc& intc_;
    std::array<Port, kPorts> ports_;
    std::array<uint32_t, 3> extint_{};
    std::array<uint32_t, 4> eintflt_{};
    uint32_t eintmask_ = 0x00FFFFF0;
    uint32_t eintpend_ = 0;
    uint32_t misccr_ = 0x00010330;
    uint32_t dclkcon_ = 0;
    std::array<uint32_t, 5> gstatus_{};
    std::map<int, Watch> watches_;
    int next_watch_ = 1;
    MmioMapping mmio_;
};

}  // namespace hw
