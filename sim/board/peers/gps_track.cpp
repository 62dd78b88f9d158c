#include "gps_track.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "serial_link.hpp"

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

// Up to a comma, '*' or the end.
std::string_view field_at(std::string_view line, int k) {
    size_t pos = 0;
    for (int i = 0; i < k; ++i) {
        pos = line.find(',', pos);
        if (pos == std::string_view::npos) return {};
        ++pos;
    }
    const size_t end = line.find_first_of(",*", pos);
    return line.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
}

std::optional<double> number(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end == text.data() || !std::isfinite(v)) return std::nullopt;
    return v;
}

// The value of attribute `name` inside one tag's text ("lat" in `<trkpt lat="1.5" ...>`).
std::optional<double> attribute(std::string_view tag, std::string_view name) {
    for (size_t pos = tag.find(name); pos != std::string_view::npos;
         pos = tag.find(name, pos + 1)) {
        const bool starts_word = pos > 0 && (tag[pos - 1] == ' ' || tag[pos - 1] == '\t' ||
                                             tag[pos - 1] == '\n' || tag[pos - 1] == '\r');
        size_t p = pos + name.size();
        while (p < tag.size() && tag[p] == ' ') ++p;
        if (!starts_word || p >= tag.size() || tag[p] != '=') continue;
        ++p;
        while (p < tag.size() && tag[p] == ' ') ++p;
        if (p >= tag.size() || (tag[p] != '"' && tag[p] != '\'')) return std::nullopt;
        const char quote = tag[p++];
        const size_t end = tag.find(quote, p);
        if (end == std::string_view::npos) return std::nullopt;
        return number(tag.substr(p, end - p));
    }
    return std::nullopt;
}

