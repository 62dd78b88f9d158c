// The accelerometer, the volume knob and the input lines on the board (hw::SensorBoard), with
// their options, scenario and ctl actions, and status items.
//
// What the world does (the car's motion, the knob's position, the supply) is kept here across
// power cycles; the models are made at every power-on, beside the SoC, and go at power-off.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>

#include "board.hpp"
#include "sensor_board.hpp"

namespace simboard {

namespace {

struct World {
    hw::AccelChip chip = hw::AccelChip::kLis3lv02dq;
    hw::Mount mount = hw::Mount::kRotated;
    int knob = 20;
    hw::MotionState motion = hw::MotionState::kParked;
    bool power_failed = false;
};

// Guards both: actions, power hooks and status requests may come from different threads.
std::mutex& lock() {
    static std::mutex m;
    return m;
}
World& world() {
    static World w;
    return w;
}
std::unique_ptr<hw::SensorBoard>& sensors() {
    static std::unique_ptr<hw::SensorBoard> s;
    return s;
}

// Sampling is "on" while the driver's tick starts ADC conversions (one a sample).
struct SamplingWatch {
    uint64_t conversions = 0;
    double changed_at = -10;
};
SamplingWatch& sampling_watch() {
    static SamplingWatch w;
    return w;
}

bool parse_number(std::string_view text, double& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && std::isfinite(out);
}

bool parse_level(std::string_view text, int& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return ec == std::errc() && ptr == end && out >= 0 && out < hw::SensorBoard::kKnobLevels;
}

bool parse_mount(std::string_view text, hw::Mount& out) {
    if (text == "straight") {
        out = hw::Mount::kStraight;
    } else if (text == "rotated") {
        out = hw::Mount::kRotated;
    } else {
        return false;
    }
    return true;
}

// A hold time in seconds, optional: 0 < s <= 60.
std::string check_hold(const Args& args) {
    if (args.empty()) return "";
    double s = 0;
    if (args.size() > 1 || !parse_number(args[0], s) || s <= 0 || s > 60) {
        return "expected an optional hold time in seconds (0..60)";
    }
    return "";
}

std::chrono::milliseconds hold_of(const Args& args, std::chrono::milliseconds fallback) {
    double s = 0;
    if (args.empty() || !parse_number(args[0], s)) return fallback;
    return std::chrono::milliseconds(std::lround(s * 1000));
}

std::string check_level(const Args& args) {
    int level = 0;
    return args.size() == 1 && parse_level(args[0], level) ? "" : "expected a level 0..63";
}

std::string check_impact(const Args& args) {
    double g = 0;
    if (args.size() != 2 || !parse_number(args[0], g) || std::fabs(g) > 16 ||
        (args[1] != "x" && args[1] != "y" && args[1] != "z")) {
        return "expected a size in g (-16..16) and a car axis x, y or z";
    }
    return "";
}

std::string check_motion(const Args& args) {
    hw::MotionState s;
    return args.size() == 1 && parse_motion_state(args[0], s)
               ? ""
               : "expected parked, driving, braking or cornering";
}

std::string check_chip(const Args& args) {
    hw::AccelChip c;
    return args.size() == 1 && parse_accel_chip(args[0], c)
               ? ""
               : "expected lis3lv02dq, adxl345 or none";
}

// Runs `act` on the models of the powered board, or says the board is off.
std::string with_sensors(const std::function<void(hw::SensorBoard&)>& act) {
    std::lock_guard guard(lock());
    if (!sensors()) return "the board is off";
    act(*sensors());
    return "";
}

void apply_world(hw::SensorBoard& s, const World& w) {
    s.fit(w.chip);
    s.set_mount(w.mount);
    s.set_knob_level(w.knob);
    s.motion.set_state(w.motion);
    if (w.power_failed) s.inputs.fail_power();
}

void power_on(Board& board) {
    std::lock_guard guard(lock());
    auto& s = sensors();
    s = std::make_unique<hw::SensorBoard>(board.soc());
    apply_world(*s, world());
    sampling_watch() = SamplingWatch{};
}

void power_off(Board&) {
    std::lock_guard guard(lock());
    sensors().reset();
}

std::string g_text(double counts, double per_g) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.2f", counts / per_g);
    return buf;
}

std::string accel_status(Board&) {
    std::lock_guard guard(lock());
    const World& w = world();
    std::string text(hw::accel_chip_name(w.chip));
    if (w.mount == hw::Mount::kStraight) text += " (straight)";
    if (!sensors()) return text;
    hw::SensorBoard& s = *sensors();
    const hw::SpiAccelerometer* chip = nullptr;
    double per_g = 1;
    if (w.chip == hw::AccelChip::kLis3lv02dq) {
        chip = &s.lis3lv02dq;
        per_g = hw::Lis3lv02dq::kCountsPerG;
    } else if (w.chip == hw::AccelChip::kAdxl345) {
        chip = &s.adxl345;
        per_g = hw::Adxl345::kCountsPerG;
    }
    SamplingWatch& watch = sampling_watch();
    const uint64_t conversions = s.adc.conversions();
    if (conversions != watch.conversions) {
        watch.conversions = conversions;
        watch.changed_at = board_time();
    }
    text += board_time() - watch.changed_at < 1.0 ? " sampling" : " idle";
    if (chip != nullptr) {
        text += chip->measuring() ? " on" : " off";
        if (chip->samples() > 0) {
            const auto last = chip->last_sample();
            text += " x " + g_text(last[0], per_g) + " y " + g_text(last[1], per_g) + " z " +
                    g_text(last[2], per_g) + " g";
        }
    }
    return text;
}

std::string motion_status(Board&) {
    std::lock_guard guard(lock());
    std::string text(hw::motion_state_name(world().motion));
    if (sensors() && sensors()->motion.impact_running()) text += " impact";
    return text;
}

std::string knob_status(Board&) {
    std::lock_guard guard(lock());
    return std::to_string(world().knob);
}

std::string lines_status(Board&) {
    std::lock_guard guard(lock());
    if (!sensors()) return world().power_failed ? "supply failed" : "";
    const hw::InputLines& in = sensors()->inputs;
    std::string text = std::string("button ") + (in.button_level() ? "high" : "low") + ", alarm " +
                       (in.alarm_level() ? "high" : "low") + ", power-detect " +
                       (in.power_detect_level() ? "high" : "low");
    if (in.power_detect_driven_by_cpu()) text += " (driven by the processor)";
    return text;
}

const bool registered = [] {
    register_option({"accel-chip", "CHIP",
                     "the accelerometer fitted: lis3lv02dq (default), "
                     "adxl345 or none",
                     [](std::string_view v) -> std::string {
                         hw::AccelChip chip;
                         if (!parse_accel_chip(v, chip))
                             return "expected lis3lv02dq, adxl345 or none";
                         std::lock_guard guard(lock());
                         world().chip = chip;
                         return "";
                     }});
    register_option({"accel-mount", "MOUNT",
                     "rotated (default, as on the 3.5 sub-board) or straight",
                     [](std::string_view v) -> std::string {
                         hw::Mount mount;
                         if (!parse_mount(v, mount)) return "expected rotated or straight";
                         std::lock_guard guard(lock());
                         world().mount = mount;
                         return "";
                     }});
    register_option({"knob", "LEVEL", "the volume knob's position at the start, 0..63 (default 20)",
                     [](std::string_view v) -> std::string {
                         int level = 0;
                         if (!parse_level(v, level)) return "expected a level 0..63";
                         std::lock_guard guard(lock());
                         world().knob = level;
                         return "";
                     }});

    register_power_hooks({"sensors", power_on, power_off});

    register_action({"button", "[SECONDS]", "press the emergency button (held 0.15 s)", check_hold,
                     [](Board&, const Args& args) {
                         return with_sensors([&](hw::SensorBoard& s) {
                             s.inputs.press_button(hold_of(args, hw::InputLines::kPressTime));
                         });
                     }});
    register_action({"alarm", "[SECONDS]", "the external alarm input goes active (for 1 s)",
                     check_hold, [](Board&, const Args& args) {
                         return with_sensors([&](hw::SensorBoard& s) {
                             s.inputs.raise_alarm(hold_of(args, hw::InputLines::kAlarmTime));
                         });
                     }});
    register_action({"power fail", "", "the vehicle supply fails: power-detect held low", nullptr,
                     [](Board&, const Args&) {
                         {
                             std::lock_guard guard(lock());
                             world().power_failed = true;
                         }
                         with_sensors([](hw::SensorBoard& s) { s.inputs.fail_power(); });
                         return std::string();
                     }});
    register_action({"power restore", "", "the vehicle supply is back: power-detect high", nullptr,
                     [](Board&, const Args&) {
                         {
                             std::lock_guard guard(lock());
                             world().power_failed = false;
                         }
                         with_sensors([](hw::SensorBoard& s) { s.inputs.restore_power(); });
                         return std::string();
                     }});
    register_action({"knob", "LEVEL", "turn the volume knob to a level 0..63", check_level,
                     [](Board&, const Args& args) {
                         int level = 0;
                         parse_level(args[0], level);
                         {
                             std::lock_guard guard(lock());
                             world().knob = level;
                         }
                         with_sensors([&](hw::SensorBoard& s) { s.set_knob_level(level); });
                         return std::string();
                     }});
    register_action({"impact", "G AXIS", "an impact of G g along the car's x, y or z axis",
                     check_impact, [](Board&, const Args& args) {
                         double g = 0;
                         parse_number(args[0], g);
                         return with_sensors(
                             [&](hw::SensorBoard& s) { s.motion.impact(g, args[1][0]); });
                     }});
    register_action({"motion", "STATE", "the car is parked, driving, braking or cornering",
                     check_motion, [](Board&, const Args& args) {
                         hw::MotionState state;
                         parse_motion_state(args[0], state);
                         {
                             std::lock_guard guard(lock());
                             world().motion = state;
                         }
                         with_sensors([&](hw::SensorBoard& s) { s.motion.set_state(state); });
                         return std::string();
                     }});
    register_action({"accel chip", "CHIP",
                     "fit another accelerometer: lis3lv02dq, adxl345 or none (seen at the "
                     "driver's next open)",
                     check_chip, [](Board&, const Args& args) {
                         hw::AccelChip chip;
                         parse_accel_chip(args[0], chip);
                         {
                             std::lock_guard guard(lock());
                             world().chip = chip;
                         }
                         with_sensors([&](hw::SensorBoard& s) { s.fit(chip); });
                         return std::string();
                     }});

    register_status_item({"accel", accel_status});
    register_status_item({"motion", motion_status});
    register_status_item({"knob", knob_status});
    register_status_item({"lines", lines_status});
    return true;
}();

}  // namespace

}  // namespace simboard
