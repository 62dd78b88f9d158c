// S3C2410 memory controller (0x48000000): BWSCON, BANKCON0..7, REFRESH, BANKSIZE, MRSRB6/7, with
// the values the boot loader leaves (the coprocessors on banks 2 and 3, 16 bits wide; SDRAM on
// bank 6). Registers only: they store what is written and read it back.
#pragma once

#include <array>
#include <cstdint>

#include "hw.hpp"

namespace hw {

class S3c2410MemCtrl : public Device {
  public:
    static constexpr uint32_t kBase = 0x48000000;
    static constexpr unsigned kRegisters = 13;
    static constexpr std::array<uint32_t, kRegisters> kBootValues{
        0x22111112,                                      // BWSCON
        0x00000700, 0x00000700, 0x00000700, 0x00000700,  // BANKCON0..3
        0x00000700, 0x00000700, 0x00018005, 0x00018005,  // BANKCON4..7
        0x008E04F5, 0x000000B1, 0x00000030, 0x00000030,  // REFRESH, BANKSIZE, MRSRB6, MRSRB7
    };

    S3c2410MemCtrl();

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

  private:
    std::array<uint32_t, kRegisters> regs_ = kBootValues;
    MmioMapping mmio_;
};

}  // namespace hw
