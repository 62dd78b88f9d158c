#include "gps_track_files.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <sstream>

#include "serial_link.hpp"

namespace simboard::peers {

namespace {

constexpr double kKnotKmh = 1.852;

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

// The text of the first element called `name` in `body` ("time" finds <time> and, in an
// extension, <gpxtpx:time>): up to the next tag. Nothing when there is none.
std::optional<std::string_view> element_text(std::string_view body, std::string_view name) {
    for (size_t pos = body.find('<'); pos != std::string_view::npos;
         pos = body.find('<', pos + 1)) {
        const size_t close = body.find('>', pos);
        if (close == std::string_view::npos) return std::nullopt;
        std::string_view tag = body.substr(pos + 1, close - pos - 1);
        if (tag.empty() || tag.front() == '/' || tag.back() == '/') continue;
        tag = tag.substr(0, tag.find_first_of(" \t\r\n"));
        if (const size_t colon = tag.find(':'); colon != std::string_view::npos)
            tag.remove_prefix(colon + 1);
        if (tag != name) continue;
        const size_t end = body.find('<', close);
        return body.substr(close + 1,
                           (end == std::string_view::npos ? body.size() : end) - close - 1);
    }
    return std::nullopt;
}

// Whole numbers of exactly `digits` digits from `text` at `at`.
std::optional<int> digits_at(std::string_view text, size_t at, size_t digits) {
    if (at + digits > text.size()) return std::nullopt;
    int v = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        v = v * 10 + (text[i] - '0');
    }
    return v;
}

// Seconds since 1970 of a UTC date and time; nothing when the date is not in the calendar.
std::optional<double> utc_seconds(int year, int month, int day, int hour, int minute,
                                  double second) {
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    if (year < 1970 || month < 1 || month > 12 || day < 1 ||
        day > (month == 2 && !leap ? 28 : kDays[month - 1]) || hour > 23 || minute > 59 ||
        !(second >= 0) || second >= 61)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    return static_cast<double>(::timegm(&tm)) + second;
}

// "hhmmss" or "hhmmss.ss" of an NMEA sentence: hour, minute and seconds.
bool nmea_time(std::string_view text, int& hour, int& minute, double& second) {
    const auto h = digits_at(text, 0, 2);
    const auto m = digits_at(text, 2, 2);
    const auto s = text.size() >= 6 ? number(text.substr(4)) : std::nullopt;
    if (!h || !m || !s || !digits_at(text, 4, 2)) return false;
    hour = *h;
    minute = *m;
    second = *s;
    return true;
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

}  // namespace

std::optional<double> degrees_from_nmea(std::string_view text) {
    const auto v = number(text);
    if (!v || *v < 0) return std::nullopt;
    const double whole = std::floor(*v / 100.0);
    const double minutes = *v - whole * 100.0;
    if (minutes >= 60.0) return std::nullopt;
    return whole + minutes / 60.0;
}

std::optional<double> iso8601_seconds(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    const auto year = digits_at(text, 0, 4);
    const auto month = digits_at(text, 5, 2);
    const auto day = digits_at(text, 8, 2);
    const auto hour = digits_at(text, 11, 2);
    const auto minute = digits_at(text, 14, 2);
    const auto second = digits_at(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' ||
        text[7] != '-' || (text[10] != 'T' && text[10] != ' ') || text[13] != ':' ||
        text[16] != ':')
        return std::nullopt;
    size_t at = 19;
    double fraction = 0;
    if (at < text.size() && text[at] == '.') {
        size_t end = at + 1;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        if (end == at + 1) return std::nullopt;
        fraction = *number(text.substr(at, end - at));
        at = end;
    }
    int zone = 0;  // seconds east of UTC
    const std::string_view rest = text.substr(at);
    if (rest == "Z" || rest.empty()) {
        zone = 0;
    } else if ((rest[0] == '+' || rest[0] == '-') && (rest.size() == 6 || rest.size() == 5)) {
        const auto zh = digits_at(rest, 1, 2);
        const auto zm = digits_at(rest, rest.size() == 6 ? 4 : 3, 2);
        if (!zh || !zm || (rest.size() == 6 && rest[3] != ':') || *zh > 23 || *zm > 59)
            return std::nullopt;
        zone = (rest[0] == '+' ? 1 : -1) * (*zh * 3600 + *zm * 60);
    } else {
        return std::nullopt;
    }
    const auto t = utc_seconds(*year, *month, *day, *hour, *minute, *second + fraction);
    if (!t) return std::nullopt;
    return *t - zone;
}

// Points of a GPX file: the first of trkpt, rtept or wpt that the file has, in file order, with
// their elevation, time and speed (<speed>, in metres a second) when they have them.
bool read_gpx(std::string_view text, std::string_view name, TrackFile& out, std::string& error) {
    size_t untimed = 0;
    for (const std::string_view element : {"trkpt", "rtept", "wpt"}) {
        const std::string open = "<" + std::string(element);
        const std::string close = "</" + std::string(element);
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
            TrackPoint p;
            if (lat && lon) {
                p.pos.lat = *lat;
                p.pos.lon = *lon;
            }
            if (!lat || !lon || !valid(p.pos)) {
                error = std::string(name) + ":" + std::to_string(line_of(text, pos)) + ": <" +
                        std::string(element) + "> without a valid lat and lon";
                return false;
            }
            // What the point holds: up to its closing tag (or the next point, when it has none).
            std::string_view body;
            if (!tag.ends_with('/')) {
                const size_t stop = std::min(text.find(close, end), text.find(open, end));
                body = text.substr(end + 1, stop == std::string_view::npos ? stop : stop - end - 1);
            }
            if (const auto ele = element_text(body, "ele"))
                p.pos.altitude = number(*ele).value_or(0);
            if (const auto speed = element_text(body, "speed")) {
                if (const auto v = number(*speed); v && *v >= 0) p.speed_kmh = *v * 3.6;
            }
            const auto time = element_text(body, "time");
            const auto seconds = time ? iso8601_seconds(*time) : std::nullopt;
            if (seconds) {
                p.time = *seconds;
            } else {
                ++untimed;
            }
            out.points.push_back(p);
            out.lines.push_back(line_of(text, pos));
        }
        if (!out.points.empty()) break;
    }
    if (out.points.empty()) {
        error = std::string(name) + ": no <trkpt>, <rtept> or <wpt> in the GPX file";
        return false;
    }
    if (untimed > 0) {
        out.timed = false;
        out.untimed = untimed == out.points.size()
                          ? "no <time> in the GPX file"
                          : std::to_string(untimed) + " of its " +
                                std::to_string(out.points.size()) + " points without a <time>";
    }
    return true;
}

