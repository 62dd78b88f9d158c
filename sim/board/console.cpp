#include "console.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "board.hpp"

namespace simboard {

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
    for (std::FILE* f : {out_, log_}) {
        if (f == nullptr) continue;
        std::fputs(stamp, f);
        std::fputc('[', f);
        std::fwrite(source.data(), 1, source.size(), f);
        std::fputs("] ", f);
        std::fwrite(text.data(), 1, text.size(), f);
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
    std::string shown = status_.substr(0, width() - 1);
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
