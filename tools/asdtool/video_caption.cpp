#include "video_caption.hpp"

#include <algorithm>
#include <cstdlib>

#include "recording_export.hpp"
#include "text_format.hpp"

namespace asd::video {

namespace {

template <typename Point>
const Point* latest(const std::vector<Point>& points, int64_t at, int64_t fresh) {
    auto it = std::upper_bound(points.begin(), points.end(), at,
                               [](int64_t t, const Point& p) { return t < p.at; });
    if (it == points.begin()) return nullptr;
    --it;
    return at - it->at <= fresh ? &*it : nullptr;
}

std::string position_text(const GpsRecord& g) {
    const auto lat = gps_degrees(g.latitude, g.latHemisphere, false);
    const auto lon = gps_degrees(g.longitude, g.lonHemisphere, true);
    if (!lat || !lon) return "no position";
    return format("%.6f %c, %.6f %c", std::abs(*lat), *lat < 0 ? 'S' : 'N', std::abs(*lon),
                  *lon < 0 ? 'W' : 'E');
}

// How far a sample is from rest (0, 0, 1 g), on its most moved axis.
int jolt(const AccelPoint& a) {
    return std::max({std::abs(a.x), std::abs(a.y), std::abs(a.z - kCountsPerG)});
}

}  // namespace

const AccelPoint* cue_accel(const Plan& plan, size_t i) {
    const int64_t from = plan.gps[i].at, to = from + cue_length(plan, i);
    const AccelPoint* strongest = nullptr;
    auto it = std::lower_bound(plan.accel.begin(), plan.accel.end(), from,
                               [](const AccelPoint& p, int64_t t) { return p.at < t; });
    for (; it != plan.accel.end() && it->at < to; ++it) {
        if (strongest == nullptr || jolt(*it) > jolt(*strongest)) strongest = &*it;
    }
    return strongest != nullptr ? strongest : accel_at(plan, from);
}

const GpsPoint* gps_at(const Plan& plan, int64_t at) {
    return latest(plan.gps, at, kGpsFresh);
}

const AccelPoint* accel_at(const Plan& plan, int64_t at) {
    return latest(plan.accel, at, kAccelFresh);
}

const char* compass(int32_t heading) {
    static constexpr const char* kPoints[] = {"N", "NE", "E", "SE", "S", "SW", "W", "NW"};
    const int32_t h = ((heading % 360) + 360) % 360;
    return kPoints[((h * 2 + 45) / 90) % 8];
}

std::string clock_text(Time t) {
    return utc(t.sec, "%Y-%m-%d %H:%M:%S");
}

std::string g_text(int16_t counts) {
    return format("%+.2f", static_cast<double>(counts) / kCountsPerG);
}

std::string cue_text(const Plan& plan, size_t i) {
    const GpsPoint& p = plan.gps[i];
    const GpsRecord& g = p.gps;
    std::string text =
        clock_text(p.time) + " UTC  " +
        format("%d km/h  heading %d\u00b0 %s", g.headingGate, g.heading, compass(g.heading)) +
        "\n" + position_text(g);
    if (g.status != 'A') text += " (no fix)";
    if (const AccelPoint* a = cue_accel(plan, i)) {
        text += format("  X %s g  Y %s g  Z %s g", g_text(a->x).c_str(), g_text(a->y).c_str(),
                       g_text(a->z).c_str());
    }
    return text;
}

int64_t cue_length(const Plan& plan, size_t i) {
    const int64_t at = plan.gps[i].at;
    int64_t until = i + 1 < plan.gps.size() ? plan.gps[i + 1].at - at : kLongestCue;
    // No cue outlasts the pictures: the clip ends with its last frame.
    until = std::min({until, kLongestCue, plan.end - at});
    return std::max<int64_t>(until, 1000);
}

}  // namespace asd::video
