// MT9V111 VGA system-on-chip sensor: 8-bit register addresses with 16-bit values, bus address
// 0xB8. Register 0x01 selects the register page on both pages: 0x0004 the sensor core, 0x0001
// the image flow processor. On the core page register 0xFF reads the chip version 0x823A.
// One-byte transfers move only the high byte (a read) or are not committed (a write).
#pragma once

#include <array>

#include "image_sensor.hpp"

namespace hw {

class Mt9v111 : public ImageSensor {
  public:
    static constexpr uint8_t kAddress = 0xB8;
    static constexpr uint16_t kChipVersion = 0x823A;

    Mt9v111() { reset(); }

    SensorKind kind() const override { return SensorKind::kMt9v111; }
    uint8_t bus_address() const override { return kAddress; }
    void reset() override;
    bool read(uint8_t reg, unsigned width, uint16_t& value) override;
    bool write(uint8_t reg, unsigned width, uint16_t value) override;

    // The register of the given page (kCorePage or kIfpPage).
    uint16_t reg(uint16_t page, uint8_t r) const;
    static constexpr uint16_t kCorePage = 0x0004;
    static constexpr uint16_t kIfpPage = 0x0001;

  private:
    std::array<uint16_t, 256>& page_regs();

    uint16_t page_ = kIfpPage;
    std::array<uint16_t, 256> core_{};
    std::array<uint16_t, 256> ifp_{};
};

}  // namespace hw
