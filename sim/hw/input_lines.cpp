// The recorder's input lines.
#include "input_lines.hpp"

namespace hw {

InputLines::InputLines(S3c2410Gpio& gpio) : gpio_(gpio) {
    watch_ = gpio_.watch(kPowerDetectPin, [this](bool level) { power_detect_changed(level); });
}

InputLines::~InputLines() {
    gpio_.unwatch(watch_);
    MachineGuard guard(machine_lock());
    button_release_.cancel();
    alarm_release_.cancel();
}

void InputLines::press_button(std::chrono::milliseconds hold) {
    MachineGuard guard(machine_lock());
    button_pressed_ = true;
    gpio_.drive(kButtonPin, false);
    button_release_.arm_after(hold);
    log("inputs: emergency button pressed");
}

void InputLines::raise_alarm(std::chrono::milliseconds hold) {
    MachineGuard guard(machine_lock());
    alarm_active_ = true;
    gpio_.drive(kAlarmPin, false);
    alarm_release_.arm_after(hold);
    log("inputs: external alarm active");
}

void InputLines::fail_power() {
    MachineGuard guard(machine_lock());
    if (power_failed_) return;
    power_failed_ = true;
    gpio_.drive(kPowerDetectPin, false);
    log("inputs: supply failed, power-detect line held low");
}

void InputLines::restore_power() {
    MachineGuard guard(machine_lock());
    if (!power_failed_) return;
    power_failed_ = false;
    gpio_.release(kPowerDetectPin);
    log("inputs: supply back, power-detect line released");
}

bool InputLines::button_pressed() const {
    MachineGuard guard(machine_lock());
    return button_pressed_;
}

bool InputLines::alarm_active() const {
    MachineGuard guard(machine_lock());
    return alarm_active_;
}

bool InputLines::power_failed() const {
    MachineGuard guard(machine_lock());
    return power_failed_;
}

bool InputLines::button_level() const {
    return gpio_.level(kButtonPin);
}

bool InputLines::alarm_level() const {
    return gpio_.level(kAlarmPin);
}

bool InputLines::power_detect_level() const {
    return gpio_.level(kPowerDetectPin);
}

bool InputLines::power_detect_driven_by_cpu() const {
    return gpio_.is_output(kPowerDetectPin);
}

uint64_t InputLines::cpu_pulses() const {
    MachineGuard guard(machine_lock());
    return cpu_pulses_;
}

void InputLines::power_detect_changed(bool level) {
    const bool cpu = gpio_.is_output(kPowerDetectPin);
    if (!level && cpu && !cpu_low_) {
        cpu_low_ = true;
        ++cpu_pulses_;
        log("inputs: power-detect line driven low by the processor");
    } else if (cpu_low_ && (level || !cpu)) {
        cpu_low_ = false;
        log("inputs: power-detect line released by the processor");
    }
}

}  // namespace hw
