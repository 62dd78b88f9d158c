#include "subboard.hpp"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace simboard::peers {

namespace {

constexpr auto kGpsPeriod = std::chrono::seconds(1);
constexpr std::string_view kCommandHead = "$PZVK,#";

bool all_digits(std::string_view s) {
    for (const char c : s) {
        if (c < '0' || c > '9') return false;
    }
    return !s.empty();
}

std::string fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

// ---- settings
// ------------------------------------------------------------------------------------

bool valid_firmware_date(std::string_view text) {
    if (text.size() != 8 || !all_digits(text)) return false;
    const int year = std::stoi(std::string(text.substr(0, 4)));
    const int month = std::stoi(std::string(text.substr(4, 2)));
    const int day = std::stoi(std::string(text.substr(6, 2)));
    if (year < 2000 || month < 1 || month > 12 || day < 1) return false;
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= (month == 2 && !leap ? 28 : kDays[month - 1]);
}

std::string parse_subboard_kind(std::string_view text, SubBoardSettings& settings) {
    if (text == "silent") {
        settings.silent = true;
        return "";
    }
    if (text == "none") {
        settings.silent = false;
        settings.version = SubVersion::kNone;
        return "";
    }
    const std::string_view kind = text.substr(0, text.find(':'));
    if (kind != "3.5" && kind != "2.4")
        return "expected 3.5, 2.4 (each with :YYYYMMDD), none or silent";
    std::string date = kind == "3.5" ? "20100601" : "20100930";
    if (kind.size() < text.size()) {
        date = std::string(text.substr(kind.size() + 1));
        if (!valid_firmware_date(date))
            return "firmware date '" + date + "' is not a date YYYYMMDD";
    }
    settings.silent = false;
    settings.version = kind == "3.5" ? SubVersion::k35 : SubVersion::k24;
    settings.firmware_date = date;
    return "";
}

// ---- front panel
// ---------------------------------------------------------------------------------

std::string FrontPanel::apply(std::string_view line) {
    if (!line.starts_with(kCommandHead)) {
        ++unknown;
        return "";
    }
    const std::string_view rest = line.substr(kCommandHead.size());
    const std::string word(rest.substr(0, rest.find(',')));
    if (word == "DRSTART") {
        ++start_commands;
    } else if (word.starts_with("GMT") && word.size() == 8) {
        time_zone = word;
    } else if (word == "DSTON" || word == "DSTOFF") {
        dst = word;
    } else if (word == "SPEEDK") {
        speed_unit = "km/h";
    } else if (word == "SPEEDM") {
        speed_unit = "mph";
    } else if (word == "SPEEDKN") {
        speed_unit = "knots";
    } else if (word.starts_with("FND") && word.size() == 4 && word[3] >= '0' && word[3] <= '8') {
        display_level = word[3] - '0';
    } else if (word == "SUB35") {
        ++version_queries;
    } else if (word == "VOK") {
        ++acks;
    } else if (word == "REC0") {
        event_recording = true;
    } else if (word == "REC1") {
        event_recording = false;
    } else if (word == "ERRSD") {
        error = "SD";
    } else if (word.starts_with("ERR") && all_digits(std::string_view(word).substr(3))) {
        error = word.substr(3);
    } else if (word == "GETNOGPS") {
        ++gps_requests;
    } else if (word == "REBOOT") {
        ++reboot_notices;
    } else {
        ++unknown;
        return "";
    }
    return word;
}

std::string FrontPanel::summary() const {
    std::string s = time_zone.empty() ? "tz ?" : time_zone;
    s += " " + (dst.empty() ? std::string("DST?") : dst);
    s += " " + (speed_unit.empty() ? std::string("speed ?") : speed_unit);
    s += " FND" + (display_level < 0 ? std::string("?") : std::to_string(display_level));
    s += event_recording ? " rec EVENT" : " rec normal";
    s += " err " + (error.empty() ? std::string("none") : error);
    s += " | starts " + std::to_string(start_commands) + " queries " +
         std::to_string(version_queries) + " acks " + std::to_string(acks) + " nogps " +
         std::to_string(gps_requests) + " reboots " + std::to_string(reboot_notices);
    if (unknown > 0) s += " unknown " + std::to_string(unknown);
    return s;
}

// ---- the GPS sentence
// ----------------------------------------------------------------------------

std::string gpstx_sentence(std::chrono::system_clock::time_point utc, const Fix* fix,
                           int satellites, int key) {
    const std::time_t t = std::chrono::system_clock::to_time_t(utc);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char date[40], time[40];
    std::snprintf(date, sizeof date, "%02d%02d%02d", tm.tm_mday, tm.tm_mon + 1, tm.tm_year % 100);
    std::snprintf(time, sizeof time, "%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::vector<std::string> f = {"GPSTX", date, time};
    if (fix != nullptr) {
        f.insert(f.end(), {"A", nmea_latitude(fix->pos.lat), fix->pos.lat < 0 ? "S" : "N",
                           nmea_longitude(fix->pos.lon), fix->pos.lon < 0 ? "W" : "E",
                           std::to_string(satellites),
                           std::to_string(static_cast<int>(std::lround(fix->speed_kmh))),
                           std::to_string(static_cast<int>(std::lround(fix->heading)) % 360)});
    } else {
        f.insert(f.end(), {"V", "", "", "", "", "0", "0", ""});
    }
    f.push_back(key >= 0 ? std::to_string(key) : "");
    f.push_back(fix != nullptr ? std::to_string(static_cast<int>(std::lround(fix->pos.altitude)))
                               : "");
    std::string body;
    for (size_t i = 0; i < f.size(); ++i) body += (i == 0 ? "" : ",") + f[i];
    return nmea_sentence(body);
}

// ---- the peer
// ------------------------------------------------------------------------------------

SubBoardPeer::SubBoardPeer(SubBoardSettings settings)
    : LinePeer("subboard", "subboard.log"),
      settings_(std::move(settings)),
      track_(settings_.track ? settings_.track : std::make_shared<Track>(Track::built_in())),
      started_(SteadyClock::now()),
      next_gps_(started_ + kGpsPeriod),
      utc_started_(std::chrono::system_clock::now()) {}

SubBoardPeer::~SubBoardPeer() {
    stop();
}

void SubBoardPeer::start(Board& board, int master_fd) {
    LinePeer::start(board, master_fd);
    board.console("subboard", "GPS track " + track_->description());
}

bool SubBoardPeer::has_fix(SteadyClock::time_point now) const {
    if (forced_fix_) return *forced_fix_;
    return std::chrono::duration<double>(now - started_).count() >= settings_.fix_after;
}

void SubBoardPeer::set_fix(bool fix) {
    {
        std::lock_guard lock(mutex_);
        forced_fix_ = fix;
    }
    wake();
}

void SubBoardPeer::set_gps_time_offset(std::chrono::seconds offset) {
    std::lock_guard lock(mutex_);
    time_offset_ = offset;
}

void SubBoardPeer::press_key(int code) {
    {
        std::lock_guard lock(mutex_);
        pending_keys_.push_back(code);  // keys pressed in a row are all sent
    }
    wake();
}

void SubBoardPeer::set_silent(bool silent) {
    std::lock_guard lock(mutex_);
    settings_.silent = silent;
}

void SubBoardPeer::set_version(SubVersion version, std::string firmware_date) {
    std::lock_guard lock(mutex_);
    settings_.version = version;
    if (!firmware_date.empty()) settings_.firmware_date = std::move(firmware_date);
}

FrontPanel SubBoardPeer::panel() const {
    std::lock_guard lock(mutex_);
    return panel_;
}

std::string SubBoardPeer::panel_status() const {
    std::lock_guard lock(mutex_);
    std::string kind = settings_.version == SubVersion::k35   ? "3.5 " + settings_.firmware_date
                       : settings_.version == SubVersion::k24 ? "2.4 " + settings_.firmware_date
                                                              : "no version answer";
    return (settings_.silent ? "SILENT (" + kind + ")" : kind) + " | " + panel_.summary();
}

std::string SubBoardPeer::gps_status() const {
    std::lock_guard lock(mutex_);
    const auto now = SteadyClock::now();
    if (settings_.silent) return "silent";
    if (!has_fix(now)) {
        if (forced_fix_) return "no fix (lost)";
        const double left =
            settings_.fix_after - std::chrono::duration<double>(now - started_).count();
        return "no fix (fix in " + fixed(left, 0) + " s)";
    }
    const auto second = static_cast<size_t>((now - started_) / kGpsPeriod);
    const Fix fix = track_->at(static_cast<double>(second));
    return "fix " + fixed(fix.pos.lat, 5) + " " + fixed(fix.pos.lon, 5) + " " +
           fixed(fix.speed_kmh, 0) + " km/h " + fixed(fix.heading, 0) + " deg";
}

std::string SubBoardPeer::next_sentence(SteadyClock::time_point now, int key) {
    const auto second = static_cast<size_t>((now - started_) / kGpsPeriod);
    const bool fix = has_fix(now);
    const Fix where = track_->at(static_cast<double>(second));
    const int satellites = 7 + static_cast<int>(second / 23 % 4);
    // The time of the fix: its second of the track, so that a late sentence does not tell of
    // one second's place at the next one's time.
    const auto utc = utc_started_ + std::chrono::seconds(second) + time_offset_;
    const std::string status = fix ? "fix" : "no fix";
    if (status != last_status_) {
        board()->console("subboard",
                         "GPS " + status +
                             (fix ? " at " + fixed(where.pos.lat, 5) + " " + fixed(where.pos.lon, 5)
                                  : std::string()));
        last_status_ = status;
    }
    return gpstx_sentence(utc, fix ? &where : nullptr, satellites, key);
}

std::optional<SteadyClock::time_point> SubBoardPeer::next_timer() {
    std::lock_guard lock(mutex_);
    if (!pending_keys_.empty()) return SteadyClock::now();
    return next_gps_;
}

void SubBoardPeer::on_timer(SteadyClock::time_point now) {
    std::string sentence;
    {
        std::lock_guard lock(mutex_);
        int key = -1;
        if (!pending_keys_.empty()) {
            key = pending_keys_.front();
            pending_keys_.pop_front();
        } else {
            // Whole seconds from the start; a late wake-up does not shift the rhythm.
            while (next_gps_ <= now) next_gps_ += kGpsPeriod;
        }
        if (settings_.silent || !board()->powered()) return;
        sentence = next_sentence(now, key);
    }
    send(sentence);
}

void SubBoardPeer::send_version_answer() {
    std::string answer;
    {
        std::lock_guard lock(mutex_);
        if (settings_.silent || settings_.version == SubVersion::kNone) return;
        answer = (settings_.version == SubVersion::k35 ? "$SUBOK" : "$SUB24") +
                 settings_.firmware_date + "\r\n";
    }
    send(answer);
}

void SubBoardPeer::on_line(std::string_view line) {
    std::string word;
    FrontPanel before;
    {
        std::lock_guard lock(mutex_);
        before = panel_;
        word = panel_.apply(line);
    }
    if (word.empty()) {
        board()->console("subboard", "not a sub-board command: " + printable(line));
        return;
    }
    if (word == "SUB35") {
        send_version_answer();
        return;
    }
    const FrontPanel after = panel();
    const auto note = [this](const std::string& text) { board()->console("subboard", text); };
    if (after.time_zone != before.time_zone) note("time zone " + after.time_zone);
    if (after.dst != before.dst) note("daylight saving " + after.dst);
    if (after.speed_unit != before.speed_unit) note("speed unit " + after.speed_unit);
    if (after.display_level != before.display_level)
        note("display level " + std::to_string(after.display_level));
    if (after.event_recording != before.event_recording)
        note(after.event_recording ? "recording indicator: event" : "recording indicator: normal");
    if (after.error != before.error) note("error code " + after.error);
    if (after.reboot_notices != before.reboot_notices) note("reboot notice");
    if (after.gps_requests != before.gps_requests) note("the recorder asks for GPS (GETNOGPS)");
}

}  // namespace simboard::peers
