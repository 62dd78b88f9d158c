#include "serial_link.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace simboard::peers {

namespace fs = std::filesystem;

// ---- transcript
// ----------------------------------------------------------------------------------

Transcript::~Transcript() {
    close();
}

bool Transcript::open(const fs::path& path, std::string_view title, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "ae");
    if (f == nullptr) {
        error = "cannot open " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    std::setvbuf(f, nullptr, _IOLBF, 0);
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S UTC", &utc);
    std::fprintf(f, "# %.*s, board started %s\n", static_cast<int>(title.size()), title.data(),
                 stamp);
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = f;
    return true;
}

void Transcript::close() {
    std::lock_guard lock(mutex_);
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
}

void Transcript::add(std::string_view sentence) {
    const std::string text = printable(sentence);
    std::lock_guard lock(mutex_);
    if (file_ == nullptr) return;
    std::fprintf(file_, "%.3f %s\n", board_time(), text.c_str());
}

std::string printable(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u <= 0x7E && c != '\\') {
            out += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
    }
    return out;
}

unsigned nmea_checksum(std::string_view body) {
    unsigned sum = 0;
    for (const char c : body) sum ^= static_cast<unsigned char>(c);
    return sum;
}

std::string nmea_sentence(std::string_view body) {
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", nmea_checksum(body));
    return "$" + std::string(body) + tail;
}

// ---- the link's thread -------------------------------------------------------------------------

LinePeer::LinePeer(std::string name, std::string transcript_file)
    : name_(std::move(name)), transcript_file_(std::move(transcript_file)) {}

LinePeer::~LinePeer() {
    stop();
}

void LinePeer::start(Board& board, int master_fd) {
    board_ = &board;
    master_fd_ = master_fd;
    // The peer writes without blocking: a port nobody reads must not stop the controller.
    const int flags = ::fcntl(master_fd_, F_GETFL);
    if (flags >= 0) ::fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::string error;
    if (!transcript_.open(board.root() / "log" / transcript_file_, name_ + " transcript", error))
        board.log(name_ + ": " + error + " (no transcript)");
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
}

void LinePeer::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    transcript_.close();
    if (wake_fd_ >= 0) ::close(wake_fd_);
    wake_fd_ = -1;
}

void LinePeer::wake() {
    if (wake_fd_ < 0) return;
    const uint64_t one = 1;
    if (::write(wake_fd_, &one, sizeof one) < 0) {
        // The counter is already non-zero: the thread wakes anyway.
    }
}

bool LinePeer::send(std::string_view text) {
    ssize_t n;
    do {
        n = ::write(master_fd_, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(text.size())) {
        if (dropping_) board_->log(name_ + ": the port takes sentences again");
        dropping_ = false;
        return true;
    }
    if (!dropping_) {
        board_->log(name_ + ": nobody reads the port, sentences are dropped");
        dropping_ = true;
    }
    return false;
}

void LinePeer::read_available() {
    std::array<char, 512> buf{};
    for (;;) {
        const ssize_t n = ::read(master_fd_, buf.data(), buf.size());
        if (n <= 0) return;  // EAGAIN: all read; EIO: the slave side is not open
        splitter_.feed(
            std::string_view(buf.data(), static_cast<size_t>(n)), [this](LineSplitter::Line line) {
                if (line.overlong) {
                    transcript_.add("(line of more than " + std::to_string(LineSplitter::kMaxLine) +
                                    " bytes without a line feed: dropped)");
                    board_->log(name_ + ": an overlong line was dropped");
                    return;
                }
                transcript_.add(line.text);
                on_line(line.text);
            });
    }
}

void LinePeer::run() {
    while (!stopping_) {
        int timeout_ms = -1;
        if (const auto when = next_timer()) {
            const auto now = SteadyClock::now();
            if (*when <= now) {
                on_timer(now);
                continue;
            }
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*when - now);
            timeout_ms = static_cast<int>(std::min<long long>(wait.count(), 60'000));
        }
        std::array<pollfd, 2> fds{{{master_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}}};
        const int r = ::poll(fds.data(), fds.size(), timeout_ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            board_->log(name_ + ": poll failed: " + std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) {
            uint64_t count = 0;
            if (::read(wake_fd_, &count, sizeof count) < 0) {
                // Nothing to take: another wake-up was read already.
            }
        }
        if (fds[0].revents & POLLIN) {
            read_available();
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // No slave side open at the moment: nothing will arrive until one opens.
            ::poll(nullptr, 0, 100);
        }
    }
}

}  // namespace simboard::peers
