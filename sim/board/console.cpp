#include "console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "board.hpp"

namespace simboard {

namespace {

// Bytes in the UTF-8 sequence that `lead` starts (0: not a lead byte), and the smallest code
// point such a sequence may hold (a longer form than needed is not UTF-8).
struct Utf8Lead {
    size_t length;
    uint32_t min;
};
Utf8Lead utf8_lead(uint8_t lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80};
    if ((lead & 0xF0) == 0xE0) return {3, 0x800};
    if (lead >= 0xF0 && lead <= 0xF4) return {4, 0x10000};
    return {0, 0};
}

// The code point of the sequence at `at`, or nothing when it is not well-formed UTF-8.
std::optional<uint32_t> utf8_at(std::string_view text, size_t at, size_t& length) {
    const auto lead = static_cast<uint8_t>(text[at]);
    const Utf8Lead l = utf8_lead(lead);
    if (l.length == 0 || at + l.length > text.size()) return std::nullopt;
    uint32_t cp = lead & (0x7F >> l.length);
    for (size_t i = 1; i < l.length; ++i) {
        const auto c = static_cast<uint8_t>(text[at + i]);
        if ((c & 0xC0) != 0x80) return std::nullopt;
        cp = cp << 6 | (c & 0x3F);
    }
    if (cp < l.min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    length = l.length;
    return cp;
}

void append_hex(std::string& out, uint8_t byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02X", byte);
    out += hex;
}

}  // namespace

std::string escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        if ((c >= 0x20 && c < 0x7F) || c == '\n' || c == '\t') {
            out += static_cast<char>(c);
            ++i;
        } else if (size_t length = 0; c >= 0x80 && utf8_at(text, i, length).value_or(0) >= 0xA0) {
            out += text.substr(i, length);  // a printable letter; C1 controls are 0x80..0x9F
            i += length;
        } else {
            append_hex(out, c);
            ++i;
        }
    }
    return out;
}

Console::Console(std::FILE* out) : out_(out), live_(::isatty(::fileno(out)) == 1) {}

Console::~Console() {
    clear_status();
    close_log();
}

bool Console::open_log(const std::filesystem::path& path, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "ae");
    if (f == nullptr) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    std::setvbuf(f, nullptr, _IOLBF, 0);
    std::lock_guard lock(mutex_);
    if (log_ != nullptr) std::fclose(log_);
    log_ = f;
    return true;
}

void Console::close_log() {
    std::lock_guard lock(mutex_);
    if (log_ != nullptr) std::fclose(log_);
    log_ = nullptr;
}

void Console::line(std::string_view source, std::string_view text) {
    std::lock_guard lock(mutex_);
    if (status_shown_) std::fputs("\r\033[K", out_);
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        std::string_view part =
            text.substr(start, end == std::string_view::npos ? end : end - start);
        if (!part.empty() && part.back() == '\r') part.remove_suffix(1);
        if (end == std::string_view::npos) {
            if (!part.empty() || start == 0) write_one(source, part);
            break;
        }
        write_one(source, part);
        start = end + 1;
    }
    status_shown_ = false;
    draw_status();
    std::fflush(out_);
}

void Console::write_one(std::string_view source, std::string_view text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8.3f] ", board_time());
    const std::string shown_source = escaped(source);
    const std::string shown = escaped(text);
    for (std::FILE* f : {out_, log_}) {
        if (f == nullptr) continue;
        std::fputs(stamp, f);
        std::fputc('[', f);
        std::fwrite(shown_source.data(), 1, shown_source.size(), f);
        std::fputs("] ", f);
        std::fwrite(shown.data(), 1, shown.size(), f);
        std::fputc('\n', f);
    }
}

void Console::set_status(std::string text) {
    if (!live_) return;
    std::lock_guard lock(mutex_);
    status_ = std::move(text);
    draw_status();
    std::fflush(out_);
}

size_t Console::width() const {
    winsize ws{};
    if (::ioctl(::fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1) return ws.ws_col;
    return 80;
}

void Console::draw_status() {
    if (!live_ || status_.empty()) return;
    std::string shown = escaped(status_).substr(0, width() - 1);
    std::fprintf(out_, "\r\033[K\033[7m%s\033[0m", shown.c_str());
    status_shown_ = true;
}

void Console::clear_status() {
    std::lock_guard lock(mutex_);
    if (status_shown_) {
        std::fputs("\r\033[K", out_);
        std::fflush(out_);
    }
    status_shown_ = false;
    status_.clear();
}

}  // namespace simboard
