// The accelerometer, knob and input lines around the S3C2410.
#include "sensor_board.hpp"

#include <algorithm>

namespace hw {

std::string_view accel_chip_name(AccelChip chip) {
    switch (chip) {
        case AccelChip::kNone:
            return "none";
        case AccelChip::kLis3lv02dq:
            return "lis3lv02dq";
        case AccelChip::kAdxl345:
            return "adxl345";
    }
    return "?";
}

bool parse_accel_chip(std::string_view text, AccelChip& out) {
    for (AccelChip c : {AccelChip::kNone, AccelChip::kLis3lv02dq, AccelChip::kAdxl345}) {
        if (text == accel_chip_name(c)) {
            out = c;
            return true;
        }
    }
    return false;
}

SensorBoard::SensorBoard(S3c2410& soc)
    : spi(soc.gpio, soc.intc, soc.clock), adc(soc.intc, soc.clock), inputs(soc.gpio) {
    lis3lv02dq.set_source([this] { return felt(); });
    adxl345.set_source([this] { return felt(); });
    fit(AccelChip::kLis3lv02dq);
}

Accel SensorBoard::felt() const {
    return chip_axes(motion.now(), mount());
}

void SensorBoard::fit(AccelChip chip) {
    MachineGuard guard(machine_lock());
    fitted_ = chip;
    switch (chip) {
        case AccelChip::kNone:
            spi.attach(nullptr);
            break;
        case AccelChip::kLis3lv02dq:
            spi.attach(&lis3lv02dq);
            break;
        case AccelChip::kAdxl345:
            spi.attach(&adxl345);
            break;
    }
}

AccelChip SensorBoard::fitted() const {
    MachineGuard guard(machine_lock());
    return fitted_;
}

void SensorBoard::set_mount(Mount mount) {
    MachineGuard guard(machine_lock());
    mount_ = mount;
}

Mount SensorBoard::mount() const {
    MachineGuard guard(machine_lock());
    return mount_;
}

void SensorBoard::set_knob_level(int level) {
    level = std::clamp(level, 0, kKnobLevels - 1);
    adc.set_input(kKnobInput, static_cast<unsigned>(level) * 16 + 8);
}

int SensorBoard::knob_level() const {
    return static_cast<int>(adc.input(kKnobInput) / 16);
}

}  // namespace hw
