// The motion of the car.
#include "vehicle_motion.hpp"

#include <cmath>
#include <numbers>

namespace hw {

namespace {

struct Wave {
    double amplitude;  // g
    double hz;
    double phase;  // radians
};

// Road vibration: a few sine waves per axis, deterministic, small against the impact thresholds.
constexpr Wave kVibrationX[] = {{0.020, 2.7, 0.0}, {0.012, 9.1, 1.3}};
constexpr Wave kVibrationY[] = {{0.015, 1.9, 0.7}, {0.010, 7.3, 2.1}};
constexpr Wave kVibrationZ[] = {{0.050, 11.0, 0.4}, {0.030, 17.7, 2.9}, {0.015, 3.1, 1.1}};

template <size_t N>
double vibration(const Wave (&waves)[N], double seconds) {
    double sum = 0;
    for (const Wave& w : waves) {
        sum += w.amplitude * std::sin(2 * std::numbers::pi * w.hz * seconds + w.phase);
    }
    return sum;
}

}  // namespace

std::string_view motion_state_name(MotionState state) {
    switch (state) {
        case MotionState::kParked:
            return "parked";
        case MotionState::kDriving:
            return "driving";
        case MotionState::kBraking:
            return "braking";
        case MotionState::kCornering:
            return "cornering";
    }
    return "?";
}

bool parse_motion_state(std::string_view text, MotionState& out) {
    for (MotionState s : {MotionState::kParked, MotionState::kDriving, MotionState::kBraking,
                          MotionState::kCornering}) {
        if (text == motion_state_name(s)) {
            out = s;
            return true;
        }
    }
    return false;
}

Accel chip_axes(const Accel& car, Mount mount) {
    if (mount == Mount::kStraight) return car;
    return Accel{-car.y, car.x, car.z};
}

VehicleMotion::VehicleMotion() : origin_(Clock::now()) {}

void VehicleMotion::set_state(MotionState state) {
    MachineGuard guard(machine_lock());
    if (state == state_) return;
    state_ = state;
    logf("motion: %.*s", static_cast<int>(motion_state_name(state).size()),
         motion_state_name(state).data());
}

MotionState VehicleMotion::state() const {
    MachineGuard guard(machine_lock());
    return state_;
}

void VehicleMotion::impact(double g, char axis) {
    MachineGuard guard(machine_lock());
    impact_ = Accel{};
    switch (axis) {
        case 'x':
            impact_.x = g;
            break;
        case 'y':
            impact_.y = g;
            break;
        default:
            impact_.z = g;
            break;
    }
    impact_end_ = Clock::now() + kImpactDuration;
    logf("motion: impact of %.2f g along %c", g, axis);
}

bool VehicleMotion::impact_running() const {
    MachineGuard guard(machine_lock());
    return Clock::now() < impact_end_;
}

Accel VehicleMotion::at(Clock::time_point t) const {
    MachineGuard guard(machine_lock());
    Accel a{0, 0, 1};
    if (state_ != MotionState::kParked) {
        const double s = std::chrono::duration<double>(t - origin_).count();
        a.x += vibration(kVibrationX, s);
        a.y += vibration(kVibrationY, s);
        a.z += vibration(kVibrationZ, s);
    }
    if (state_ == MotionState::kBraking) a.x -= kBraking;
    if (state_ == MotionState::kCornering) a.y += kCornering;
    if (t < impact_end_) {
        a.x += impact_.x;
        a.y += impact_.y;
        a.z += impact_.z;
    }
    return a;
}

}  // namespace hw
