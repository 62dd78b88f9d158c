// The front sub-board on /dev/ttySAC1: GPS receiver, display and keys of the front panel.
//
// It answers the recorder's version query as a 3.5 or a 2.4 board (or not at all), sends a
// "$GPSTX" sentence every second with the position of its GPS track, keeps the front panel's
// state from the commands it receives (time zone, daylight saving, speed unit, display level,
// recording indicator, error code, reboot notices) and sends key codes when a key is pressed.
//
// "$GPSTX" fields, after the sentence word: 1 date ddmmyy, 2 time hhmmss (UTC: the time of the
// fix, its second of the track counted from the PC's clock at the start, shifted by `gps date`), 3
// status A (fix) or V, 4 latitude ddmm.mmmm, 5 N/S, 6 longitude dddmm.mmmm, 7 E/W, 8 satellites
// used, 9 speed in km/h, 10 heading in degrees, 11 key code (empty: no key), 12 altitude in metres;
// then an NMEA checksum. Without a fix the position, heading and altitude fields are empty and
// satellites and speed are 0.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "gps_track.hpp"
#include "serial_link.hpp"

namespace simboard::peers {

// What kind of sub-board answers the version query.
enum class SubVersion { k35, k24, kNone };

struct SubBoardSettings {
    SubVersion version = SubVersion::k35;
    std::string firmware_date = "20100601";  // yyyymmdd, sent with the version answer
    bool silent = false;                     // sends nothing at all (a dead or unplugged board)
    double fix_after = 3.0;                  // seconds from the board's start to the first fix
    std::shared_ptr<const Track> track;      // null: the built-in drive
};

// "3.5", "3.5:20110301", "2.4", "2.4:20100930", "none" or "silent" (the --subboard option).
// Empty when accepted, otherwise what is wrong.
std::string parse_subboard_kind(std::string_view text, SubBoardSettings& settings);
// A firmware date: eight digits yyyymmdd of a real date.
bool valid_firmware_date(std::string_view text);

// The front panel as the recorder has set it up. Updated from every command received.
struct FrontPanel {
    std::string time_zone;         // "GMT+0900"; empty until set
    std::string dst;               // "DSTON" / "DSTOFF"
    std::string speed_unit;        // "km/h", "mph", "knots"
    int display_level = -1;        // FND level 0..8; -1 not set
    bool event_recording = false;  // REC0 switched the recording indicator to the event state
    std::string error;             // last error code shown: "1", "2", "SD"; empty for none
    unsigned start_commands = 0;   // DRSTART (one per configuration pass)
    unsigned version_queries = 0;  // SUB35
    unsigned acks = 0;             // VOK
    unsigned gps_requests = 0;     // GETNOGPS
    unsigned reboot_notices = 0;   // REBOOT
    unsigned unknown = 0;          // lines that are no sub-board command

    // Takes one received line. Returns the command word ("FND5", "SUB35"), or empty when the
    // line is not a "$PZVK,#..." command (counted as unknown).
    std::string apply(std::string_view line);
    std::string summary() const;
};

// One "$GPSTX" sentence (with its checksum and line end). `fix` null: no fix. `key` < 0: no key.
std::string gpstx_sentence(std::chrono::system_clock::time_point utc, const Fix* fix,
                           int satellites, int key);

class SubBoardPeer : public LinePeer {
  public:
    explicit SubBoardPeer(SubBoardSettings settings);
    ~SubBoardPeer() override;

    // Says on the console which track the GPS follows, and how.
    void start(Board& board, int master_fd) override;

    // Actions (any thread).
    void set_fix(bool fix);  // fix now / lost until set again
    void set_gps_time_offset(std::chrono::seconds offset);
    void press_key(int code);  // sent at once in an extra sentence
    void set_silent(bool silent);
    void set_version(SubVersion version, std::string firmware_date);

    FrontPanel panel() const;
    std::string panel_status() const;
    std::string gps_status() const;

  protected:
    void on_line(std::string_view line) override;
    std::optional<SteadyClock::time_point> next_timer() override;
    void on_timer(SteadyClock::time_point now) override;

  private:
    bool has_fix(SteadyClock::time_point now) const;                  // with mutex_ held
    std::string next_sentence(SteadyClock::time_point now, int key);  // with mutex_ held
    void send_version_answer();

    mutable std::mutex mutex_;
    SubBoardSettings settings_;
    std::shared_ptr<const Track> track_;
    SteadyClock::time_point started_;
    SteadyClock::time_point next_gps_;
    std::optional<bool> forced_fix_;  // set by the actions; nothing: fix after fix_after
    std::chrono::system_clock::time_point utc_started_;  // the PC's clock at started_
    std::chrono::seconds time_offset_{0};
    std::deque<int> pending_keys_;  // keys pressed and not sent yet, in order
    FrontPanel panel_;
    std::string last_status_;  // for the console: fix changes are shown once
};

}  // namespace simboard::peers
