// S3C2410 SPI controller, channel 0 (0x59000000): SPCON0, SPSTA0, SPPIN0, SPPRE0, SPTDAT0,
// SPRDAT0.
//
// The controller is a master that exchanges one byte per write of SPTDAT0 with the chip on the
// bus. A byte takes 8 clocks of PCLK / 2 / (SPPRE0 + 1); REDY in SPSTA0 clears when SPTDAT0 is
// written and sets again when the byte is done, and SPRDAT0 then holds the byte received. Writing
// SPTDAT0 or reading SPRDAT0 while a byte is under way sets DCOL (cleared by reading SPSTA0). With
// TAGD set, reading SPRDAT0 sends 0xFF by itself.
//
// The chip select is the GPIO pin GPG2 (low = selected), driven by the driver; the pins GPE11
// (MISO), GPE12 (MOSI) and GPE13 (SCK) must have their SPI function. A byte reaches the chip only
// when it is selected from the start of the byte to its end (REDY): a chip select that rises (or
// falls) while the byte is on the wire cuts it, the chip takes nothing and 0xFF comes back. The
// pins must be set up and the clock polarity and phase (SPCON0 CPOL, CPHA) must be the chip's
// mode; otherwise MISO floats high and 0xFF comes back. A clock above the controller's 25 MHz is
// not clocked reliably: both sides sample a bit late and the bytes arrive shifted by one bit.
//
// SPCON0 SMOD: 00 polling; 01 interrupt mode, the end of every byte raises INT_SPI0; 10 DMA mode,
// the end of a byte requests a DMA transfer (no DMA channel serves it on this board; REDY still
// sets); 11 is reserved and clocks nothing. With ENSCK clear or in slave mode a written byte is
// never clocked out: REDY stays clear. SPPIN0: KEEP (bit 0) only sets the level MOSI keeps between
// bytes; bit 1 is reserved and must be 1 (a 0 is reported); ENMUL (bit 2) makes the controller
// watch its nSS0 input, the pin GPG2: a byte started with GPG2 low is a multi-master error, MULF
// set (cleared by reading SPSTA0) and the byte not sent. With the controller's clock gated off in
// CLKCON its registers read 0 and ignore writes: a dead controller, as a driver sees it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "hw.hpp"
#include "s3c2410_clock.hpp"
#include "s3c2410_gpio.hpp"
#include "s3c2410_intc.hpp"

namespace hw {

// A chip on the SPI bus. All calls come under the machine lock.
class SpiSlave {
  public:
    virtual ~SpiSlave() = default;
    // Chip select went low / high.
    virtual void select() {}
    virtual void deselect() {}
    // One byte in each direction while selected: takes MOSI, returns MISO.
    virtual uint8_t exchange(uint8_t mosi) = 0;
    // The SPI mode (CPOL * 2 + CPHA) the chip works in.
    virtual unsigned spi_mode() const { return 3; }
    virtual std::string_view spi_name() const = 0;
};

class S3c2410Spi : public Device {
  public:
    static constexpr uint32_t kBase = 0x59000000;
    static constexpr unsigned kChipSelectPin = gpio_pin('G', 2);
    static constexpr unsigned kMisoPin = gpio_pin('E', 11);
    static constexpr unsigned kMosiPin = gpio_pin('E', 12);
    static constexpr unsigned kClockPin = gpio_pin('E', 13);

    struct Registers {
        uint8_t spcon = 0x00;
        uint8_t spsta = 0x01;  // REDY
        uint8_t sppin = 0x02;
        uint8_t sppre = 0x00;
        uint8_t sptdat = 0x00;
        uint8_t sprdat = 0x00;
    };

    S3c2410Spi(S3c2410Gpio& gpio, S3c2410Intc& intc, S3c2410Clock& clock);
    ~S3c2410Spi() override;

    uint32_t read(uint32_t offset, unsigned size) override;
    void write(uint32_t offset, uint32_t value, unsigned size) override;
    void reset() override;

    // The chip wired to the bus, or none (nullptr). The chip must outlive the attachment.
    void attach(SpiSlave* slave);
    SpiSlave* attached() const;

    Registers registers() const;
    // Bytes clocked out since power-on (whether or not a chip took them).
    uint64_t bytes() const;

    // The SPI clock, in Hz.
    double baud() const;

  private:
    bool clocked() const;
    bool selected() const;
    unsigned mode_bits() const;
    Clock::duration byte_time() const;
    void start_byte(uint8_t mosi);
    void settle();
    void chip_select_changed(bool level);
    uint8_t exchange_with_chip(uint8_t mosi);
    void report_once(unsigned reason, const std::string& text);

    S3c2410Gpio& gpio_;
    S3c2410Intc& intc_;
    S3c2410Clock& clock_;
    SpiSlave* slave_ = nullptr;
    Registers regs_;
    bool busy_ = false;
    bool stalled_ = false;        // a byte that is never clocked out
    bool cut_ = false;            // the chip select changed while the byte was on the wire
    bool aborted_ = false;        // a multi-master error: the byte never went out
    bool byte_selected_ = false;  // the chip select was low when the byte started
    Clock::time_point done_at_{};
    uint64_t bytes_ = 0;
    unsigned reported_ = 0;  // reasons already logged since power-on
    int select_watch_ = 0;
    Timer byte_done_{[this] { settle(); }};
    MmioMapping mmio_;
};

}  // namespace hw
