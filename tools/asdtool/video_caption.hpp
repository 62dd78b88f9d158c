// What a clip says about the car at a moment: the box's time, the GPS fix (speed, heading,
// position) and the accelerometer (X, Y, Z in g). The per-camera files carry it as subtitles, one
// cue per GPS record; the combined clip draws it into its strip.
#pragma once

#include <cstdint>
#include <string>

#include "video_plan.hpp"

namespace asd::video {

// A GPS record or accelerometer sample older than this says nothing about the moment.
constexpr int64_t kGpsFresh = 3'000'000;
constexpr int64_t kAccelFresh = 2'000'000;
// The longest a cue stays on screen when no GPS record follows it.
constexpr int64_t kLongestCue = 2'000'000;

// The latest GPS record / accelerometer sample at or before `at` that is still fresh.
const GpsPoint* gps_at(const Plan& plan, int64_t at);
const AccelPoint* accel_at(const Plan& plan, int64_t at);

// "N", "NE", ... "NW" of a heading in degrees.
const char* compass(int32_t heading);
// "2026-12-07 23:06:33" (UTC).
std::string clock_text(Time t);
// "+1.02" g of accelerometer counts.
std::string g_text(int16_t counts);

// The accelerometer sample cue `i` shows: the strongest of its time on screen (furthest from
// rest, 1 g down), else the latest fresh one before it.
const AccelPoint* cue_accel(const Plan& plan, size_t i);

// The cue of GPS record `i` of the plan: two lines, time, speed and heading, then the position
// and the accelerometer.
std::string cue_text(const Plan& plan, size_t i);
// How long cue `i` shows: until the next GPS record, at most kLongestCue, and not past the last
// frame (at least a millisecond).
int64_t cue_length(const Plan& plan, size_t i);

}  // namespace asd::video