// Positions of an NMEA log: from $xxRMC sentences with a valid fix (with their date, time and
// speed over ground), or, in a log without them, from $xxGGA sentences with a fix (which carry
// the altitude, and a time of day but no date).
bool read_nmea(std::string_view text, std::string_view name, TrackFile& out, std::string& error) {
    TrackFile rmc, gga;
    size_t bad = 0;
    size_t first_bad_line = 0;
    size_t line_number = 0;
    size_t rmc_undated = 0;
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
                if (p) {
                    TrackPoint point{*p, 0, std::nullopt};
                    int hour = 0, minute = 0;
                    double second = 0;
                    const std::string_view date = field_at(line, 9);
                    const auto day = digits_at(date, 0, 2);
                    const auto month = digits_at(date, 2, 2);
                    const auto year = digits_at(date, 4, 2);
                    std::optional<double> when;
                    if (nmea_time(field_at(line, 1), hour, minute, second) && day && month &&
                        year && date.size() == 6) {
                        when = utc_seconds(*year < 80 ? 2000 + *year : 1900 + *year, *month, *day,
                                           hour, minute, second);
                    }
                    if (when) {
                        point.time = *when;
                    } else {
                        ++rmc_undated;
                    }
                    if (const auto knots = number(field_at(line, 7)); knots && *knots >= 0)
                        point.speed_kmh = *knots * kKnotKmh;
                    rmc.points.push_back(point);
                    rmc.lines.push_back(line_number);
                }
            } else if (type == "GGA" && field_at(line, 6) != "0" && !field_at(line, 6).empty()) {
                p = position_of(line, 2);
                if (p) {
                    p->altitude = number(field_at(line, 9)).value_or(0);
                    gga.points.push_back({*p, 0, std::nullopt});
                    gga.lines.push_back(line_number);
                }
            } else {
                continue;  // no fix in this sentence: nothing to take
            }
        }
        if (!p) {
            if (bad++ == 0) first_bad_line = line_number;
        }
    }
    if (!rmc.points.empty()) {
        out = std::move(rmc);
        if (rmc_undated > 0) {
            out.timed = false;
            out.untimed = std::to_string(rmc_undated) + " $GPRMC sentences without a date";
        }
    } else {
        out = std::move(gga);
        out.timed = false;
        out.untimed = "$GPGGA sentences carry no date";
    }
    if (out.points.empty()) {
        error = std::string(name) + ": no $GPRMC or $GPGGA sentence with a fix" +
                (bad > 0 ? " (" + std::to_string(bad) + " damaged, the first on line " +
                               std::to_string(first_bad_line) + ")"
                         : std::string());
        return false;
    }
    if (bad > 0) {
        out.note = std::to_string(bad) + " damaged sentence" + (bad == 1 ? "" : "s") +
                   " skipped, the first on line " + std::to_string(first_bad_line);
    }
    return true;
}

}  // namespace simboard::peers
