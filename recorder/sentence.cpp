// Port set-up, sending and line gathering shared by the front sub-board and IBC links.
#include "sentence.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "os.h"

namespace sentence {

termios PortAttributes() {
    termios t;
    std::memset(&t, 0, sizeof t);
    t.c_iflag = IGNPAR;
    t.c_oflag = 0;
    t.c_cflag = B9600 | CS8 | CREAD | CLOCAL;
    t.c_lflag = 0;
    t.c_cc[VTIME] = 30;
    t.c_cc[VMIN] = 0;
    return t;
}

int OpenPort(const char* path) {
    const int fd = os::open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) return -1;
    termios current;
    os::tcgetattr(fd, &current);  // read as the drivers expect; the fresh set replaces it
    const termios fresh = PortAttributes();
    os::tcflush(fd, TCOFLUSH);
    os::tcflush(fd, TCIFLUSH);
    os::tcsetattr(fd, TCSANOW, &fresh);
    return fd;
}

ssize_t Send(int fd, std::string_view text) {
    return os::write(fd, text.data(), text.size());
}

ssize_t ReadChunk(int fd, Chunk& chunk) {
    chunk.fill('\0');
    return os::read(fd, chunk.data(), chunk.size());
}

std::string_view ChunkText(const Chunk& chunk, ssize_t count) {
    if (count <= 0) return {};
    const size_t n =
        static_cast<size_t>(count) < chunk.size() ? static_cast<size_t>(count) : chunk.size();
    const std::string_view received(chunk.data(), n);
    return received.substr(0, received.find('\0'));
}

void RealPause(unsigned long usec) {
    timespec left{static_cast<time_t>(usec / 1000000), static_cast<long>(usec % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

PauseFunction g_pause = RealPause;

void Pause(unsigned long usec) {
    g_pause(usec);
}

// --- Fields ----------------------------------------------------------------------------------

std::optional<std::string_view> Field(std::string_view line, int k) {
    size_t pos = 0;
    for (int i = 0; i < k; ++i) {
        const size_t comma = line.find(',', pos);
        if (comma == std::string_view::npos) return std::nullopt;
        pos = comma + 1;
    }
    return line.substr(pos);
}

bool FieldEmpty(std::string_view field) {
    return !field.empty() && field.front() == ',';
}

char FieldLetter(std::string_view field, char fallback) {
    if (field.empty() || FieldEmpty(field)) return fallback;
    return field.front();
}

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

bool ScanInt(std::string_view& text, size_t width, int& value) {
    size_t pos = 0;
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    const size_t limit = width == 0 ? text.size() : std::min(text.size(), pos + width);
    bool negative = false;
    if (pos < limit && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos >= limit || !IsDigit(text[pos])) return false;
    // Digits beyond the int range saturate instead of overflowing.
    constexpr long long kMagnitudeLimit = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; pos < limit && IsDigit(text[pos]); ++pos) {
        magnitude = std::min(kMagnitudeLimit, magnitude * 10 + (text[pos] - '0'));
    }
    value = static_cast<int>(negative ? -magnitude : std::min(magnitude, kMagnitudeLimit - 1));
    text.remove_prefix(pos);
    return true;
}

size_t ScanPairs(std::string_view text, std::span<int> values) {
    size_t converted = 0;
    for (int& v : values) {
        if (!ScanInt(text, 2, v)) break;
        ++converted;
    }
    return converted;
}

std::optional<double> ScanFraction(std::string_view field) {
    // A received line is at most kLineMax characters, so its field fits a local copy.
    std::array<char, kLineMax + 1> text{};
    const std::string_view own = field.substr(0, std::min(field.find(','), kLineMax));
    std::memcpy(text.data(), own.data(), own.size());
    char* end = nullptr;
    const double v = std::strtod(text.data(), &end);
    if (end == text.data() || !std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace sentence
