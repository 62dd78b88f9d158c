// The battery-backed real-time clock at I2C address 0x68.
//
// Eight registers behind a register pointer: 0 seconds (bit 7: clock halt), 1 minutes, 2 hours
// (24-hour), 3 day of week (1..7), 4 day of month, 5 month, 6 year within the century, all BCD,
// and 7 control. A write sets the pointer with its first byte and writes the bytes after it from
// there on; a read returns the registers from the pointer on. The pointer wraps from 7 to 0.
//
// The clock runs in real time from the moment it was set, also while the board is off or
// simboard does not run (it has its battery): its state is the registers as last set and the
// PC's UTC time at that moment, kept in a file so that it survives reboots and board restarts.
// A halted clock, or registers that are no date, stand still.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "i2c_chip.hpp"

namespace hw {

struct RtcDate {
    int year = 2000;  // 2000..2099
    int month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

// "YYYY-MM-DD HH:MM:SS" (one or two arguments' text joined by a space); years 2000..2099.
std::optional<RtcDate> parse_rtc_date(std::string_view text);

class Rtc : public I2cChip {
  public:
    static constexpr uint16_t kAddress = 0x68;
    static constexpr size_t kRegisters = 8;
    using Registers = std::array<uint8_t, kRegisters>;
    // The PC's UTC time in seconds (replaceable for tests).
    using Clock = std::function<double()>;

    explicit Rtc(Clock clock = {});

    // Reads the state file; a missing file gives a clock set to the PC's UTC time, a damaged one
    // a flat battery (reported in `message`, the damaged file kept beside as "<file>.bad").
    void load(const std::filesystem::path& file, std::string& message);

    // I2cChip
    bool acknowledges() const override;
    void write(std::span<const uint8_t> bytes) override;
    void read(std::span<uint8_t> out) override;

    // The scenario's hands on it.
    void set(const RtcDate& date);     // set and running
    void flat_battery();               // halted at 2000-01-01 00:00:00, which is no valid date
    void set_readable(bool readable);  // unreadable: does not acknowledge its address

    Registers registers() const;   // as a read would see them now
    std::string describe() const;  // "2024-06-25 12:00:01 running", "halted at ..."

  private:
    Registers now_registers() const;      // with mutex_ held
    std::string describe_locked() const;  // with mutex_ held
    void store(const Registers& regs);    // with mutex_ held: new base, saved
    void save() const;                    // with mutex_ held

    Clock clock_;
    mutable std::mutex mutex_;
    std::filesystem::path file_;
    Registers base_{};      // the registers as last set
    double base_time_ = 0;  // PC UTC time when they were set
    uint8_t pointer_ = 0;
    bool readable_ = true;
};

// BCD <-> binary of one register.
uint8_t to_bcd(int v);
int from_bcd(uint8_t v);  // -1 when a nibble is not a decimal digit

}  // namespace hw
