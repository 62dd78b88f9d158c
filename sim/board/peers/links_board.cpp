// The front sub-board and the IBC controller on the board: their serial peers, options,
// scenario actions and status items.
#include <charconv>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>

#include "board.hpp"
#include "ibc_peer.hpp"
#include "subboard.hpp"

namespace simboard::peers {

namespace {

std::mutex g_mutex;               // guards what follows
SubBoardSettings g_sub_settings;  // from the options, for the peer made at the board's start
class BoardSubBoard;
class BoardIbc;
BoardSubBoard* g_sub = nullptr;  // the running peers (none when the port is attached elsewhere)
BoardIbc* g_ibc = nullptr;

class BoardSubBoard final : public SubBoardPeer {
  public:
    using SubBoardPeer::SubBoardPeer;
    ~BoardSubBoard() override { stop(); }
    void start(Board& board, int master_fd) override {
        SubBoardPeer::start(board, master_fd);
        std::lock_guard lock(g_mutex);
        g_sub = this;
    }
    void stop() override {
        {
            std::lock_guard lock(g_mutex);
            if (g_sub == this) g_sub = nullptr;
        }
        SubBoardPeer::stop();
    }
};

class BoardIbc final : public IbcPeer {
  public:
    ~BoardIbc() override { stop(); }
    void start(Board& board, int master_fd) override {
        IbcPeer::start(board, master_fd);
        std::lock_guard lock(g_mutex);
        g_ibc = this;
    }
    void stop() override {
        {
            std::lock_guard lock(g_mutex);
            if (g_ibc == this) g_ibc = nullptr;
        }
        IbcPeer::stop();
    }
};

// Runs `f` on the running sub-board, or says why there is none.
template <typename F>
std::string with_subboard(F&& f) {
    std::lock_guard lock(g_mutex);
    if (g_sub == nullptr)
        return "the front sub-board is not on this board (ttySAC1 is attached elsewhere)";
    return f(*g_sub);
}

template <typename F>
std::string with_ibc(F&& f) {
    std::lock_guard lock(g_mutex);
    if (g_ibc == nullptr)
        return "the IBC controller is not on this board (ttySAC2 is attached elsewhere)";
    return f(*g_ibc);
}

std::string join(const Args& args) {
    std::string text;
    for (const auto& a : args) text += (text.empty() ? "" : " ") + a;
    return text;
}

std::optional<double> seconds_of(std::string_view text) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < 0)
        return std::nullopt;
    return v;
}

std::optional<int> key_code(const Args& args) {
    if (args.size() != 1) return std::nullopt;
    if (args[0] == "erase") return 254;
    int v = -1;
    const auto& t = args[0];
    const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || end != t.data() + t.size() || v < 0 || v > 254) return std::nullopt;
    return v;
}

// "YYYY-MM-DD HH:MM:SS" as UTC, or "now".
std::optional<std::chrono::system_clock::time_point> gps_date(const Args& args) {
    if (args.size() == 1 && args[0] == "now") return std::chrono::system_clock::now();
    if (args.size() != 2) return std::nullopt;
    std::tm tm{};
    char tail = 0;
    const std::string text = join(args);
    if (text.size() != 19 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                    &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &tail) != 6)
        return std::nullopt;
    if (tm.tm_year < 1980 || tm.tm_year > 2079 || tm.tm_mon < 1 || tm.tm_mon > 12 ||
        tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 || tm.tm_sec > 59)
        return std::nullopt;
    // A day the month has (timegm would take 2026-02-30 for 2 March).
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = tm.tm_year % 4 == 0 && (tm.tm_year % 100 != 0 || tm.tm_year % 400 == 0);
    if (tm.tm_mday > (tm.tm_mon == 2 && !leap ? 28 : kDays[tm.tm_mon - 1])) return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return std::chrono::system_clock::from_time_t(::timegm(&tm));
}