size_t line_of(std::string_view text, size_t offset) {
    return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

bool valid(const GeoPoint& p) {
    return p.lat >= -90 && p.lat <= 90 && p.lon >= -180 && p.lon <= 180;
}

// Points of a GPX file: the first of trkpt, rtept or wpt that the file has, in file order.
bool parse_gpx(std::string_view text, std::string_view name, std::vector<GeoPoint>& points,
               std::string& error) {
    for (const std::string_view element : {"trkpt", "rtept", "wpt"}) {
        const std::string open = "<" + std::string(element);
        for (size_t pos = text.find(open); pos != std::string_view::npos;
             pos = text.find(open, pos + 1)) {
            const size_t after = pos + open.size();
            if (after >= text.size() || (text[after] != ' ' && text[after] != '\t' &&
                                         text[after] != '\n' && text[after] != '\r'))
                continue;  // <trkptx> or similar
            const size_t end = text.find('>', after);
            if (end == std::string_view::npos) {
                error = std::string(name) + ":" + std::to_string(line_of(text, pos)) +
                        ": unfinished <" + std::string(element) + "> tag";
                return false;
            }
            const std::string_view tag = text.substr(pos, end - pos);
            const auto lat = attribute(tag, "lat");
            const auto lon = attribute(tag, "lon");
            GeoPoint p;
            if (lat && lon) {
                p.lat = *lat;
                p.lon = *lon;
            }
            if (!lat || !lon || !valid(p)) {
                error = std::string(name) + ":" + std::to_string(line_of(text, pos)) + ": <" +
                        std::string(element) + "> without a valid lat and lon";
                return false;
            }
            // Its elevation, when the point has one before its closing tag.
            const std::string close = "</" + std::string(element);
            const size_t stop = tag.ends_with('/') ? end : text.find(close, end);
            const size_t ele = text.find("<ele>", end);
            if (ele != std::string_view::npos && stop != std::string_view::npos && ele < stop) {
                if (const auto alt = number(text.substr(ele + 5, 32))) p.altitude = *alt;
            }
            points.push_back(p);
        }
        if (!points.empty()) return true;
    }
    error = std::string(name) + ": no <trkpt>, <rtept> or <wpt> in the GPX file";
    return false;
}

// A sentence's checksum is right, or it has none.
bool checksum_ok(std::string_view line) {
    const size_t star = line.find('*');
    if (star == std::string_view::npos) return true;
    unsigned given = 0;
    const auto hex = line.substr(star + 1, 2);
    const auto [end, ec] = std::from_chars(hex.data(), hex.data() + hex.size(), given, 16);
    if (ec != std::errc() || end != hex.data() + 2) return false;
    return given == nmea_checksum(line.substr(1, star - 1));
}

std::optional<GeoPoint> position_of(std::string_view line, int lat_field) {
    const auto lat = degrees_from_nmea(field_at(line, lat_field));
    const auto lon = degrees_from_nmea(field_at(line, lat_field + 2));
    if (!lat || !lon) return std::nullopt;
    GeoPoint p{field_at(line, lat_field + 1) == "S" ? -*lat : *lat,
               field_at(line, lat_field + 3) == "W" ? -*lon : *lon, 0};
    if (!valid(p)) return std::nullopt;
    return p;
}

// Positions of an NMEA log: from $xxRMC sentences with a valid fix, or, in a log without
// them, from $xxGGA sentences with a fix (which also carry the altitude).
bool parse_nmea(std::string_view text, std::string_view name, std::vector<GeoPoint>& points,
                std::string& error) {
    std::vector<GeoPoint> rmc, gga;
    size_t bad = 0;
    size_t first_bad_line = 0;
    size_t line_number = 0;
    std::istringstream in{std::string(text)};
    for (std::string raw; std::getline(in, raw);) {
        ++line_number;
        std::string_view line = raw;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        if (line.size() < 7 || line[0] != '$') continue;
        const std::string_view type = line.substr(3, 3);
        if (type != "RMC" && type != "GGA") continue;
        std::optional<GeoPoint> p;
        if (checksum_ok(line)) {
            if (type == "RMC" && field_at(line, 2) == "A") {
                p = position_of(line, 3);
                if (p) rmc.push_back(*p);
            } else if (type == "GGA" && field_at(line, 6) != "0" && !field_at(line, 6).empty()) {
                p = position_of(line, 2);
                if (p) {
                    p->altitude = number(field_at(line, 9)).value_or(0);
                    gga.push_back(*p);
                }
            } else {
                continue;  // no fix in this sentence: nothing to take
            }
        }
        if (!p) {
            if (bad++ == 0) first_bad_line = line_number;
        }
    }
    points = rmc.empty() ? std::move(gga) : std::move(rmc);
    if (points.empty()) {
        error = std::string(name) + ": no $GPRMC or $GPGGA sentence with a fix" +
                (bad > 0 ? " (" + std::to_string(bad) + " damaged, the first on line " +
                               std::to_string(first_bad_line) + ")"
                         : std::string());
        return false;
    }
    if (bad > 0) {
        error = std::to_string(bad) + " damaged sentence" + (bad == 1 ? "" : "s") +
                " skipped, the first on line " + std::to_string(first_bad_line);
    }
    return true;
}

}  // namespace

double distance_m(const GeoPoint& a, const GeoPoint& b) {
    const double mid = (a.lat + b.lat) / 2 * kDegToRad;
    const double dx = (b.lon - a.lon) * kDegToRad * std::cos(mid) * kEarthRadius;
    const double dy = (b.lat - a.lat) * kDegToRad * kEarthRadius;
    return std::hypot(dx, dy);
}

