// The battery-backed real-time clock at I2C address 0x68.
#include "rtc.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace hw {

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kClockHalt = 0x80;
constexpr size_t kSec = 0, kMin = 1, kHour = 2, kWeekday = 3, kDay = 4, kMonth = 5, kYear = 6;
constexpr std::string_view kFileTag = "rtc 1";

double pc_utc_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool leap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int days_in(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && leap(year) ? 29 : kDays[month - 1];
}

bool valid(const RtcDate& d) {
    return d.year >= 2000 && d.year <= 2099 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
           d.day <= days_in(d.year, d.month) && d.hour >= 0 && d.hour <= 23 && d.minute >= 0 &&
           d.minute <= 59 && d.second >= 0 && d.second <= 59;
}

// The date the time registers hold, when they hold one.
std::optional<RtcDate> date_of(const Rtc::Registers& r) {
    RtcDate d{from_bcd(r[kYear]) + 2000, from_bcd(r[kMonth]), from_bcd(r[kDay]),
              from_bcd(r[kHour]),        from_bcd(r[kMin]),   from_bcd(r[kSec] & 0x7F)};
    if (from_bcd(r[kYear]) < 0 || !valid(d)) return std::nullopt;
    return d;
}

int64_t epoch_of(const RtcDate& d) {
    std::tm tm{};
    tm.tm_year = d.year - 1900;
    tm.tm_mon = d.month - 1;
    tm.tm_mday = d.day;
    tm.tm_hour = d.hour;
    tm.tm_min = d.minute;
    tm.tm_sec = d.second;
    return static_cast<int64_t>(::timegm(&tm));
}

RtcDate date_at(int64_t epoch) {
    const auto t = static_cast<std::time_t>(epoch);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    RtcDate d{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    // The chip keeps two year digits: after 2099 comes 2000 again.
    d.year = 2000 + (d.year - 2000) % 100;
    return d;
}

// Day of week as the chip counts it, Sunday 1 (1970-01-01 was a Thursday).
uint8_t weekday_of(const RtcDate& d) {
    return to_bcd(static_cast<int>((epoch_of(d) / 86400 + 4) % 7) + 1);
}

void put_date(Rtc::Registers& r, const RtcDate& d) {
    r[kSec] = static_cast<uint8_t>((r[kSec] & kClockHalt) | to_bcd(d.second));
    r[kMin] = to_bcd(d.minute);
    r[kHour] = to_bcd(d.hour);
    r[kDay] = to_bcd(d.day);
    r[kMonth] = to_bcd(d.month);
    r[kYear] = to_bcd(d.year % 100);
}

std::string text_of(const Rtc::Registers& r) {
    char text[48];
    std::snprintf(text, sizeof text, "20%02X-%02X-%02X %02X:%02X:%02X", r[kYear], r[kMonth],
                  r[kDay], r[kHour], r[kMin], r[kSec] & 0x7F);
    return text;
}

}  // namespace

uint8_t to_bcd(int v) {
    return static_cast<uint8_t>(((v / 10 % 10) << 4) | (v % 10));
}

int from_bcd(uint8_t v) {
    if ((v & 0x0F) > 9 || (v >> 4) > 9) return -1;
    return (v >> 4) * 10 + (v & 0x0F);
}

std::optional<RtcDate> parse_rtc_date(std::string_view text) {
    RtcDate d;
    char tail = 0;
    const std::string s(text);
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &d.year, &d.month, &d.day, &d.hour,
                    &d.minute, &d.second, &tail) != 6 ||
        s.size() != 19 || !valid(d))
        return std::nullopt;
    return d;
}

Rtc::Rtc(Clock clock) : clock_(clock ? std::move(clock) : Clock(pc_utc_now)) {
    std::lock_guard lock(mutex_);
    base_time_ = clock_();
    put_date(base_, date_at(static_cast<int64_t>(base_time_)));
    base_[kWeekday] = weekday_of(date_at(static_cast<int64_t>(base_time_)));
}

