// The board's own device drivers (/dev/i2c-0 with the RTC and the codec, /dev/watchdog,
// /dev/dsp and its FIFO), their options, scenario actions and status items.
#include <memory>
#include <mutex>

#include "../../kernel/simk.hpp"
#include "audio.hpp"
#include "board.hpp"
#include "codec.hpp"  // sim/hw
#include "i2c.hpp"
#include "rtc.hpp"  // sim/hw
#include "serial_link.hpp"
#include "watchdog.hpp"

namespace simboard::peers {

namespace {

constexpr unsigned kI2cMajor = 89;
constexpr unsigned kMiscMajor = 10;
constexpr unsigned kSoundMajor = 14;

// What lives as long as the board process: the chips on the bus (the RTC keeps its time in a
// file besides), the logs, the capture source. The drivers live from power-on to power-off.
struct Devices {
    std::mutex mutex;  // guards the pointers below and the settings
    hw::Rtc rtc;
    hw::Codec codec;
    Transcript codec_log;
    I2cBus bus;
    PlaybackLog playback;
    std::unique_ptr<PromptLibrary> library;
    std::unique_ptr<I2cDevDriver> i2c;
    std::unique_ptr<WatchdogDriver> watchdog;
    std::unique_ptr<DspDriver> dsp;
    std::unique_ptr<DspFifo> fifo;
    std::shared_ptr<const CaptureSource> source = cabin_noise();
    std::string rtc_option;  // --rtc, applied at the first power-on
    bool first_power_on = true;
    bool watchdog_reset = false;  // the last reset was the watchdog's
};

Devices& devices() {
    static Devices* d = new Devices;  // outlives every thread of the board
    return *d;
}

std::string join(const Args& args) {
    std::string text;
    for (const auto& a : args) text += (text.empty() ? "" : " ") + a;
    return text;
}

std::string check_rtc_setting(std::string_view v) {
    if (v == "now" || v == "invalid" || v == "unreadable" || hw::parse_rtc_date(v)) return "";
    return "expected now, invalid, unreadable or 'YYYY-MM-DD HH:MM:SS' (2000..2099)";
}

void apply_rtc_setting(Board& board, std::string_view v) {
    Devices& d = devices();
    if (v == "invalid") {
        d.rtc.flat_battery();
    } else if (v == "unreadable") {
        d.rtc.set_readable(false);
    } else if (v == "now") {
        const std::time_t t = std::time(nullptr);
        std::tm tm{};
        ::gmtime_r(&t, &tm);
        d.rtc.set({tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec});
    } else if (const auto date = hw::parse_rtc_date(v)) {
        d.rtc.set(*date);
    }
    board.log("RTC: " + d.rtc.describe());
}

std::shared_ptr<const CaptureSource> source_of(std::string_view v, std::string& error) {
    if (v == "noise") return cabin_noise();
    if (v == "silence") return silence();
    return wave_source(std::string(v), error);
}

void power_on(Board& board) {
    Devices& d = devices();
    std::string rtc_option;
    {
        std::lock_guard lock(d.mutex);
        if (!d.first_power_on) {
            d.codec.reset();
            return;
        }
        d.first_power_on = false;
        rtc_option = d.rtc_option;
    }
    std::string message;
    d.rtc.load(board.state_dir() / "rtc", message);
    board.log(message);
    if (!rtc_option.empty()) apply_rtc_setting(board, rtc_option);
    std::string error;
    if (d.codec_log.open(board.root() / "log/codec.log", "codec register writes", error)) {
        d.codec.set_write_log([](std::string_view line) { devices().codec_log.add(line); });
    } else {
        board.log(error);
    }
    if (!d.playback.open(board.root() / "log/playback.log", error)) board.log(error);
    d.bus.attach(hw::Rtc::kAddress, &d.rtc);
    d.bus.attach(hw::Codec::kAddress, &d.codec);
}

int start_i2c(Board&) {
    Devices& d = devices();
    std::lock_guard lock(d.mutex);
    d.i2c = std::make_unique<I2cDevDriver>(d.bus);
    const int r = simk::register_char_driver(kI2cMajor, "i2c", d.i2c.get());
    if (r < 0) d.i2c.reset();
    return r < 0 ? r : 0;
}

void stop_i2c(Board&) {
    Devices& d = devices();
    simk::unregister_char_driver(kI2cMajor);
    std::lock_guard lock(d.mutex);
    d.i2c.reset();
}

int start_watchdog(Board& board) {
    Devices& d = devices();
    std::lock_guard lock(d.mutex);
    const bool by_watchdog = d.watchdog_reset;
    d.watchdog_reset = false;
    d.watchdog = std::make_unique<WatchdogDriver>(
        [&board] {
            {
                std::lock_guard l(devices().mutex);
                devices().watchdog_reset = true;
            }
            board.reset("watchdog");
        },
        [&board](std::string line) { board.log(line); }, by_watchdog);
    const int r = simk::register_char_driver(kMiscMajor, "watchdog", d.watchdog.get());
    if (r < 0) d.watchdog.reset();
    return r < 0 ? r : 0;
}

void stop_watchdog(Board&) {
    Devices& d = devices();
    simk::unregister_char_driver(kMiscMajor);
    std::unique_ptr<WatchdogDriver> gone;
    {
        std::lock_guard lock(d.mutex);
        gone = std::move(d.watchdog);
    }
    // Destroyed without the lock: its thread may be taking it to note an expiry.
}

int start_dsp(Board& board) {
    Devices& d = devices();
    std::lock_guard lock(d.mutex);
    d.library = std::make_unique<PromptLibrary>(board.root() / "mnt/jffs_user/wave");
    d.dsp = std::make_unique<DspDriver>(*d.library, d.playback, [] {
        std::lock_guard l(devices().mutex);
        return devices().source;
    });
    const int r = simk::register_char_driver(kSoundMajor, "sound", d.dsp.get());
    if (r < 0) {
        d.dsp.reset();
        return r;
    }
    d.fifo = std::make_unique<DspFifo>(*d.library, d.playback);
    std::string error;
    if (!d.fifo->start(board.root() / "dev/dsp", error)) {
        board.log(error + ": sounds played by the shell are not heard");
        d.fifo.reset();
    }
    return 0;
}

void stop_dsp(Board&) {
    Devices& d = devices();
    std::unique_ptr<DspFifo> fifo;
    {
        std::lock_guard lock(d.mutex);
        fifo = std::move(d.fifo);
    }
    fifo.reset();  // its thread logs through the playback log, not under our lock
    simk::unregister_char_driver(kSoundMajor);
    std::lock_guard lock(d.mutex);
    d.dsp.reset();
}

const bool registered = [] {
    register_power_hooks({"rtc, codec and sound", power_on, nullptr});
    register_board_driver({"i2c-dev", start_i2c, stop_i2c});
    register_board_driver({"watchdog", start_watchdog, stop_watchdog});
    register_board_driver({"dsp", start_dsp, stop_dsp});

    register_option({"rtc", "STATE",
                     "the RTC at the start: now, invalid (flat battery), unreadable, or a date",
                     [](std::string_view v) {
                         std::string why = check_rtc_setting(v);
                         if (why.empty()) {
                             std::lock_guard lock(devices().mutex);
                             devices().rtc_option = std::string(v);
                         }
                         return why;
                     }});
    register_option({"audio-source", "SOURCE",
                     "what the microphone hears: noise (default), silence or a WAV file",
                     [](std::string_view v) {
                         std::string error;
                         auto source = source_of(v, error);
                         if (!source) return error;
                         std::lock_guard lock(devices().mutex);
                         devices().source = std::move(source);
                         return std::string();
                     }});

    register_action({"rtc invalid", "",
                     "the RTC's battery is flat: halted at 2000-01-01, which is no valid date",
                     nullptr, [](Board& b, const Args&) {
                         apply_rtc_setting(b, "invalid");
                         return std::string();
                     }});
    register_action({"rtc unreadable", "", "the RTC no longer answers on the bus (NAK)", nullptr,
                     [](Board& b, const Args&) {
                         apply_rtc_setting(b, "unreadable");
                         return std::string();
                     }});
    register_action(
        {"rtc ok", "", "the RTC answers on the bus again", nullptr, [](Board& b, const Args&) {
             devices().rtc.set_readable(true);
             b.log("RTC: " + devices().rtc.describe());
             return std::string();
         }});
    register_action({"rtc set", "YYYY-MM-DD HH:MM:SS|now", "sets the RTC (and starts it)",
                     [](const Args& a) -> std::string {
                         const std::string v = join(a);
                         if (v == "now" || hw::parse_rtc_date(v)) return "";
                         return "expected YYYY-MM-DD HH:MM:SS (2000..2099) or now";
                     },
                     [](Board& b, const Args& a) {
                         apply_rtc_setting(b, join(a));
                         return std::string();
                     }});
    register_action({"audio source", "noise|silence|FILE", "what the microphone hears from now on",
                     [](const Args& a) -> std::string {
                         if (a.size() != 1) return "expected noise, silence or a WAV file";
                         std::string error;
                         return source_of(a[0], error) ? "" : error;  // the file, read now
                     },
                     [](Board& b, const Args& a) {
                         std::string error;
                         auto source = source_of(a[0], error);
                         if (!source) return error;
                         b.log("audio source: " + source->describe());
                         std::lock_guard lock(devices().mutex);
                         devices().source = std::move(source);
                         return std::string();
                     }});

    register_status_item({"rtc", [](Board&) { return devices().rtc.describe(); }});
    register_status_item({"codec", [](Board&) { return devices().codec.describe(); }});
    register_status_item({"watchdog", [](Board&) {
                              std::lock_guard lock(devices().mutex);
                              return devices().watchdog ? devices().watchdog->describe()
                                                        : std::string("off");
                          }});
    register_status_item({"audio", [](Board&) {
                              Devices& d = devices();
                              std::string s;
                              {
                                  std::lock_guard lock(d.mutex);
                                  s = "mic hears " + d.source->describe();
                                  if (d.dsp && !d.dsp->describe().empty())
                                      s += ", " + d.dsp->describe();
                              }
                              s += ", " + std::to_string(d.playback.count()) + " played";
                              if (const auto last = d.playback.last())
                                  s += ", last " + last->name + " " +
                                       std::to_string(last->length_ms) + " ms";
                              return s;
                          }});
    return true;
}();

}  // namespace

}  // namespace simboard::peers
