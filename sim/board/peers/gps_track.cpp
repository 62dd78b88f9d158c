#include "gps_track.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "../input_file.hpp"
#include "gps_track_files.hpp"

namespace simboard::peers {

namespace {

constexpr double kEarthRadius = 6371000.0;
constexpr double kDegToRad = M_PI / 180.0;
constexpr size_t kMaxFileBytes = 64u << 20;  // a day of driving is far less than this

// A town's ring road and a few of its streets, in driving order (the loop closes on itself).
constexpr std::array<GeoPoint, 12> kTownLoop = {{
    {47.37420, 8.53860, 412},
    {47.37650, 8.54120, 415},
    {47.37890, 8.54300, 421},
    {47.38010, 8.54690, 428},
    {47.37930, 8.55070, 433},
    {47.37700, 8.55210, 437},
    {47.37420, 8.55150, 431},
    {47.37190, 8.54940, 424},
    {47.37060, 8.54580, 418},
    {47.37090, 8.54210, 414},
    {47.37230, 8.53970, 411},
    {47.37420, 8.53860, 412},
}};
constexpr double kTownSpeed = 11.0;         // metres per second, about 40 km/h
constexpr size_t kTrafficLightSeconds = 8;  // standing at the first corner
constexpr double kStandingStill = 0.5;      // metres in a second: below it, the car stands
constexpr double kMaxStep = 70.0;           // metres in a second: above it, the track jumps

// Degrees east from a to b, the short way (across the date line when that is shorter).
double lon_step(const GeoPoint& a, const GeoPoint& b) {
    double d = b.lon - a.lon;
    if (d > 180) d -= 360;
    if (d < -180) d += 360;
    return d;
}

std::string fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

double distance_m(const GeoPoint& a, const GeoPoint& b) {
    const double mid = (a.lat + b.lat) / 2 * kDegToRad;
    const double dx = lon_step(a, b) * kDegToRad * std::cos(mid) * kEarthRadius;
    const double dy = (b.lat - a.lat) * kDegToRad * kEarthRadius;
    return std::hypot(dx, dy);
}

double bearing_deg(const GeoPoint& a, const GeoPoint& b) {
    const double mid = (a.lat + b.lat) / 2 * kDegToRad;
    const double dx = lon_step(a, b) * std::cos(mid);
    const double dy = b.lat - a.lat;
    double deg = std::atan2(dx, dy) / kDegToRad;
    if (deg < 0) deg += 360;
    return deg >= 360 ? deg - 360 : deg;
}

std::string nmea_latitude(double degrees) {
    const double a = std::fabs(degrees);
    int whole = static_cast<int>(a);
    double minutes = (a - whole) * 60.0;
    if (minutes >= 59.99995) {  // would print as 60.0000
        ++whole;
        minutes = 0;
    }
    char text[24];
    std::snprintf(text, sizeof text, "%02d%07.4f", whole, minutes);
    return text;
}

std::string nmea_longitude(double degrees) {
    const double a = std::fabs(degrees);
    int whole = static_cast<int>(a);
    double minutes = (a - whole) * 60.0;
    if (minutes >= 59.99995) {
        ++whole;
        minutes = 0;
    }
    char text[24];
    std::snprintf(text, sizeof text, "%03d%07.4f", whole, minutes);
    return text;
}

Track::Track(std::vector<TrackPoint> points, bool timed, std::string description)
    : points_(std::move(points)), timed_(timed), description_(std::move(description)) {
    const size_t n = points_.size();
    const double start = points_.front().time;
    for (auto& p : points_) p.time -= start;
    // A drive played a point a second whose end meets its start drives on round the loop;
    // any other track stands a second at its end, then starts again (a jump, not a drive).
    loop_ = !timed_ && n > 1 && distance_m(points_.back().pos, points_.front().pos) <= kMaxStep;
    duration_ = points_.back().time + 1;
    // The direction of each way that moves; standing still keeps the direction of the movement
    // before it, round the track (so that standing at the start takes the direction in which
    // the track ended).
    std::vector<std::optional<double>> own(n);
    for (size_t i = 0; i < n; ++i) {
        if (i + 1 == n && !loop_) break;  // standing at the end
        if (segment_m(i) >= kStandingStill * segment_s(i))
            own[i] = bearing_deg(points_[i].pos, points_[(i + 1) % n].pos);
    }
    heading_.assign(n, 0.0);
    const auto first = std::find_if(own.begin(), own.end(), [](const auto& h) { return h; });
    if (first == own.end()) return;  // never moves: heading 0 throughout
    const auto first_move = static_cast<size_t>(first - own.begin());
    double heading = **first;
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (first_move + k) % n;
        if (own[i]) heading = *own[i];
        heading_[i] = heading;
    }
}

// The way on from point i: to the next point, or from the last one to the first round a loop.
// At the end of a track that is not a loop there is none: it stands there for its last second.
double Track::segment_m(size_t i) const {
    const size_t n = points_.size();
    if (i + 1 < n) return distance_m(points_[i].pos, points_[i + 1].pos);
    return loop_ ? distance_m(points_[i].pos, points_[0].pos) : 0.0;
}

double Track::segment_s(size_t i) const {
    if (i + 1 < points_.size()) return points_[i + 1].time - points_[i].time;
    return 1.0;
}

double Track::segment_speed_kmh(size_t i, double fraction) const {
    const size_t n = points_.size();
    const TrackPoint& from = points_[i];
    if (i + 1 < n) {
        const TrackPoint& to = points_[i + 1];
        if (from.speed_kmh && to.speed_kmh)
            return *from.speed_kmh + (*to.speed_kmh - *from.speed_kmh) * fraction;
    } else if (!loop_) {
        // The last second, standing at the end: the speed it came with, so that the end of a
        // drive log is no sudden stop in the middle of a road.
        if (from.speed_kmh) return *from.speed_kmh;
        return n > 1 ? segment_speed_kmh(i - 1, 1.0) : 0.0;
    }
    return segment_m(i) / segment_s(i) * 3.6;
}

Track Track::built_in() {
    std::vector<TrackPoint> points;
    const auto add = [&points](const GeoPoint& p) {
        points.push_back({p, static_cast<double>(points.size()), std::nullopt});
    };
    for (size_t i = 0; i + 1 < kTownLoop.size(); ++i) {
        const GeoPoint& a = kTownLoop[i];
        const GeoPoint& b = kTownLoop[i + 1];
        if (i == 0) {
            for (size_t s = 0; s < kTrafficLightSeconds; ++s) add(a);
        }
        const auto steps =
            static_cast<size_t>(std::max(1.0, std::round(distance_m(a, b) / kTownSpeed)));
        for (size_t s = 0; s < steps; ++s) {
            const double f = static_cast<double>(s) / static_cast<double>(steps);
            add({a.lat + (b.lat - a.lat) * f, a.lon + (b.lon - a.lon) * f,
                 a.altitude + (b.altitude - a.altitude) * f});
        }
    }
    const size_t n = points.size();
    return Track(std::move(points), false,
                 "the built-in drive around a town (" + std::to_string(n) + " s)");
}

std::optional<Track> Track::parse(std::string_view text, std::string_view name,
                                  std::string& error) {
    TrackFile file;
    const bool gpx = text.find("<gpx") != std::string_view::npos ||
                     text.find("<trkpt") != std::string_view::npos;
    if (gpx) {
        if (!read_gpx(text, name, file, error)) return std::nullopt;
    } else if (text.find('$') != std::string_view::npos) {
        if (!read_nmea(text, name, file, error)) return std::nullopt;
    } else {
        error = std::string(name) + ": neither a GPX file nor an NMEA log";
        return std::nullopt;
    }
    std::vector<TrackPoint> points;
    size_t repeated = 0;
    if (file.timed) {
        // On the track's time line: a point at a time already taken adds nothing (loggers write
        // one twice), a point before it is a log put together wrongly.
        for (size_t i = 0; i < file.points.size(); ++i) {
            if (!points.empty() && file.points[i].time <= points.back().time) {
                if (file.points[i].time < points.back().time) {
                    error = std::string(name) + ":" + std::to_string(file.lines[i]) +
                            ": the time goes back (" +
                            fixed(file.points[i].time - points.back().time, 1) + " s)";
                    return std::nullopt;
                }
                ++repeated;
                continue;
            }
            points.push_back(file.points[i]);
        }
    } else {
        for (auto& p : file.points) points.push_back({p.pos, 0, std::nullopt});
        for (size_t i = 0; i < points.size(); ++i) points[i].time = static_cast<double>(i);
    }
    std::string notes = file.note;
    if (repeated > 0) {
        notes += std::string(notes.empty() ? "" : "; ") + std::to_string(repeated) + " point" +
                 (repeated == 1 ? "" : "s") + " at a time already taken skipped";
    }
    const size_t n = points.size();
    std::string description =
        std::string(name) + ": " + std::to_string(n) + " point" + (n == 1 ? "" : "s");
    if (file.timed) {
        description +=
            " over " + fixed(points.back().time - points.front().time, 0) + " s, at their own pace";
    } else {
        description += ", one a second (" + file.untimed + ")";
    }
    if (!notes.empty()) description += "; " + notes;
    error = notes;
    return Track(std::move(points), file.timed, std::move(description));
}

std::optional<Track> Track::load(const std::filesystem::path& path, std::string& error) {
    std::string text;
    if (!read_input_file(path, kMaxFileBytes, text, error)) return std::nullopt;
    return parse(text, path.string(), error);
}

Fix Track::at(double seconds) const {
    const size_t n = points_.size();
    double t = std::fmod(std::max(0.0, seconds), duration_);
    // The point at or before `t` on the time line, and how far it is on to the next.
    const auto after = std::upper_bound(points_.begin(), points_.end(), t,
                                        [](double v, const TrackPoint& p) { return v < p.time; });
    const size_t i = static_cast<size_t>(after - points_.begin()) - 1;
    const double fraction = std::clamp((t - points_[i].time) / segment_s(i), 0.0, 1.0);
    const GeoPoint& from = points_[i].pos;
    const GeoPoint* to = &from;  // standing at a track's end
    if (i + 1 < n) to = &points_[i + 1].pos;
    if (i + 1 == n && loop_) to = &points_[0].pos;
    Fix fix;
    fix.pos.lat = from.lat + (to->lat - from.lat) * fraction;
    fix.pos.lon = from.lon + lon_step(from, *to) * fraction;
    if (fix.pos.lon > 180) fix.pos.lon -= 360;
    if (fix.pos.lon < -180) fix.pos.lon += 360;
    fix.pos.altitude = from.altitude + (to->altitude - from.altitude) * fraction;
    fix.speed_kmh = segment_speed_kmh(i, fraction);
    fix.heading = heading_[i];
    return fix;
}

}  // namespace simboard::peers
