// S3C2410 GPIO ports and external interrupts.
#include "s3c2410_gpio.hpp"

#include <vector>

namespace hw {

namespace {

constexpr std::array<unsigned, S3c2410Gpio::kPorts> kPinCount{23, 11, 16, 16, 16, 8, 16, 11};

uint32_t pin_mask(unsigned port) {
    return kPinCount[port] == 32 ? 0xFFFFFFFFu : (1u << kPinCount[port]) - 1;
}

}  // namespace

S3c2410Gpio::S3c2410Gpio(S3c2410Intc& intc)
    : Device("s3c2410-gpio"), intc_(intc), mmio_(map_mmio(kBase, 0xC0, *this)) {
    reset();
}

void S3c2410Gpio::reset() {
    MachineGuard guard(machine_lock());
    for (unsigned p = 0; p < kPorts; ++p) {
        Port& port = ports_[p];
        port.con = p == 0 ? 0x7FFFFF : 0;
        port.dat = 0;
        port.up = 0;  // pull-ups enabled
    }
    extint_ = {};
    eintflt_ = {};
    eintmask_ = 0x00FFFFF0;
    eintpend_ = 0;
    misccr_ = 0x00010330;
    dclkcon_ = 0;
    gstatus_ = {0, 0x32410002, 1, 0, 0};
    // Pins driven from outside stay driven: the world does not reset with the board.
    for (unsigned p = 0; p < kPorts; ++p) refresh(p);
    update_parents();
}

int S3c2410Gpio::eint_of(unsigned pin) {
    if (pin >= gpio_pin('F', 0) && pin <= gpio_pin('F', 7)) {
        return static_cast<int>(pin - gpio_pin('F', 0));
    }
    if (pin >= gpio_pin('G', 0) && pin <= gpio_pin('G', 15)) {
        return static_cast<int>(pin - gpio_pin('G', 0) + 8);
    }
    return -1;
}

unsigned S3c2410Gpio::pin_of_eint(unsigned eint) {
    return eint < 8 ? gpio_pin('F', eint) : gpio_pin('G', eint - 8);
}

unsigned S3c2410Gpio::function(unsigned pin) const {
    MachineGuard guard(machine_lock());
    const Port& port = ports_[pin / 32];
    const unsigned n = pin % 32;
    if (pin / 32 == 0) return (port.con >> n) & 1;
    return (port.con >> (2 * n)) & 3;
}

bool S3c2410Gpio::is_output(unsigned pin) const {
    const unsigned f = function(pin);
    return pin / 32 == 0 ? f == 0 : f == kOutput;
}

bool S3c2410Gpio::level(unsigned pin) const {
    MachineGuard guard(machine_lock());
    return (ports_[pin / 32].levels >> (pin % 32)) & 1;
}

uint32_t S3c2410Gpio::compute_levels(unsigned p) const {
    const Port& port = ports_[p];
    uint32_t levels = 0;
    for (unsigned n = 0; n < kPinCount[p]; ++n) {
        const uint32_t bit = 1u << n;
        const bool output = p == 0 ? ((port.con & bit) == 0) : (((port.con >> (2 * n)) & 3) == 1);
        bool high;
        if (output) {
            high = port.dat & bit;
        } else if (port.driven & bit) {
            high = port.driven_level & bit;
        } else {
            high = p != 0 && (port.up & bit) == 0;  // pull-up enabled
        }
        if (high) levels |= bit;
    }
    return levels;
}

// Recomputes a port's pin levels, detects edges on its external interrupt pins and tells the
// watchers of the pins that changed.
void S3c2410Gpio::refresh(unsigned p) {
    Port& port = ports_[p];
    const uint32_t old_levels = port.levels;
    port.levels = compute_levels(p);
    const uint32_t changed = (old_levels ^ port.levels) & pin_mask(p);
    if (changed != 0) {
        for (unsigned n = 0; n < kPinCount[p]; ++n) {
            if (!(changed & (1u << n))) continue;
            const int eint = eint_of(p * 32 + n);
            if (eint >= 0) {
                eint_edge(static_cast<unsigned>(eint), (old_levels >> n) & 1,
                          (port.levels >> n) & 1);
            }
        }
    }
    evaluate_levels();
    if (changed == 0) return;
    std::vector<std::pair<std::function<void(bool)>, bool>> calls;
    for (const auto& [id, w] : watches_) {
        if (w.pin / 32 == p && (changed & (1u << (w.pin % 32)))) {
            calls.emplace_back(w.on_change, (port.levels >> (w.pin % 32)) & 1);
        }
    }
    for (auto& [fn, lvl] : calls) fn(lvl);
}

unsigned S3c2410Gpio::trigger_mode(unsigned eint) const {
    return (extint_[eint / 8] >> (4 * (eint % 8))) & 7;
}

bool S3c2410Gpio::eint_enabled(unsigned eint) const {
    const unsigned pin = pin_of_eint(eint);
    const Port& port = ports_[pin / 32];
    return ((port.con >> (2 * (pin % 32))) & 3) == kFunction2;
}

void S3c2410Gpio::eint_edge(unsigned eint, bool old_level, bool new_level) {
    if (!eint_enabled(eint)) return;
    const unsigned mode = trigger_mode(eint);
    const bool falling = old_level && !new_level;
    const bool rising = !old_level && new_level;
    const bool hit = (mode == 2 || mode == 3)   ? falling
                     : (mode == 4 || mode == 5) ? rising
                     : (mode >= 6)              ? (falling || rising)
                                                : false;
    if (hit) eint_pend(eint);
}

void S3c2410Gpio::eint_pend(unsigned eint) {
    if (eint < 4) {
        intc_.raise(eint);
    } else {
        eintpend_ |= 1u << eint;
        update_parents();
    }
}

// Level triggers: pending for as long as the level lasts (a cleared pending bit comes back).
void S3c2410Gpio::evaluate_levels() {
    for (unsigned eint = 0; eint < 24; ++eint) {
        const unsigned mode = trigger_mode(eint);
        const unsigned pin = pin_of_eint(eint);
        const bool high = (ports_[pin / 32].levels >> (pin % 32)) & 1;
        const bool active = eint_enabled(eint) && ((mode == 0 && !high) || (mode == 1 && high));
        if (eint < 4) {
            intc_.set_request(eint, active);
        } else if (active) {
            eintpend_ |= 1u << eint;
        }
    }
    update_parents();
}

void S3c2410Gpio::update_parents() {
    const uint32_t live = eintpend_ & ~eintmask_;
    intc_.set_request(S3c2410Intc::kEint4to7, (live & 0xF0u) != 0);
    intc_.set_request(S3c2410Intc::kEint8to23, (live & 0xFFFF00u) != 0);
}

void S3c2410Gpio::drive(unsigned pin, bool level) {
    MachineGuard guard(machine_lock());
    Port& port = ports_[pin / 32];
    const uint32_t bit = 1u << (pin % 32);
    port.driven |= bit;
    if (level) {
        port.driven_level |= bit;
    } else {
        port.driven_level &= ~bit;
    }
    refresh(pin / 32);
}

void S3c2410Gpio::release(unsigned pin) {
    MachineGuard guard(machine_lock());
    Port& port = ports_[pin / 32];
    port.driven &= ~(1u << (pin % 32));
    refresh(pin / 32);
}

int S3c2410Gpio::watch(unsigned pin, std::function<void(bool level)> on_change) {
    MachineGuard guard(machine_lock());
    const int id = next_watch_++;
    watches_[id] = Watch{pin, std::move(on_change)};
    return id;
}

void S3c2410Gpio::unwatch(int id) {
    MachineGuard guard(machine_lock());
    watches_.erase(id);
}

uint32_t S3c2410Gpio::read(uint32_t offset, unsigned) {
    offset &= ~3u;
    if (offset < 0x80) {
        const unsigned p = offset / 0x10;
        const Port& port = ports_[p];
        switch (offset % 0x10) {
            case 0x0:
                return port.con;
            case 0x4: {
                // Outputs read back their latch, every other pin its level.
                uint32_t value = 0;
                for (unsigned n = 0; n < kPinCount[p]; ++n) {
                    const uint32_t bit = 1u << n;
                    const bool output =
                        p == 0 ? ((port.con & bit) == 0) : (((port.con >> (2 * n)) & 3) == 1);
                    if ((output ? port.dat : port.levels) & bit) value |= bit;
                }
                return value;
            }
            case 0x8:
                return p == 0 ? 0 : port.up;
            default:
                return 0;
        }
    }
    switch (offset) {
        case 0x80:
            return misccr_;
        case 0x84:
            return dclkcon_;
        case 0x88:
            return extint_[0];
        case 0x8C:
            return extint_[1];
        case 0x90:
            return extint_[2];
        case 0x94:
            return eintflt_[0];
        case 0x98:
            return eintflt_[1];
        case 0x9C:
            return eintflt_[2];
        case 0xA0:
            return eintflt_[3];
        case 0xA4:
            return eintmask_;
        case 0xA8:
            return eintpend_;
        case 0xAC:
            return gstatus_[0];
        case 0xB0:
            return gstatus_[1];
        case 0xB4:
            return gstatus_[2];
        case 0xB8:
            return gstatus_[3];
        case 0xBC:
            return gstatus_[4];
        default:
            return 0;
    }
}

void S3c2410Gpio::write(uint32_t offset, uint32_t value, unsigned) {
    offset &= ~3u;
    if (offset < 0x80) {
        const unsigned p = offset / 0x10;
        Port& port = ports_[p];
        switch (offset % 0x10) {
            case 0x0:
                port.con = value;
                break;
            case 0x4:
                port.dat = value & pin_mask(p);
                break;
            case 0x8:
                if (p != 0) port.up = value & pin_mask(p);
                break;
            default:
                return;
        }
        refresh(p);
        return;
    }
    switch (offset) {
        case 0x80:
            misccr_ = value;
            break;
        case 0x84:
            dclkcon_ = value;
            break;
        case 0x88:
            extint_[0] = value;
            break;
        case 0x8C:
            extint_[1] = value;
            break;
        case 0x90:
            extint_[2] = value;
            break;
        case 0x94:
            eintflt_[0] = value;
            break;
        case 0x98:
            eintflt_[1] = value;
            break;
        case 0x9C:
            eintflt_[2] = value;
            break;
        case 0xA0:
            eintflt_[3] = value;
            break;
        case 0xA4:
            eintmask_ = value & 0x00FFFFF0;
            break;
        case 0xA8:
            eintpend_ &= ~value;
            break;  // write 1 to clear
        case 0xB8:
            gstatus_[3] = value;
            break;
        case 0xBC:
            gstatus_[4] = value;
            break;
        case 0xB4:
            gstatus_[2] &= ~value;
            break;
        default:
            return;
    }
    evaluate_levels();
}

}  // namespace hw
