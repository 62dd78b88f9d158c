// Text the reader's reports and exports are made of: printf-style fields and UTC times.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace asd {

// printf-style formatting into a string (up to 511 characters a call: one line or field). A
// C variadic function, so that the compiler checks every format against its arguments as it
// does printf's: a size_t or a 64-bit value under the wrong conversion is only harmless where
// both are 64 bits.
inline std::string vformat(const char* fmt, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, args);
    return text;
}

[[gnu::format(printf, 1, 2)]] inline std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
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
