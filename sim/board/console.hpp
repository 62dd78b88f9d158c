// The board's console: every line of the kernel, the programs and the board, time-stamped with
// the board's clock and prefixed with its source, goes to stdout and to <root>/log/console.log.
// On a terminal a live status line stays under the console lines, redrawn in place.
#pragma once

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>

namespace simboard {

// `text` as it may go to a terminal: control characters (line ends and tabs excepted), DEL, the
// C1 controls and bytes that are no part of UTF-8 are written as \xHH, so that an escape
// sequence from a scenario, a ctl command or a program cannot act on the terminal. Printable
// text, UTF-8 letters included, stays as it is.
std::string escaped(std::string_view text);

class Console {
  public:
    explicit Console(std::FILE* out = stdout);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Appends from now on to `path` as well. False (with the reason) when it cannot be opened.
    bool open_log(const std::filesystem::path& path, std::string& error);
    void close_log();

    // One console line "[  12.345] [source] text". Line ends inside `text` split it; what is not
    // printable is shown escaped.
    void line(std::string_view source, std::string_view text);

    // The live status line (terminal only; elsewhere it is ignored).
    bool live() const { return live_; }
    // Columns of the terminal (80 when it does not say).
    size_t width() const;
    void set_status(std::string text);
    // Removes the status line from the terminal (at exit).
    void clear_status();

  private:
    void write_one(std::string_view source, std::string_view text);
    void draw_status();

    std::mutex mutex_;
    std::FILE* out_;
    std::FILE* log_ = nullptr;
    bool live_ = false;
    bool status_shown_ = false;
    std::string status_;
};

}  // namespace simboard
