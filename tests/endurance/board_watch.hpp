// What the endurance runs share: the board with the real programs, its console followed as it
// grows (without reading it all again at each look), and a seeded source of random choices.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "sim_board.hpp"

namespace endurance {

using Seconds = std::chrono::duration<double>;

// The console of a running board, read as it grows.
class ConsoleFollower {
  public:
    explicit ConsoleFollower(std::filesystem::path path) : path_(std::move(path)) {}

    // Called with every whole new line.
    void on_line(std::function<void(std::string_view line)> f) { on_line_ = std::move(f); }
    // Waits until `text` shows after what was consumed so far (or the board has ended, or
    // `limit` passed), and consumes the console up to it.
    bool await(testsupport::SimBoard& board, std::string_view text, Seconds limit);
    // Consumes what the console holds now.
    void skip();
    // The last lines read (for a report).
    std::string tail(size_t lines = 25) const;

  private:
    void read_more();

    std::filesystem::path path_;
    uint64_t offset_ = 0;  // bytes of the file read so far
    std::string pending_;  // read, not consumed
    std::string partial_;  // a line not ended yet
    std::vector<std::string> recent_;
    std::function<void(std::string_view)> on_line_;
};

// splitmix64, with the helpers the runs need.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next();
    uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
    double between(double lo, double hi);
    bool chance(double p) { return between(0, 1) < p; }

  private:
    uint64_t state_;
};

// The board's programs and modules as the build made them.
void use_build(testsupport::SimBoard& board);

// The pid of the running program `name` from the board's status, or -1.
int program_pid(testsupport::SimBoard& board, const std::string& name);

}  // namespace endurance
