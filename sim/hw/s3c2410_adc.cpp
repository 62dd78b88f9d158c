// S3C2410 ADC.
#include "s3c2410_adc.hpp"

#include <algorithm>

namespace hw {

namespace {

constexpr uint32_t kAdccon = 0x00;
constexpr uint32_t kAdctsc = 0x04;
constexpr uint32_t kAdcdly = 0x08;
constexpr uint32_t kAdcdat0 = 0x0C;
constexpr uint32_t kAdcdat1 = 0x10;

constexpr uint32_t kPrescalerEnable = 1u << 14;
constexpr unsigned kPrescalerShift = 6;
constexpr uint32_t kEnableStart = 1u << 0;
constexpr uint32_t kReadStart = 1u << 1;
constexpr uint32_t kStandby = 1u << 2;
constexpr unsigned kMuxShift = 3;
constexpr uint32_t kEndOfConversion = 1u << 15;
constexpr uint32_t kWritable = 0x7FFF & ~kEnableStart;

enum Reason : unsigned { kNoPrescaler = 1, kNoDelay = 2, kTooFast = 4 };

}  // namespace

S3c2410Adc::S3c2410Adc(S3c2410Intc& intc, S3c2410Clock& clock)
    : Device("s3c2410-adc"), intc_(intc), clock_(clock), mmio_(map_mmio(kBase, 0x14, *this)) {}

void S3c2410Adc::reset() {
    MachineGuard guard(machine_lock());
    regs_ = Registers{};
    converting_ = false;
    endless_ = false;
    reported_ = 0;
    conversions_ = 0;
    result_conversion_ = 0;
    started_before_last_read_ = 0;
    unlagged_reads_ = 0;
    gated_reported_ = false;
    done_.cancel();
}

void S3c2410Adc::set_input(unsigned channel, unsigned value) {
    MachineGuard guard(machine_lock());
    if (channel < kInputs) inputs_[channel] = std::min(value, kFullScale);
}

unsigned S3c2410Adc::input(unsigned channel) const {
    MachineGuard guard(machine_lock());
    return channel < kInputs ? inputs_[channel] : 0;
}

S3c2410Adc::Registers S3c2410Adc::registers() const {
    MachineGuard guard(machine_lock());
    return regs_;
}

uint64_t S3c2410Adc::conversions() const {
    MachineGuard guard(machine_lock());
    return conversions_;
}

uint64_t S3c2410Adc::unlagged_reads() const {
    MachineGuard guard(machine_lock());
    return unlagged_reads_;
}

bool S3c2410Adc::clocked() {
    if (clock_.enabled(S3c2410Clock::kAdc)) return true;
    if (!gated_reported_) {
        gated_reported_ = true;
        log("s3c2410-adc: register access with its clock off in CLKCON");
    }
    return false;
}

std::optional<Clock::duration> S3c2410Adc::conversion_time() const {
    MachineGuard guard(machine_lock());
    if (!(regs_.adccon & kPrescalerEnable) || regs_.adcdly == 0) return std::nullopt;
    const double pclk = clock_.pclk_hz();
    const double adc_clock = pclk / (((regs_.adccon >> kPrescalerShift) & 0xFF) + 1.0);
    const double seconds = regs_.adcdly / pclk + kClocksPerConversion / adc_clock;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void S3c2410Adc::start_conversion() {
    if (regs_.adccon & kStandby) return;
    const unsigned channel = (regs_.adccon >> kMuxShift) & 7u;
    sampled_ = inputs_[channel];
    converting_ = true;
    ++conversions_;
    done_.cancel();
    const auto time = conversion_time();
    endless_ = !time.has_value();
    if (endless_) {
        const unsigned reason = regs_.adcdly == 0 ? kNoDelay : kNoPrescaler;
        if (!(reported_ & reason)) {
            reported_ |= reason;
            log(reason == kNoDelay ? "s3c2410-adc: conversion started with ADCDLY 0; never ends"
                                   : "s3c2410-adc: conversion started without PRSCEN; never ends");
        }
        return;
    }
    const double adc_clock = clock_.pclk_hz() / (((regs_.adccon >> kPrescalerShift) & 0xFF) + 1.0);
    if (adc_clock > kMaxClockHz) {
        // Too little time for the low bits to settle.
        sampled_ ^= 0x3Fu;
        if (!(reported_ & kTooFast)) {
            reported_ |= kTooFast;
            logf("s3c2410-adc: converter clock %.2f MHz, above 2.5 MHz", adc_clock / 1e6);
        }
    }
    // The end is counted from after the arming, which may take long the first time (it starts
    // the hardware clock's thread).
    done_.arm_after(*time);
    done_at_ = Clock::now() + *time;
}

void S3c2410Adc::conversion_done() {
    if (converting_ && Clock::now() < done_at_) {
        done_.arm_at(done_at_);
        return;
    }
    settle();
}

void S3c2410Adc::settle() {
    if (!converting_ || endless_ || Clock::now() < done_at_) return;
    converting_ = false;
    regs_.adcdat0 = sampled_;
    result_conversion_ = conversions_;
    intc_.raise_sub(S3c2410Intc::kSubAdc);
}

uint32_t S3c2410Adc::read(uint32_t offset, unsigned) {
    if (!clocked()) return 0;
    settle();
    switch (offset & ~3u) {
        case kAdccon:
            return regs_.adccon | (converting_ ? 0 : kEndOfConversion);
        case kAdctsc:
            return regs_.adctsc;
        case kAdcdly:
            return regs_.adcdly;
        case kAdcdat0: {
            const uint32_t value = regs_.adcdat0;
            if (result_conversion_ > started_before_last_read_) ++unlagged_reads_;
            started_before_last_read_ = conversions_;
            if ((regs_.adccon & kReadStart) && !converting_) start_conversion();
            return value;
        }
        case kAdcdat1:
            return regs_.adcdat1;
        default:
            return 0;
    }
}

void S3c2410Adc::write(uint32_t offset, uint32_t value, unsigned) {
    if (!clocked()) return;
    settle();
    switch (offset & ~3u) {
        case kAdccon:
            // The start bit clears itself as the conversion starts.
            regs_.adccon = value & kWritable;
            if (value & kEnableStart) start_conversion();
            break;
        case kAdctsc:
            regs_.adctsc = value & 0xFF;
            break;
        case kAdcdly:
            regs_.adcdly = value & 0xFFFF;
            break;
        default:
            break;
    }
}

}  // namespace hw
