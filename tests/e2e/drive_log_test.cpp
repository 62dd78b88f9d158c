// A drive log replayed by the front sub-board (--gps-track) comes out of the card at its own pace
// and speed: the recorder's GPS records, second by second, show the way the log drove, its speeds
// and its wait at a junction as long as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include "board_run.hpp"
#include "recording_checks.hpp"

namespace e2e {
namespace {

using namespace std::chrono_literals;

// Points every few seconds, none while the car waits: 50 m north in 5 s (36 km/h), 15 m in 2 s
// (27 km/h), 10 s standing at the junction, 95 m east in 5 s (68 km/h).
constexpr const char* kDriveLog = R"(<?xml version="1.0"?><gpx><trk><trkseg>
  <trkpt lat="47.000000000" lon="8.0"><time>2024-05-01T10:00:00Z</time></trkpt>
  <trkpt lat="47.000449663" lon="8.0"><time>2024-05-01T10:00:05Z</time></trkpt>
  <trkpt lat="47.000584562" lon="8.0"><time>2024-05-01T10:00:07Z</time></trkpt>
  <trkpt lat="47.000584562" lon="8.0"><time>2024-05-01T10:00:17Z</time></trkpt>
  <trkpt lat="47.000584562" lon="8.001250620"><time>2024-05-01T10:00:22Z</time></trkpt>
</trkseg></trk></gpx>)";
constexpr double kJunctionLat = 47.000584562;
constexpr int kPass = 23;  // seconds of one pass of the log

struct GpsFix {
    double lat = 0;
    double lon = 0;
    int speed = 0;  // km/h, as the sub-board sends it (the record's heading gate)
    int heading = 0;
};

double degrees(const std::string& nmea) {
    const double v = std::stod(nmea);
    const double whole = std::floor(v / 100);
    return whole + (v - whole * 100) / 60;
}

double metres(const GpsFix& a, const GpsFix& b) {
    constexpr double kMetresPerDegree = 6371000.0 * M_PI / 180.0;
    const double dy = (b.lat - a.lat) * kMetresPerDegree;
    const double dx = (b.lon - a.lon) * kMetresPerDegree * std::cos(a.lat * M_PI / 180);
    return std::hypot(dx, dy);
}

// The fixes on the card by the second they were taken (the sentence's time), each once.
std::map<time_t, GpsFix> fixes_on_card(const BoardRun& board) {
    std::map<time_t, GpsFix> out;
    for (const int index : board.recordings()) {
        for (const auto& g : gps_records(board.recording(index))) {
            if (g.status != 'A') continue;
            const time_t at = utc(2000 + g.year, g.month, g.day, g.hour, g.minute, g.second);
            out[at] = {degrees(g.latitude), degrees(g.longitude), g.headingGate, g.heading};
        }
    }
    return out;
}

// Fixes one second apart (their way not the jump from the log's end back to its start), and the
// longest wait at the junction: enough of them once the card has seen the whole log.
std::vector<std::pair<time_t, time_t>> pairs(const std::map<time_t, GpsFix>& fixes) {
    std::vector<std::pair<time_t, time_t>> out;
    for (auto it = fixes.begin(); it != fixes.end() && std::next(it) != fixes.end(); ++it) {
        const auto next = std::next(it);
        if (next->first == it->first + 1 && metres(it->second, next->second) < 100)
            out.emplace_back(it->first, next->first);
    }
    return out;
}

bool at_junction(const GpsFix& fix) {
    return std::fabs(fix.lat - kJunctionLat) * 111195 < 1 && fix.lon < 8.00001;
}

std::set<int> speeds(const std::map<time_t, GpsFix>& fixes) {
    std::set<int> out;
    for (const auto& [at, fix] : fixes) out.insert(fix.speed);
    return out;
}

int longest_wait(const std::map<time_t, GpsFix>& fixes) {
    int longest = 0, run = 0;
    for (const auto& [at, fix] : fixes) {
        const bool waiting = at_junction(fix) && fix.speed == 0;
        run = waiting ? (fixes.count(at - 1) != 0 ? run + 1 : 1) : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

TEST(DriveLog, ComesOutOfTheCardAtItsOwnPaceAndSpeed) {
    BoardRun board("gps-track");
    const fs::path log = board.dir() / "drive.gpx";
    std::ofstream(log) << kDriveLog;
    board.start({"--model", "tk500", "--gps-track", log.string(), "--gps-fix-after", "0"});
    ASSERT_TRUE(board.wait_for("GPS track " + log.string() + ": 5 points over 22 s"))
        << board.console();
    // Until the card has seen the whole log (a second lost here and there at a file change).
    ASSERT_TRUE(board.until(
        [&] {
            const auto fixes = fixes_on_card(board);
            return pairs(fixes).size() > kPass && longest_wait(fixes) >= 9 &&
                   speeds(fixes).size() >= 4;
        },
        240s))
        << board.console();
    ASSERT_EQ(board.quit(), 0) << board.output();

    const auto fixes = fixes_on_card(board);
    EXPECT_EQ(speeds(fixes), (std::set<int>{0, 27, 36, 68}));  // the log's, and no other

    // Second by second, the way driven is the speed told, and the heading is the way's.
    for (const auto& [at, next_at] : pairs(fixes)) {
        const GpsFix& fix = fixes.at(at);
        const GpsFix& next = fixes.at(next_at);
        EXPECT_NEAR(metres(fix, next) * 3.6, fix.speed, 3.0) << "at " << at;
        if (fix.speed > 7) {
            EXPECT_EQ(fix.heading, fix.lon > 8.0 || next.lon > 8.0 ? 90 : 0) << "at " << at;
        }
    }
    // The wait at the junction lasts its 10 s, not one, heading still north.
    EXPECT_GE(longest_wait(fixes), 9);
    for (const auto& [at, fix] : fixes) {
        if (at_junction(fix) && fix.speed == 0) {
            EXPECT_EQ(fix.heading, 0) << "at " << at;
        }
    }
}

}  // namespace
}  // namespace e2e