void Rtc::load(const fs::path& file, std::string& message) {
    std::lock_guard lock(mutex_);
    file_ = file;
    std::ifstream in(file);
    if (!in) {
        // A new board: the clock was set at the factory, to UTC.
        base_time_ = clock_();
        base_ = {};
        put_date(base_, date_at(static_cast<int64_t>(base_time_)));
        base_[kWeekday] = weekday_of(date_at(static_cast<int64_t>(base_time_)));
        message = "RTC: new clock, set to the PC's UTC time " + text_of(base_);
        save();
        return;
    }
    std::string tag, registers_word, since_word;
    std::getline(in, tag);
    Registers regs{};
    double since = 0;
    bool ok = tag == kFileTag && (in >> registers_word) && registers_word == "registers";
    for (size_t i = 0; ok && i < kRegisters; ++i) {
        unsigned v = 0;
        ok = static_cast<bool>(in >> std::hex >> v) && v <= 0xFF;
        regs[i] = static_cast<uint8_t>(v);
    }
    ok = ok && (in >> std::dec >> since_word >> since) && since_word == "since" &&
         std::isfinite(since);
    if (!ok) {
        std::error_code ec;
        fs::rename(file, file.string() + ".bad", ec);
        message = "RTC: " + file.string() + " is damaged (kept as " + file.string() +
                  ".bad): the clock lost its time, as with a flat battery";
        base_ = {kClockHalt, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00};
        base_time_ = clock_();
        save();
        return;
    }
    base_ = regs;
    base_time_ = since;
    message = "RTC: " + describe_locked();
}

std::string Rtc::describe_locked() const {
    if (!readable_) return "unreadable (no acknowledge)";
    const Registers r = now_registers();
    const bool halted = (r[kSec] & kClockHalt) != 0;
    if (halted) return "halted at " + text_of(r);
    return text_of(r) + (date_of(r) ? " running" : " (no valid date, standing)");
}

std::string Rtc::describe() const {
    std::lock_guard lock(mutex_);
    return describe_locked();
}

void Rtc::save() const {
    if (file_.empty()) return;
    std::ostringstream text;
    text << kFileTag << "\nregisters";
    for (const uint8_t b : base_) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", b);
        text << hex;
    }
    char since[48];
    std::snprintf(since, sizeof since, "\nsince %.6f\n", base_time_);
    text << since;
    // Written beside and renamed: a reader (or a crash) never sees half a state.
    const fs::path tmp = file_.string() + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << text.str();
        if (!out) return;
    }
    std::error_code ec;
    fs::rename(tmp, file_, ec);
}

Rtc::Registers Rtc::now_registers() const {
    Registers r = base_;
    if ((r[kSec] & kClockHalt) != 0) return r;
    const auto date = date_of(r);
    if (!date) return r;
    const double elapsed = clock_() - base_time_;
    const auto whole = static_cast<int64_t>(std::floor(elapsed));
    if (whole <= 0) return r;
    const int64_t then = epoch_of(*date);
    const RtcDate d = date_at(then + whole);
    put_date(r, d);
    // The day of week counts on with the days that passed.
    const int64_t days = (epoch_of({d.year, d.month, d.day, 0, 0, 0}) -
                          epoch_of({date->year, date->month, date->day, 0, 0, 0})) /
                         86400;
    const int weekday = from_bcd(base_[kWeekday]);
    if (weekday >= 1 && weekday <= 7)
        r[kWeekday] = to_bcd(static_cast<int>((weekday - 1 + days % 7 + 7) % 7) + 1);
    return r;
}

void Rtc::store(const Registers& regs) {
    base_ = regs;
    base_time_ = clock_();
    save();
}

bool Rtc::acknowledges() const {
    std::lock_guard lock(mutex_);
    return readable_;
}

void Rtc::write(std::span<const uint8_t> bytes) {
    std::lock_guard lock(mutex_);
    if (bytes.empty()) return;
    pointer_ = static_cast<uint8_t>(bytes[0] % kRegisters);
    if (bytes.size() == 1) return;  // sets the pointer for a read
    Registers r = now_registers();
    for (const uint8_t b : bytes.subspan(1)) {
        r[pointer_] = b;
        pointer_ = static_cast<uint8_t>((pointer_ + 1) % kRegisters);
    }
    store(r);
}

void Rtc::read(std::span<uint8_t> out) {
    std::lock_guard lock(mutex_);
    const Registers r = now_registers();
    for (uint8_t& b : out) {
        b = r[pointer_];
        pointer_ = static_cast<uint8_t>((pointer_ + 1) % kRegisters);
    }
}

void Rtc::set(const RtcDate& date) {
    std::lock_guard lock(mutex_);
    Registers r = base_;
    r[kSec] = 0;
    put_date(r, date);
    r[kWeekday] = weekday_of(date);
    store(r);
}

void Rtc::flat_battery() {
    std::lock_guard lock(mutex_);
    store({kClockHalt, 0x00, 0x00, 0x01, 0x01, 0x01, 0x00, base_[7]});
}

void Rtc::set_readable(bool readable) {
    std::lock_guard lock(mutex_);
    readable_ = readable;
}

Rtc::Registers Rtc::registers() const {
    std::lock_guard lock(mutex_);
    return now_registers();
}

}  // namespace hw
