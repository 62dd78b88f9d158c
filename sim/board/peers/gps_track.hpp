// Where the front sub-board's GPS receiver is, second by second: a built-in drive around a town,
// or a track read from a GPX file (track, route or way points, in order) or an NMEA log ($GPRMC
// or $GPGGA sentences). A track holds one position per second of driving and starts again from
// its beginning when it ends.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simboard::peers {

struct GeoPoint {
    double lat = 0;       // degrees, north positive
    double lon = 0;       // degrees, east positive
    double altitude = 0;  // metres
};

struct Fix {
    GeoPoint pos;
    double speed_kmh = 0;
    double heading = 0;  // degrees clockwise from north, 0..359
};

class Track {
  public:
    // The drive the board makes without a track file: a loop through a town's streets at town
    // speed, with a stop at a traffic light.
    static Track built_in();
    // Reads a GPX file or an NMEA log. Nothing, with the reason in `error`, when the file cannot
    // be read or holds no position.
    static std::optional<Track> load(const std::filesystem::path& path, std::string& error);
    static std::optional<Track> parse(std::string_view text, std::string_view name,
                                      std::string& error);

    // The fix `second` seconds into the drive (the track repeats). Speed and heading come from
    // the way to the next position; standing still keeps the heading of the last movement.
    Fix at(size_t second) const;
    size_t seconds() const { return points_.size(); }
    const std::string& description() const { return description_; }

  private:
    Track(std::vector<GeoPoint> points, std::string description);
    // Metres driven from position i to the next one.
    double step_m(size_t i) const;
    double step_bearing(size_t i) const;
    bool jumps_back(size_t i) const;  // position i is the last and the track starts far away

    std::vector<GeoPoint> points_;
    std::vector<double> heading_;  // the heading at each position, standing still included
    std::string description_;
};

// Distance in metres and initial bearing in degrees between two positions (a flat earth around
// them, which is exact enough for one second of driving).
double distance_m(const GeoPoint& a, const GeoPoint& b);
double bearing_deg(const GeoPoint& a, const GeoPoint& b);

// NMEA's "ddmm.mmmm" (latitude, two degree digits) and "dddmm.mmmm" (longitude, three) of the
// absolute value of `degrees`.
std::string nmea_latitude(double degrees);
std::string nmea_longitude(double degrees);
// The inverse: degrees from "ddmm.mmmm" / "dddmm.mmmm" text; nothing when it is not a number.
std::optional<double> degrees_from_nmea(std::string_view text);

}  // namespace simboard::peers
