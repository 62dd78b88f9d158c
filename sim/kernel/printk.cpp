// printk, panic and BUG, and the small library functions the kernel has and libc lacks.
#include <execinfo.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hw.hpp"
#include "internal.hpp"

namespace simk::detail {

namespace {

struct Console {
    std::mutex mutex;
    std::function<void(std::string_view)> sink;
    std::function<void(std::string_view)> panic_handler;
    std::string pending;  // a line printed in pieces, until its newline
};

Console& console() {
    static Console* c = new Console;
    return *c;
}

constexpr size_t kLineMax = 1024;

void emit(Console& c, std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (c.sink) {
        c.sink(line);
    } else {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
}

// Strips a "<n>" level at the start of a line.
std::string_view strip_level(std::string_view text) {
    if (text.size() >= 3 && text[0] == '<' && text[1] >= '0' && text[1] <= '7' && text[2] == '>') {
        text.remove_prefix(3);
    }
    return text;
}

}  // namespace

void flush_console() {
    Console& c = console();
    std::lock_guard lock(c.mutex);
    if (!c.pending.empty()) {
        emit(c, c.pending);
        c.pending.clear();
    }
}

void console_line(std::string_view line) {
    Console& c = console();
    std::lock_guard lock(c.mutex);
    emit(c, line);
}

}  // namespace simk::detail

using namespace simk::detail;

namespace simk {

void set_console(std::function<void(std::string_view line)> sink) {
    Console& c = console();
    {
        std::lock_guard lock(c.mutex);
        c.sink = sink;
    }
    hw::set_log_sink(std::move(sink));
}

void set_panic_handler(std::function<void(std::string_view message)> handler) {
    Console& c = console();
    std::lock_guard lock(c.mutex);
    c.panic_handler = std::move(handler);
}

}  // namespace simk

extern "C" {

int vprintk(const char* fmt, va_list args) {
    char buf[kLineMax];
    const int len = std::vsnprintf(buf, sizeof buf, fmt, args);
    Console& c = console();
    std::lock_guard lock(c.mutex);
    std::string_view text(buf, std::strlen(buf));
    if (c.pending.empty()) text = strip_level(text);
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            c.pending.append(text);
            break;
        }
        c.pending.append(text.substr(0, nl));
        emit(c, c.pending);
        c.pending.clear();
        text.remove_prefix(nl + 1);
        text = strip_level(text);
    }
    // A progress line that ends in a carriage return, or an overlong piece, is shown now.
    if (!c.pending.empty() && (c.pending.back() == '\r' || c.pending.size() >= kLineMax)) {
        emit(c, c.pending);
        c.pending.clear();
    }
    return len;
}

int printk(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int r = vprintk(fmt, ap);
    va_end(ap);
    return r;
}

void dump_stack(void) {
    void* frames[16];
    const int n = backtrace(frames, 16);
    char** names = backtrace_symbols(frames, n);
    for (int i = 1; i < n && names != nullptr; ++i) printk("  [<%p>] %s\n", frames[i], names[i]);
    std::free(names);
}

void panic(const char* fmt, ...) {
    char buf[kLineMax];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    printk(KERN_EMERG "Kernel panic - not syncing: %s\n", buf);
    std::function<void(std::string_view)> handler;
    {
        Console& c = console();
        std::lock_guard lock(c.mutex);
        handler = c.panic_handler;
    }
    if (handler) handler(buf);
    std::abort();
}

void __simk_bug(const char* file, int line) {
    printk(KERN_EMERG "kernel BUG at %s:%d!\n", file, line);
    dump_stack();
    panic("BUG at %s:%d", file, line);
}

void __simk_warn(const char* file, int line) {
    printk(KERN_WARNING "WARNING at %s:%d\n", file, line);
    dump_stack();
}

// ---- Library -----------------------------------------------------------------------------------

unsigned long long simple_strtoull(const char* cp, char** endp, unsigned int base) {
    unsigned long long result = 0;
    if (base == 0) {
        base = 10;
        if (*cp == '0') {
            base = 8;
            if (std::tolower(static_cast<unsigned char>(cp[1])) == 'x' &&
                std::isxdigit(static_cast<unsigned char>(cp[2]))) {
                cp += 2;
                base = 16;
            }
        }
    } else if (base == 16 && cp[0] == '0' &&
               std::tolower(static_cast<unsigned char>(cp[1])) == 'x') {
        cp += 2;
    }
    for (;;) {
        const int c = std::tolower(static_cast<unsigned char>(*cp));
        unsigned value;
        if (c >= '0' && c <= '9') {
            value = static_cast<unsigned>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            value = static_cast<unsigned>(c - 'a' + 10);
        } else {
            break;
        }
        if (value >= base) break;
        result = result * base + value;
        ++cp;
    }
    if (endp != nullptr) *endp = const_cast<char*>(cp);
    return result;
}

unsigned long simple_strtoul(const char* cp, char** endp, unsigned int base) {
    return static_cast<unsigned long>(simple_strtoull(cp, endp, base));
}

long simple_strtol(const char* cp, char** endp, unsigned int base) {
    if (*cp == '-') return -static_cast<long>(simple_strtoul(cp + 1, endp, base));
    return static_cast<long>(simple_strtoul(cp, endp, base));
}

long long simple_strtoll(const char* cp, char** endp, unsigned int base) {
    if (*cp == '-') return -static_cast<long long>(simple_strtoull(cp + 1, endp, base));
    return static_cast<long long>(simple_strtoull(cp, endp, base));
}

size_t strlcpy(char* dest, const char* src, size_t size) {
    const size_t len = std::strlen(src);
    if (size != 0) {
        const size_t n = len >= size ? size - 1 : len;
        std::memcpy(dest, src, n);
        dest[n] = '\0';
    }
    return len;
}

int strnicmp(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca - cb;
        if (ca == 0) break;
    }
    return 0;
}

char* kstrdup(const char* s, gfp_t gfp) {
    if (s == nullptr) return nullptr;
    const size_t len = std::strlen(s) + 1;
    auto* copy = static_cast<char*>(__kmalloc(len, gfp));
    if (copy != nullptr) std::memcpy(copy, s, len);
    return copy;
}

}  // extern "C"
