// The IBC controller on /dev/ttySAC2: it reports the vehicle's state to the recorder in "$APW"
// sentences once the recorder has started it with "$PIB,#APWSTART", and only when the scenario
// (or an operator) says so; during a timed period it sends one sentence a second.
//
// "$APW" fields: 1..4 state letters (an empty field when not given), 5 hours of the first and
// second time (HHhh), 6 their minutes, 7 their seconds; then an NMEA checksum. A timed period
// of N seconds starting now carries the board's UTC time of day as the first time and N seconds
// later as the second.
#pragma once

#include <array>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "serial_link.hpp"

namespace simboard::peers {

// A time of day in seconds (0..86399).
struct ApwMessage {
    std::string letters;  // 1 to 4 state letters
    int first = 0;        // seconds of the day
    int second = 0;
};

std::string apw_sentence(const ApwMessage& message);
// "HH:MM:SS" -> seconds of the day.
std::optional<int> parse_time_of_day(std::string_view text);
// Letters for `ibc send`: 1 to 4 upper-case letters.
bool valid_state_letters(std::string_view text);

class IbcPeer : public LinePeer {
  public:
    IbcPeer();
    ~IbcPeer() override;

    // Actions (any thread). Empty when done, else why not.
    std::string send_message(const ApwMessage& message);
    // A timed period of kind 'T' or 'F' lasting `seconds`: one sentence a second.
    std::string start_period(char kind, int seconds);
    std::string stop_period();

    std::string status() const;
    bool started() const;

  protected:
    void on_line(std::string_view line) override;
    std::optional<SteadyClock::time_point> next_timer() override;
    void on_timer(SteadyClock::time_point now) override;

  private:
    struct Period {
        char kind = 'T';
        int seconds = 0;
        int first = 0;  // time of day at its start
        int sent = 0;
        SteadyClock::time_point next;
        SteadyClock::time_point end;
    };
    bool is_started() const;  // with mutex_ held

    mutable std::mutex mutex_;
    bool started_ = false;
    unsigned started_boot_ = 0;
    unsigned start_commands_ = 0;
    unsigned unknown_ = 0;
    unsigned sent_ = 0;
    std::deque<ApwMessage> pending_;  // messages to send at once, in order
    std::optional<Period> period_;
};

}  // namespace simboard::peers
