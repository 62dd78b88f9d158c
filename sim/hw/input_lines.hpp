// The recorder's three input lines, as the board wires them to the S3C2410's GPIO pins:
//
//   emergency button  GPG8 (EINT16)  pulled up; the button shorts it to ground while pressed
//   external alarm    GPF3 (EINT3)   pulled up; the alarm input pulls it low while active
//   power detect      GPG1 (EINT9)   pulled up while the supply is good; the supply supervisor
//                                    holds it low while the supply has failed
//
// The button and the alarm are debounced electrically: a press or an alarm gives one clean
// falling edge, and the line goes high again after the hold time. The processor may drive the
// power-detect line itself (the driver's pulse makes GPG1 an output and drives it low): the
// model notes each time and logs it, for the peers that watch the line.
//
// GPF3 is the coprocessors' second reset output until the accelerometer driver makes it the
// alarm input; the coprocessors' reset is taken from GPF2.
#pragma once

#include <chrono>
#include <cstdint>

#include "hw.hpp"
#include "s3c2410_gpio.hpp"

namespace hw {

class InputLines {
  public:
    static constexpr unsigned kButtonPin = gpio_pin('G', 8);
    static constexpr unsigned kAlarmPin = gpio_pin('F', 3);
    static constexpr unsigned kPowerDetectPin = gpio_pin('G', 1);
    static constexpr std::chrono::milliseconds kPressTime{150};
    static constexpr std::chrono::milliseconds kAlarmTime{1000};

    explicit InputLines(S3c2410Gpio& gpio);
    ~InputLines();
    InputLines(const InputLines&) = delete;
    InputLines& operator=(const InputLines&) = delete;

    // One press of the button, held for `hold`.
    void press_button(std::chrono::milliseconds hold = kPressTime);
    // The alarm input active for `hold`.
    void raise_alarm(std::chrono::milliseconds hold = kAlarmTime);
    // The supply fails: the power-detect line is held low until restore_power().
    void fail_power();
    void restore_power();

    bool button_pressed() const;
    bool alarm_active() const;
    bool power_failed() const;
    // The levels the pins have now (whoever drives them).
    bool button_level() const;
    bool alarm_level() const;
    bool power_detect_level() const;
    // The processor drives the power-detect line; how often it pulled it low since the start.
    bool power_detect_driven_by_cpu() const;
    uint64_t cpu_pulses() const;

  private:
    void power_detect_changed(bool level);

    S3c2410Gpio& gpio_;
    bool button_pressed_ = false;
    bool alarm_active_ = false;
    bool power_failed_ = false;
    bool cpu_low_ = false;
    uint64_t cpu_pulses_ = 0;
    int watch_ = 0;
    Timer button_release_{[this] {
        button_pressed_ = false;
        gpio_.release(kButtonPin);
    }};
    Timer alarm_release_{[this] {
        alarm_active_ = false;
        gpio_.release(kAlarmPin);
    }};
};

}  // namespace hw
