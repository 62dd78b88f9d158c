#include "board_watch.hpp"

#include <fstream>
#include <sstream>
#include <thread>

namespace endurance {

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(100);
constexpr size_t kRecentLines = 200;

}  // namespace

void ConsoleFollower::read_more() {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string fresh((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    offset_ += fresh.size();
    pending_ += fresh;
    partial_ += fresh;
    for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
        const std::string line = partial_.substr(0, end);
        partial_.erase(0, end + 1);
        if (on_line_) on_line_(line);
        recent_.push_back(line);
        if (recent_.size() > kRecentLines) recent_.erase(recent_.begin());
    }
}

bool ConsoleFollower::await(testsupport::SimBoard& board, std::string_view text, Seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const bool ended = !board.alive();
        read_more();
        if (const size_t at = pending_.find(text); at != std::string::npos) {
            pending_.erase(0, at + text.size());
            return true;
        }
        // Keep what could still be the start of the text.
        if (pending_.size() > text.size()) pending_.erase(0, pending_.size() - text.size());
        if (ended || std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(kPollPeriod);
    }
}

void ConsoleFollower::skip() {
    read_more();
    pending_.clear();
}

std::string ConsoleFollower::tail(size_t lines) const {
    std::string out;
    const size_t from = recent_.size() > lines ? recent_.size() - lines : 0;
    for (size_t i = from; i < recent_.size(); ++i) out += "    " + recent_[i] + "\n";
    return out;
}

uint64_t Random::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Random::between(double lo, double hi) {
    return lo + (hi - lo) * static_cast<double>(next() >> 11) / static_cast<double>(1ull << 53);
}

void use_build(testsupport::SimBoard& board) {
    board.bin_dir = BIN_DIR;
    board.module_dir = MODULE_DIR;
}

int program_pid(testsupport::SimBoard& board, const std::string& name) {
    std::istringstream status(board.status());
    const std::string key = "  " + name + " (pid ";
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0 && line.find("): running") != std::string::npos)
            return std::atoi(line.c_str() + key.size());
    }
    return -1;
}

}  // namespace endurance
