// A chip on one of the board's I2C buses (the RTC and the codec on bus 0). The bus (the board's
// i2c-dev driver, sim/board/peers/i2c.hpp) addresses it and runs one transfer at a time; the chip
// sees the bytes after its address, as on the wire. An I2C chip is not on the processor's bus:
// it keeps its own lock instead of the machine lock.
#pragma once

#include <cstdint>
#include <span>

namespace hw {

class I2cChip {
  public:
    virtual ~I2cChip() = default;
    // False: the chip does not acknowledge its address.
    virtual bool acknowledges() const { return true; }
    // A write transfer (start, address, bytes, stop or repeated start).
    virtual void write(std::span<const uint8_t> bytes) = 0;
    // A read transfer: fills `out`.
    virtual void read(std::span<uint8_t> out) = 0;
};

}  // namespace hw