double bearing_deg(const GeoPoint& a, const GeoPoint& b) {
    const double mid = (a.lat + b.lat) / 2 * kDegToRad;
    const double dx = (b.lon - a.lon) * std::cos(mid);
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

std::optional<double> degrees_from_nmea(std::string_view text) {
    const auto v = number(text);
    if (!v || *v < 0) return std::nullopt;
    const double whole = std::floor(*v / 100.0);
    const double minutes = *v - whole * 100.0;
    if (minutes >= 60.0) return std::nullopt;
    return whole + minutes / 60.0;
}

Track::Track(std::vector<GeoPoint> points, std::string description)
    : points_(std::move(points)), description_(std::move(description)) {
    const size_t n = points_.size();
    heading_.assign(n, 0.0);
    size_t first_move = n;
    for (size_t i = 0; i < n && first_move == n; ++i) {
        if (step_m(i) >= kStandingStill) first_move = i;
    }
    if (first_move == n) return;  // never moves: heading 0 throughout
    // Around the loop from the first movement, so that standing positions at the start take the
    // heading of the movement that ends the loop.
    double last = 0;
    for (size_t k = 0; k < n; ++k) {
        const size_t i = (first_move + k) % n;
        if (step_m(i) >= kStandingStill) last = step_bearing(i);
        heading_[i] = last;
    }
}

bool Track::jumps_back(size_t i) const {
    const size_t n = points_.size();
    return n > 1 && i + 1 == n && distance_m(points_[i], points_[0]) > kMaxStep;
}

double Track::step_bearing(size_t i) const {
    if (jumps_back(i)) return bearing_deg(points_[i - 1], points_[i]);
    return bearing_deg(points_[i], points_[(i + 1) % points_.size()]);
}

double Track::step_m(size_t i) const {
    // The way from a file track's end back to its start is a jump, not a drive.
    if (jumps_back(i)) return distance_m(points_[i - 1], points_[i]);
    return distance_m(points_[i], points_[(i + 1) % points_.size()]);
}

Track Track::built_in() {
    std::vector<GeoPoint> points;
    for (size_t i = 0; i + 1 < kTownLoop.size(); ++i) {
        const GeoPoint& a = kTownLoop[i];
        const GeoPoint& b = kTownLoop[i + 1];
        if (i == 0) points.insert(points.end(), kTrafficLightSeconds, a);
        const auto steps =
            static_cast<size_t>(std::max(1.0, std::round(distance_m(a, b) / kTownSpeed)));
        for (size_t s = 0; s < steps; ++s) {
            const double f = static_cast<double>(s) / static_cast<double>(steps);
            points.push_back({a.lat + (b.lat - a.lat) * f, a.lon + (b.lon - a.lon) * f,
                              a.altitude + (b.altitude - a.altitude) * f});
        }
    }
    return Track(std::move(points),
                 "the built-in drive around a town (" + std::to_string(points.size()) + " s)");
}

std::optional<Track> Track::parse(std::string_view text, std::string_view name,
                                  std::string& error) {
    std::vector<GeoPoint> points;
    const bool gpx = text.find("<gpx") != std::string_view::npos ||
                     text.find("<trkpt") != std::string_view::npos;
    if (gpx) {
        if (!parse_gpx(text, name, points, error)) return std::nullopt;
    } else if (text.find('$') != std::string_view::npos) {
        if (!parse_nmea(text, name, points, error)) return std::nullopt;
    } else {
        error = std::string(name) + ": neither a GPX file nor an NMEA log";
        return std::nullopt;
    }
    return Track(std::move(points), std::string(name) + " (" + std::to_string(points.size()) +
                                        " s" + (error.empty() ? "" : "; " + error) + ")");
}

std::optional<Track> Track::load(const std::filesystem::path& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path.string();
        return std::nullopt;
    }
    std::string text;
    text.resize(kMaxFileBytes + 1);
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxFileBytes) {
        error = path.string() + ": larger than " + std::to_string(kMaxFileBytes >> 20) + " MiB";
        return std::nullopt;
    }
    return parse(text, path.string(), error);
}

Fix Track::at(size_t second) const {
    const size_t i = second % points_.size();
    const GeoPoint& here = points_[i];
    Fix fix;
    fix.pos = here;
    fix.speed_kmh = step_m(i) * 3.6;
    fix.heading = heading_[i];
    return fix;
}

}  // namespace simboard::peers