std::string check_ibc_send(const Args& args) {
    if (args.empty() || args.size() == 2 || args.size() > 3 || !valid_state_letters(args[0]))
        return "expected 1 to 4 state letters, and optionally two times HH:MM:SS";
    if (args.size() == 3 && (!parse_time_of_day(args[1]) || !parse_time_of_day(args[2])))
        return "times are HH:MM:SS";
    return "";
}

std::string check_period(const Args& args) {
    if (args.size() != 2 || (args[0] != "T" && args[0] != "F"))
        return "expected T or F and the period's length in seconds";
    const auto s = seconds_of(args[1]);
    if (!s || *s < 1 || *s > 86399 || std::floor(*s) != *s)
        return "a length of 1 to 86399 whole seconds";
    return "";
}

std::string send_letters(std::string letters) {
    return with_ibc([&](IbcPeer& ibc) { return ibc.send_message({std::move(letters), 0, 0}); });
}

const bool registered = [] {
    register_serial_peer({1, "front sub-board", [] {
                              std::lock_guard lock(g_mutex);
                              return std::unique_ptr<SerialPeer>(
                                  std::make_unique<BoardSubBoard>(g_sub_settings));
                          }});
    register_serial_peer({2, "IBC controller", [] {
                              return std::unique_ptr<SerialPeer>(std::make_unique<BoardIbc>());
                          }});

    register_option({"subboard", "KIND",
                     "front sub-board: 3.5[:YYYYMMDD] (default), 2.4[:YYYYMMDD], none or silent",
                     [](std::string_view v) {
                         std::lock_guard lock(g_mutex);
                         return parse_subboard_kind(v, g_sub_settings);
                     }});
    register_option({"gps-track", "FILE",
                     "GPS track: a GPX file or an NMEA log, at its own pace (default: built in)",
                     [](std::string_view v) -> std::string {
                         std::string error;
                         auto track = Track::load(std::string(v), error);
                         if (!track) return error;
                         std::lock_guard lock(g_mutex);
                         g_sub_settings.track = std::make_shared<const Track>(std::move(*track));
                         return "";
                     }});
    register_option({"gps-fix-after", "SECONDS", "the GPS has a fix after that long (default 3)",
                     [](std::string_view v) -> std::string {
                         const auto s = seconds_of(v);
                         if (!s) return "expected a number of seconds, 0 or more";
                         std::lock_guard lock(g_mutex);
                         g_sub_settings.fix_after = *s;
                         return "";
                     }});

    register_action({"gps fix", "", "the GPS receiver has a fix (from now on)", nullptr,
                     [](Board&, const Args&) {
                         return with_subboard([](SubBoardPeer& p) {
                             p.set_fix(true);
                             return std::string();
                         });
                     }});
    register_action({"gps lost", "", "the GPS receiver loses its fix (until gps fix)", nullptr,
                     [](Board&, const Args&) {
                         return with_subboard([](SubBoardPeer& p) {
                             p.set_fix(false);
                             return std::string();
                         });
                     }});
    register_action({"gps date", "YYYY-MM-DD HH:MM:SS|now",
                     "the UTC date and time the GPS reports (now: the PC's)",
                     [](const Args& a) {
                         return gps_date(a) ? "" : "expected YYYY-MM-DD HH:MM:SS (UTC) or now";
                     },
                     [](Board&, const Args& a) {
                         const auto when = gps_date(a);
                         const auto offset = std::chrono::round<std::chrono::seconds>(
                             *when - std::chrono::system_clock::now());
                         return with_subboard([&](SubBoardPeer& p) {
                             p.set_gps_time_offset(offset);
                             return std::string();
                         });
                     }});
    register_action(
        {"key", "CODE|erase", "a key of the front panel, sent at once (0..254; erase is 254)",
         [](const Args& a) { return key_code(a) ? "" : "expected a key code 0..254 or erase"; },
         [](Board&, const Args& a) {
             const int code = *key_code(a);
             return with_subboard([&](SubBoardPeer& p) {
                 p.press_key(code);
                 return std::string();
             });
         }});
    register_action({"subboard silent", "", "the front sub-board sends nothing at all", nullptr,
                     [](Board&, const Args&) {
                         return with_subboard([](SubBoardPeer& p) {
                             p.set_silent(true);
                             return std::string();
                         });
                     }});
    register_action({"subboard answering", "", "the front sub-board talks again", nullptr,
                     [](Board&, const Args&) {
                         return with_subboard([](SubBoardPeer& p) {
                             p.set_silent(false);
                             return std::string();
                         });
                     }});
    register_action(
        {"subboard version", "3.5|2.4|none [YYYYMMDD]",
         "how the front sub-board answers the version query",
         [](const Args& a) -> std::string {
             if (a.empty() || a.size() > 2 || (a[0] != "3.5" && a[0] != "2.4" && a[0] != "none"))
                 return "expected 3.5, 2.4 or none, and for 3.5 and 2.4 optionally a date";
             if (a.size() == 2 && (a[0] == "none" || !valid_firmware_date(a[1])))
                 return "the firmware date is YYYYMMDD";
             return "";
         },
         [](Board&, const Args& a) {
             const SubVersion v = a[0] == "3.5"   ? SubVersion::k35
                                  : a[0] == "2.4" ? SubVersion::k24
                                                  : SubVersion::kNone;
             return with_subboard([&](SubBoardPeer& p) {
                 p.set_version(v, a.size() == 2 ? a[1] : "");
                 return std::string();
             });
         }});

    register_action({"ibc send", "LETTERS [HH:MM:SS HH:MM:SS]",
                     "the IBC controller sends 1 to 4 state letters and two times", check_ibc_send,
                     [](Board&, const Args& a) {
                         ApwMessage m{a[0], 0, 0};
                         if (a.size() == 3) {
                             m.first = *parse_time_of_day(a[1]);
                             m.second = *parse_time_of_day(a[2]);
                         }
                         return with_ibc([&](IbcPeer& ibc) { return ibc.send_message(m); });
                     }});
    register_action({"ibc parking", "", "the vehicle is parked: the IBC controller sends B",
                     nullptr, [](Board&, const Args&) { return send_letters("B"); }});
    register_action({"ibc driving", "", "the vehicle drives again: the IBC controller sends C",
                     nullptr, [](Board&, const Args&) { return send_letters("C"); }});
    register_action({"ibc snapshot", "", "the IBC controller asks for a snapshot (A, O)", nullptr,
                     [](Board&, const Args&) { return send_letters("AO"); }});
    register_action({"ibc snapshot end", "", "the IBC controller ends a snapshot set (A, F)",
                     nullptr, [](Board&, const Args&) { return send_letters("AF"); }});
    register_action(
        {"ibc period", "T|F SECONDS", "a timed period: one sentence a second for that long",
         check_period, [](Board&, const Args& a) {
             const int seconds = static_cast<int>(*seconds_of(a[1]));
             return with_ibc([&](IbcPeer& ibc) { return ibc.start_period(a[0][0], seconds); });
         }});
    register_action({"ibc period stop", "", "ends a timed period before its time", nullptr,
                     [](Board&, const Args&) {
                         return with_ibc([](IbcPeer& ibc) { return ibc.stop_period(); });
                     }});

    register_status_item({"subboard", [](Board&) {
                              std::lock_guard lock(g_mutex);
                              return g_sub != nullptr ? g_sub->panel_status() : std::string();
                          }});
    register_status_item({"gps", [](Board&) {
                              std::lock_guard lock(g_mutex);
                              return g_sub != nullptr ? g_sub->gps_status() : std::string();
                          }});
    register_status_item({"ibc", [](Board&) {
                              std::lock_guard lock(g_mutex);
                              return g_ibc != nullptr ? g_ibc->status() : std::string();
                          }});
    return true;
}();

}  // namespace

}  // namespace simboard::peers
