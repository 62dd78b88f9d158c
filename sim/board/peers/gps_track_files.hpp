// The readers of track files behind Track::parse: GPX files and NMEA logs, as they come, with the
// times of their points where they have them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "gps_track.hpp"

namespace simboard::peers {

struct TrackFile {
    std::vector<TrackPoint> points;  // in file order; times in seconds since 1970 (UTC)
    std::vector<size_t> lines;       // the line each point stands on
    bool timed = true;               // every point has its date and time
    std::string untimed;             // why not ("no <time> in the GPX file")
    std::string note;                // what was skipped ("2 damaged sentences skipped, ...")
};

// Each fills `out`; false with the reason in `error` when the file holds no position.
bool read_gpx(std::string_view text, std::string_view name, TrackFile& out, std::string& error);
bool read_nmea(std::string_view text, std::string_view name, TrackFile& out, std::string& error);

// "2024-05-01T10:00:00Z", with fractions of a second and a zone ("+02:00", "-0130") or none
// (UTC): seconds since 1970. Nothing when it is no such time or no real date.
std::optional<double> iso8601_seconds(std::string_view text);

}  // namespace simboard::peers
