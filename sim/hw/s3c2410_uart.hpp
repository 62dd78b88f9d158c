// S3C2410 UART registers of the three ports (0x50000000, 0x50004000, 0x50008000): ULCON, UCON,
// UFCON, UMCON, UTRSTAT, UERSTAT, UFSTAT, UMSTAT, UTXH, URXH, UBRDIV. The programs reach the
// serial peers through the board's PTYs, not through these registers; the model keeps the
// configuration (readable back, the baud rate logged when it changes) and hands bytes written to
// UTXH to a listener.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "hw.hpp"
#include "s3c2410_clock.hpp"

namespace hw {

class S3c2410Uart : public Device {
  public:
    static constexpr uint32_t kBase = 0x50000000;
    static constexpr uint32_t kPortStride = 0x4000;
    static constexpr unsigned kPorts = 3;

    struct Port {
        uint32_t ulcon = 0x03;
        uint32_t ucon = 0x245;
        uint32_t ufcon = 0;
        uint32_t umcon = 0;
        uint32_t ubrdiv = 0;
    };

    explicit S3c2410Uart(S3c2410Clock& clock);

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    Port port(unsigned n) const;
    unsigned baud(unsigned n) const;
    void on_transmit(std::function<void(unsigned port, uint8_t byte)> listener);

  private:
    void note_baud(unsigned n);

    S3c2410Clock& clock_;
    std::array<Port, kPorts> ports_;
    std::array<unsigned, kPorts> logged_baud_{};
    std::function<void(unsigned, uint8_t)> transmit_;
    MmioMapping mmio_;
};

}  // namespace hw
