// S3C2410 SPI controller, channel 0.
#include "s3c2410_spi.hpp"

namespace hw {

namespace {

constexpr uint32_t kSpcon = 0x00;
constexpr uint32_t kSpsta = 0x04;
constexpr uint32_t kSppin = 0x08;
constexpr uint32_t kSppre = 0x0C;
constexpr uint32_t kSptdat = 0x10;
constexpr uint32_t kSprdat = 0x14;

constexpr double kMaxBaud = 25e6;  // the controller's fastest clock

constexpr uint8_t kSpconTagd = 1u << 0;
constexpr uint8_t kSpconCpha = 1u << 1;
constexpr uint8_t kSpconCpol = 1u << 2;
constexpr uint8_t kSpconMaster = 1u << 3;
constexpr uint8_t kSpconEnsck = 1u << 4;
constexpr unsigned kSmodShift = 5;
constexpr unsigned kSmodInterrupt = 1;
constexpr unsigned kSmodDma = 2;
constexpr unsigned kSmodReserved = 3;

constexpr uint8_t kPinKeep = 1u << 0;
constexpr uint8_t kPinReserved = 1u << 1;  // must be 1
constexpr uint8_t kPinEnmul = 1u << 2;

constexpr uint8_t kStaReady = 1u << 0;
constexpr uint8_t kStaMulf = 1u << 1;
constexpr uint8_t kStaDcol = 1u << 2;

// Reasons for a byte that reaches no chip (logged once each per power-on).
enum Reason : unsigned {
    kPins = 1u << 0,
    kMode = 1u << 1,
    kStall = 1u << 2,
    kGated = 1u << 3,
    kCut = 1u << 4,
    kFast = 1u << 5,
    kMultiMaster = 1u << 6,
    kReservedPin = 1u << 7,
    kSmod = 1u << 8,
};

// A byte clocked too fast: sampled one bit late.
uint8_t late(uint8_t byte) {
    return static_cast<uint8_t>(0x80 | byte >> 1);
}

}  // namespace

S3c2410Spi::S3c2410Spi(S3c2410Gpio& gpio, S3c2410Intc& intc, S3c2410Clock& clock)
    : Device("s3c2410-spi0"),
      gpio_(gpio),
      intc_(intc),
      clock_(clock),
      mmio_(map_mmio(kBase, 0x20, *this)) {
    select_watch_ = gpio_.watch(kChipSelectPin, [this](bool level) { chip_select_changed(level); });
}

S3c2410Spi::~S3c2410Spi() {
    gpio_.unwatch(select_watch_);
}

void S3c2410Spi::reset() {
    MachineGuard guard(machine_lock());
    regs_ = Registers{};
    busy_ = false;
    stalled_ = false;
    cut_ = false;
    aborted_ = false;
    byte_selected_ = false;
    bytes_ = 0;
    reported_ = 0;
    byte_done_.cancel();
}

void S3c2410Spi::attach(SpiSlave* slave) {
    MachineGuard guard(machine_lock());
    if (slave_ != nullptr && !gpio_.level(kChipSelectPin)) slave_->deselect();
    slave_ = slave;
    logf("s3c2410-spi0: %s on the bus", slave == nullptr ? "no chip" : slave->spi_name().data());
}

SpiSlave* S3c2410Spi::attached() const {
    MachineGuard guard(machine_lock());
    return slave_;
}

S3c2410Spi::Registers S3c2410Spi::registers() const {
    MachineGuard guard(machine_lock());
    return regs_;
}

uint64_t S3c2410Spi::bytes() const {
    MachineGuard guard(machine_lock());
    return bytes_;
}

bool S3c2410Spi::clocked() const {
    return clock_.enabled(S3c2410Clock::kSpi);
}

bool S3c2410Spi::selected() const {
    return !gpio_.level(kChipSelectPin);
}

unsigned S3c2410Spi::mode_bits() const {
    return (regs_.spcon >> kSmodShift) & 3u;
}

double S3c2410Spi::baud() const {
    MachineGuard guard(machine_lock());
    return static_cast<double>(clock_.pclk_hz()) / 2.0 / (regs_.sppre + 1.0);
}

Clock::duration S3c2410Spi::byte_time() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(8.0 / baud()));
}

void S3c2410Spi::report_once(unsigned reason, const std::string& text) {
    if (reported_ & reason) return;
    reported_ |= reason;
    logf("s3c2410-spi0: %s", text.c_str());
}

// The chip select moved: a byte that was done first ends as it was; one still on the wire is cut.
void S3c2410Spi::chip_select_changed(bool level) {
    if (busy_ && !stalled_) {
        settle();
        if (busy_) cut_ = true;
    }
    if (slave_ == nullptr) return;
    if (level) {
        slave_->deselect();
    } else {
        slave_->select();
    }
}

