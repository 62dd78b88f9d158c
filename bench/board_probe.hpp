// What bench_board reads of a running board from the outside: a process's times in
// /proc/PID/stat, whether a process's environment holds an entry, the locks of the recording
// index, and percentiles of the figures it gathers.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace benchprobe {

// utime, stime, cutime and cstime of /proc/PID/stat, in clock ticks.
struct StatTimes {
    uint64_t utime = 0;
    uint64_t stime = 0;
    uint64_t cutime = 0;
    uint64_t cstime = 0;
};

// The times of a /proc/PID/stat line. The command name between the parentheses may hold
// spaces and parentheses of its own: the fields start after the last ')'.
inline std::optional<StatTimes> parse_stat(std::string_view line) {
    const size_t paren = line.rfind(')');
    if (paren == std::string_view::npos || paren + 2 > line.size()) return std::nullopt;
    std::istringstream fields{std::string(line.substr(paren + 2))};
    std::vector<std::string> f;
    for (std::string w; fields >> w;) f.push_back(w);
    // After the name: state is field 3 of the line, utime 14, stime 15, cutime 16, cstime 17.
    if (f.size() < 15) return std::nullopt;
    StatTimes t;
    uint64_t* const out[] = {&t.utime, &t.stime, &t.cutime, &t.cstime};
    for (size_t i = 0; i < 4; ++i) {
        const std::string& w = f[11 + i];
        if (w.empty() || w.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        *out[i] = std::stoull(w);
    }
    return t;
}

// Whether the NUL-separated environment `environ` (as /proc/PID/environ holds it) has exactly
// the entry `entry` ("NAME=value"), not merely one that begins with it.
inline bool has_env_entry(std::string_view environ, std::string_view entry) {
    while (!environ.empty()) {
        const size_t end = environ.find('\0');
        if (environ.substr(0, end) == entry) return true;
        if (end == std::string_view::npos) break;
        environ.remove_prefix(end + 1);
    }
    return false;
}

// Files locked in the recording index `bytes`: the lock entries after its two header words
// (the next file, the event count) that are not zero. A short index counts what it holds of
// whole entries.
inline size_t locked_files(std::span<const uint8_t> bytes) {
    size_t n = 0;
    for (size_t off = 8; off + 4 <= bytes.size(); off += 4) {
        if (bytes[off] | bytes[off + 1] | bytes[off + 2] | bytes[off + 3]) ++n;
    }
    return n;
}

// The p-th percentile (0 <= p <= 1) of `sorted` (ascending), interpolated between the two
// nearest ranks; NaN for no values.
inline double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return NAN;
    const double rank = std::clamp(p, 0.0, 1.0) * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<size_t>(std::floor(rank));
    const size_t hi = std::min(sorted.size() - 1, lo + 1);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * (rank - static_cast<double>(lo));
}

}  // namespace benchprobe
