#include "ibc_peer.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace simboard::peers {

namespace {

constexpr int kDaySeconds = 24 * 3600;
constexpr std::string_view kStartCommand = "$PIB,#APWSTART,";

int time_of_day_now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    return tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
}

std::string two(int v) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d", v);
    return text;
}

}  // namespace

std::string apw_sentence(const ApwMessage& message) {
    std::string body = "APW";
    for (size_t i = 0; i < 4; ++i) {
        body += ",";
        if (i < message.letters.size()) body += message.letters[i];
    }
    const int a = ((message.first % kDaySeconds) + kDaySeconds) % kDaySeconds;
    const int b = ((message.second % kDaySeconds) + kDaySeconds) % kDaySeconds;
    body += "," + two(a / 3600) + two(b / 3600);
    body += "," + two(a / 60 % 60) + two(b / 60 % 60);
    body += "," + two(a % 60) + two(b % 60);
    return nmea_sentence(body);
}

std::optional<int> parse_time_of_day(std::string_view text) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':') return std::nullopt;
    int parts[3];
    for (int i = 0; i < 3; ++i) {
        const char hi = text[static_cast<size_t>(i) * 3];
        const char lo = text[static_cast<size_t>(i) * 3 + 1];
        if (hi < '0' || hi > '9' || lo < '0' || lo > '9') return std::nullopt;
        parts[i] = (hi - '0') * 10 + (lo - '0');
    }
    if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59) return std::nullopt;
    return parts[0] * 3600 + parts[1] * 60 + parts[2];
}

bool valid_state_letters(std::string_view text) {
    if (text.empty() || text.size() > 4) return false;
    for (const char c : text) {
        if (c < 'A' || c > 'Z') return false;
    }
    return true;
}

IbcPeer::IbcPeer() : LinePeer("ibc", "ibc.log") {}

IbcPeer::~IbcPeer() {
    stop();
}

bool IbcPeer::is_started() const {
    // The recorder that started the controller is gone with its boot; the next one starts it
    // again.
    return started_ && board() != nullptr && board()->boots() == started_boot_;
}

bool IbcPeer::started() const {
    std::lock_guard lock(mutex_);
    return is_started();
}

std::string IbcPeer::send_message(const ApwMessage& message) {
    {
        std::lock_guard lock(mutex_);
        if (!is_started()) return "the IBC controller waits for the recorder's APWSTART";
        pending_.push_back(message);  // several in a row are all sent
    }
    wake();
    return "";
}

std::string IbcPeer::start_period(char kind, int seconds) {
    {
        std::lock_guard lock(mutex_);
        if (!is_started()) return "the IBC controller waits for the recorder's APWSTART";
        Period p;
        p.kind = kind;
        p.seconds = seconds;
        p.first = time_of_day_now();
        p.next = SteadyClock::now();
        p.end = p.next + std::chrono::seconds(seconds);
        period_ = p;
    }
    wake();
    return "";
}

std::string IbcPeer::stop_period() {
    std::lock_guard lock(mutex_);
    if (!period_) return "no timed period is running";
    period_.reset();
    return "";
}

std::string IbcPeer::status() const {
    std::lock_guard lock(mutex_);
    if (!is_started()) return "waiting for APWSTART (" + std::to_string(sent_) + " sent)";
    std::string s = "started, " + std::to_string(sent_) + " sent";
    if (period_) {
        s += ", period " + std::string(1, period_->kind) + " " + std::to_string(period_->sent) +
             "/" + std::to_string(period_->seconds);
    }
    if (unknown_ > 0) s += ", " + std::to_string(unknown_) + " unknown lines";
    return s;
}

void IbcPeer::on_line(std::string_view line) {
    if (line.starts_with(kStartCommand)) {
        bool first = false;
        {
            std::lock_guard lock(mutex_);
            first = !is_started();
            started_ = true;
            started_boot_ = board()->boots();
            ++start_commands_;
        }
        if (first) board()->console("ibc", "started by the recorder");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        ++unknown_;
    }
    board()->console("ibc", "not an IBC command: " + printable(line));
}

std::optional<SteadyClock::time_point> IbcPeer::next_timer() {
    std::lock_guard lock(mutex_);
    if (!pending_.empty()) return SteadyClock::now();
    if (period_) return period_->next;
    return std::nullopt;
}

void IbcPeer::on_timer(SteadyClock::time_point now) {
    std::string sentence;
    {
        std::lock_guard lock(mutex_);
        const bool sending = is_started() && board()->powered();
        if (!pending_.empty()) {
            if (sending) sentence = apw_sentence(pending_.front());
            pending_.pop_front();
        } else if (period_) {
            if (now >= period_->end) {
                board()->console("ibc", "timed period " + std::string(1, period_->kind) +
                                            " over after " + std::to_string(period_->sent) +
                                            " sentences");
                period_.reset();
                return;
            }
            while (period_->next <= now) period_->next += std::chrono::seconds(1);
            if (sending) {
                ++period_->sent;
                sentence = apw_sentence({std::string(1, period_->kind), period_->first,
                                         period_->first + period_->seconds});
            }
        }
        if (!sentence.empty()) ++sent_;
    }
    if (!sentence.empty()) send(sentence);
}

}  // namespace simboard::peers
