// The audio codec at I2C address 0x1A. A write is a register byte and its value (further bytes
// go to the registers after it); register 0x6D is the output (speaker) volume and 0x5A the
// microphone volume. Every register write goes to the write log, one line each, "reg 0xRR =
// 0xVV (decimal)" with the register's name when it has one. A read returns the register last
// addressed. The registers lose their values when the board loses power.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "i2c_chip.hpp"

namespace hw {

class Codec : public I2cChip {
  public:
    static constexpr uint16_t kAddress = 0x1A;
    static constexpr uint8_t kOutputVolume = 0x6D;
    static constexpr uint8_t kMicVolume = 0x5A;

    // Where register writes are logged, one line a write (none: not logged).
    void set_write_log(std::function<void(std::string_view line)> log);
    void reset();  // power-on: nothing set

    // I2cChip
    void write(std::span<const uint8_t> bytes) override;
    void read(std::span<uint8_t> out) override;

    // -1 while not set since power-on.
    int output_volume() const;
    int mic_volume() const;
    unsigned writes() const;
    std::string describe() const;  // "out 40 mic 56 (12 writes)"

  private:
    mutable std::mutex mutex_;
    std::array<int, 256> registers_ = filled();
    uint8_t pointer_ = 0;
    unsigned writes_ = 0;
    std::function<void(std::string_view)> log_;

    static std::array<int, 256> filled() {
        std::array<int, 256> a{};
        a.fill(-1);
        return a;
    }
};

}  // namespace hw
