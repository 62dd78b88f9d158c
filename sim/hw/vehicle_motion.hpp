// The motion of the car the recorder is fixed in, as its accelerometer feels it.
//
// Car axes: x forward, y to the left, z up; values are specific force in g, so a car at rest
// reads (0, 0, +1). The state is set by the board's scenario:
//   parked     (0, 0, 1), nothing moves
//   driving    road vibration on all axes (a few hundredths of a g, most on z)
//   braking    driving, and a deceleration of 0.45 g: x = -0.45
//   cornering  driving, and 0.35 g to the left: y = +0.35
// An impact adds its size along one axis (either sign) for kImpactDuration, long enough for a
// sampling at three times a second to see it, then the motion goes on as before.
//
// The recorder unit is fixed with its sensor either straight (chip axes = car axes) or, as on
// the 3.5 front sub-board, turned a quarter about z: the chip's x points to the car's right and
// its y forward. The driver's rotated mapping (X = chip y, Y = -chip x) gives the car's axes
// back.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "hw.hpp"
#include "spi_accelerometer.hpp"

namespace hw {

enum class MotionState { kParked, kDriving, kBraking, kCornering };
enum class Mount { kStraight, kRotated };

std::string_view motion_state_name(MotionState state);
bool parse_motion_state(std::string_view text, MotionState& out);

// Car axes to chip axes.
Accel chip_axes(const Accel& car, Mount mount);

class VehicleMotion {
  public:
    static constexpr std::chrono::milliseconds kImpactDuration{400};
    static constexpr double kBraking = 0.45;
    static constexpr double kCornering = 0.35;

    VehicleMotion();

    void set_state(MotionState state);
    MotionState state() const;
    // An impact of `g` (negative for the other direction) along car axis 'x', 'y' or 'z'.
    void impact(double g, char axis);
    bool impact_running() const;

    // The acceleration at a moment, in car axes.
    Accel at(Clock::time_point t) const;
    Accel now() const { return at(Clock::now()); }

  private:
    MotionState state_ = MotionState::kParked;
    Clock::time_point origin_;
    Clock::time_point impact_end_{};
    Accel impact_{};
};

}  // namespace hw