// What the chip answers to one byte, or 0xFF when it cannot hear it (MISO floats high).
uint8_t S3c2410Spi::exchange_with_chip(uint8_t mosi) {
    if (slave_ == nullptr) return 0xFF;
    const bool pins = gpio_.function(kMisoPin) == S3c2410Gpio::kFunction2 &&
                      gpio_.function(kMosiPin) == S3c2410Gpio::kFunction2 &&
                      gpio_.function(kClockPin) == S3c2410Gpio::kFunction2;
    if (!pins) {
        report_once(kPins, "byte sent with GPE11..13 not set to their SPI functions");
        return 0xFF;
    }
    const unsigned mode =
        ((regs_.spcon & kSpconCpol) ? 2u : 0u) | ((regs_.spcon & kSpconCpha) ? 1u : 0u);
    if (mode != slave_->spi_mode()) {
        report_once(kMode, "SPI mode " + std::to_string(mode) + ", but the " +
                               std::string(slave_->spi_name()) + " works in mode " +
                               std::to_string(slave_->spi_mode()));
        return 0xFF;
    }
    if (static_cast<double>(clock_.pclk_hz()) / 2.0 / (regs_.sppre + 1.0) > kMaxBaud) {
        report_once(kFast, "SPI clock above 25 MHz (SPPRE0 " + std::to_string(regs_.sppre) +
                               "): bytes arrive shifted");
        return late(slave_->exchange(late(mosi)));
    }
    return slave_->exchange(mosi);
}

void S3c2410Spi::start_byte(uint8_t mosi) {
    regs_.sptdat = mosi;
    regs_.spsta &= static_cast<uint8_t>(~kStaReady);
    busy_ = true;
    cut_ = false;
    aborted_ = false;
    byte_selected_ = selected();
    if (!(regs_.spcon & kSpconMaster) || !(regs_.spcon & kSpconEnsck) ||
        mode_bits() == kSmodReserved) {
        // Nothing drives the clock: the byte waits for ever.
        stalled_ = true;
        report_once(mode_bits() == kSmodReserved ? kSmod : kStall,
                    mode_bits() == kSmodReserved
                        ? "byte written in the reserved mode SMOD 11; never sent"
                        : "byte written with the clock disabled or in slave mode; never sent");
        return;
    }
    stalled_ = false;
    if ((regs_.sppin & kPinEnmul) && selected()) {
        // nSS0 (GPG2) low while this controller is master: another master owns the bus.
        regs_.spsta |= kStaMulf;
        aborted_ = true;
        report_once(kMultiMaster, "multi-master error: ENMUL set and nSS0 (GPG2) low");
    }
    if (!aborted_) ++bytes_;
    done_at_ = Clock::now() + byte_time();
    if (mode_bits() == kSmodInterrupt) byte_done_.arm_at(done_at_);
}

// Completes the byte under way once its time is up: the chip takes it and answers, if it was
// selected for the whole byte.
void S3c2410Spi::settle() {
    if (!busy_ || stalled_ || Clock::now() < done_at_) return;
    busy_ = false;
    if (aborted_) {
        regs_.sprdat = 0xFF;
    } else if (cut_) {
        report_once(kCut, "chip select changed before the byte was done; the byte is lost");
        regs_.sprdat = 0xFF;
    } else if (!byte_selected_) {
        regs_.sprdat = 0xFF;  // no chip listens: MISO floats high
    } else {
        regs_.sprdat = exchange_with_chip(regs_.sptdat);
    }
    regs_.spsta |= kStaReady;
    if (mode_bits() == kSmodInterrupt) intc_.raise(S3c2410Intc::kSpi0);
    if (mode_bits() == kSmodDma) report_once(kSmod, "DMA mode: no DMA channel serves SPI0");
}

uint32_t S3c2410Spi::read(uint32_t offset, unsigned) {
    if (!clocked()) {
        report_once(kGated, "register read with its clock off in CLKCON");
        return 0;
    }
    settle();
    switch (offset & ~3u) {
        case kSpcon:
            return regs_.spcon;
        case kSpsta: {
            const uint8_t value = regs_.spsta;
            regs_.spsta &= static_cast<uint8_t>(~(kStaDcol | kStaMulf));
            return value;
        }
        case kSppin:
            return regs_.sppin;
        case kSppre:
            return regs_.sppre;
        case kSptdat:
            return regs_.sptdat;
        case kSprdat: {
            if (busy_) {
                regs_.spsta |= kStaDcol;
                return regs_.sprdat;
            }
            const uint8_t value = regs_.sprdat;
            if (regs_.spcon & kSpconTagd) start_byte(0xFF);
            return value;
        }
        default:
            return 0;
    }
}

void S3c2410Spi::write(uint32_t offset, uint32_t value, unsigned) {
    if (!clocked()) {
        report_once(kGated, "register write with its clock off in CLKCON");
        return;
    }
    settle();
    const auto byte = static_cast<uint8_t>(value);
    switch (offset & ~3u) {
        case kSpcon:
            regs_.spcon = byte & 0x7F;
            break;
        case kSppin:
            regs_.sppin = byte & (kPinKeep | kPinReserved | kPinEnmul);
            if (!(byte & kPinReserved)) report_once(kReservedPin, "SPPIN0 bit 1 written 0");
            break;
        case kSppre:
            regs_.sppre = byte;
            break;
        case kSptdat:
            if (busy_) {
                regs_.spsta |= kStaDcol;
                break;
            }
            start_byte(byte);
            break;
        default:
            break;
    }
}

}  // namespace hw
