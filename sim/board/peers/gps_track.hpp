// Where the front sub-board's GPS receiver is, moment by moment: a built-in drive around a town,
// or a track read from a GPX file (track, route or way points, in order) or an NMEA log ($GPRMC
// or $GPGGA sentences). A track starts again from its beginning when it ends.
//
// A track is replayed at its own pace. Loggers record a point every 1 to 60 s, as the drive
// goes, and none while the car waits: the position at a moment is interpolated between the
// points around it on the track's time line, the speed is the logger's own (a GPX <speed>, the
// speed over ground of $GPRMC) where both points have one, otherwise the distance between them
// over their time, and the heading is the direction of travel. A track without times (a GPX
// file without <time>, an NMEA log without dates, such as $GPGGA sentences) is played one point
// a second instead, and its description says so.
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

// One point of a track: where, when (seconds from the track's first point), and the logger's
// own speed when it recorded one.
struct TrackPoint {
    GeoPoint pos;
    double time = 0;
    std::optional<double> speed_kmh;
};

class Track {
  public:
    // The drive the board makes without a track file: a loop through a town's streets at town
    // speed, with a stop at a traffic light.
    static Track built_in();
    // Reads a GPX file or an NMEA log. Nothing, with the reason in `error`, when the file cannot
    // be read or holds no position. With a track, `error` may hold a note (sentences skipped).
    static std::optional<Track> load(const std::filesystem::path& path, std::string& error);
    static std::optional<Track> parse(std::string_view text, std::string_view name,
                                      std::string& error);

    // The fix `seconds` into the drive (the track repeats after duration()). Standing still
    // keeps the heading of the last movement.
    Fix at(double seconds) const;
    // Seconds of one pass: from the first point to the last, and one more second at the last
    // point (or, on a closed loop played a point a second, on the way back to the first).
    double duration() const { return duration_; }
    size_t points() const { return points_.size(); }
    // False when the track is played one point a second, having no times of its own.
    bool timed() const { return timed_; }
    // "drive.gpx: 5 points over 22 s" or "... one point a second (no times in the file)".
    const std::string& description() const { return description_; }

  private:
    Track(std::vector<TrackPoint> points, bool timed, std::string description);
    // The way from point i to the next one: how far, in which direction, for how long.
    double segment_m(size_t i) const;
    double segment_s(size_t i) const;
    double segment_speed_kmh(size_t i, double fraction) const;

    std::vector<TrackPoint> points_;
    std::vector<double> heading_;  // the heading from each point on, standing still included
    bool timed_ = false;
    bool loop_ = false;  // the last point drives on to the first (the built-in town loop)
    double duration_ = 1;
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
