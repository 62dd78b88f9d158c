// What the two serial controllers of the board have in common: a thread on the PTY master of
// their port that cuts what the recorder sends into lines, keeps a transcript of them, sends
// sentences without ever blocking, and calls the controller back at the times it asks for.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "board.hpp"

namespace simboard::peers {

using SteadyClock = std::chrono::steady_clock;

// A log of the sentences one controller received: one line each, "<board time> <sentence>",
// the board time in seconds with three decimals, the sentence without its line end and with
// bytes outside printable ASCII written as \xHH. Each board run appends to it after a
// "# ..." line of its own.
class Transcript {
  public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    bool open(const std::filesystem::path& path, std::string_view title, std::string& error);
    void close();
    void add(std::string_view sentence);

  private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

// Printable form of a received line: bytes outside 0x20..0x7E become \xHH.
std::string printable(std::string_view bytes);

// NMEA checksum: the XOR of the characters between "$" and "*".
unsigned nmea_checksum(std::string_view body);
// "$" + body + "*" + two hex digits + "\r\n".
std::string nmea_sentence(std::string_view body);

// Cuts a byte stream into lines at line feeds. A carriage return before the line feed is
// dropped. A line that grows beyond kMaxLine bytes without a line feed is given up (reported as
// an overlong line) and gathering starts afresh.
class LineSplitter {
  public:
    static constexpr size_t kMaxLine = 256;
    struct Line {
        std::string text;
        bool overlong = false;
    };
    // Calls `sink(Line)` for each completed line in `bytes`.
    template <typename Sink>
    void feed(std::string_view bytes, Sink&& sink) {
        for (char c : bytes) {
            if (c == '\n') {
                if (!partial_.empty() && partial_.back() == '\r') partial_.pop_back();
                sink(Line{std::move(partial_), false});
                partial_.clear();
            } else if (partial_.size() >= kMaxLine) {
                sink(Line{std::move(partial_), true});
                partial_.clear();
                partial_.push_back(c);
            } else {
                partial_.push_back(c);
            }
        }
    }
    void clear() { partial_.clear(); }

  private:
    std::string partial_;
};

// A controller on the master side of a serial port. Subclasses handle received lines and timed
// work; everything they do runs on the link's one thread, except the wake-ups that actions
// request with wake().
class LinePeer : public SerialPeer {
  public:
    LinePeer(std::string name, std::string transcript_file);
    ~LinePeer() override;

    void start(Board& board, int master_fd) override;
    void stop() override;

    // Makes the thread look at next_timer() again (after an action changed the state).
    void wake();

    const std::string& name() const { return name_; }

  protected:
    // A completed line from the recorder, without its line end.
    virtual void on_line(std::string_view line) = 0;
    // When on_timer() is wanted next; nothing: no timed work.
    virtual std::optional<SteadyClock::time_point> next_timer() { return std::nullopt; }
    virtual void on_timer(SteadyClock::time_point now) { (void)now; }

    // Writes `text` to the port in one write. Never blocks: when the port's buffer is full
    // (nobody reads the other side), the sentence is dropped, as a UART overruns, and false
    // returned. Only from the link's thread.
    bool send(std::string_view text);

    Board* board() const { return board_; }

  private:
    void run();
    void read_available();

    std::string name_;
    std::string transcript_file_;
    Board* board_ = nullptr;
    int master_fd_ = -1;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    Transcript transcript_;
    LineSplitter splitter_;
    bool dropping_ = false;  // sentences are being dropped (reported once per run of drops)
};

}  // namespace simboard::peers
