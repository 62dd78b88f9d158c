// Text the reader's reports and exports are made of: printf-style fields and UTC times.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace asd {

// printf-style formatting into a string (up to 511 characters a call: one line or field).
template <typename... Args>
std::string format(const char* fmt, Args... args) {
    char text[512];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

// `sec` (seconds since 1970) as strftime writes it with `fmt`, in UTC.
inline std::string utc(uint32_t sec, const char* fmt) {
    const time_t t = sec;
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, fmt, &tm);
    return text;
}

}  // namespace asd
