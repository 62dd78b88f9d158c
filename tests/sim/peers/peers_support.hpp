// What the in-process tests of the peers share: a board that records what is said to it, a PTY
// whose master a peer gets and whose slave the test talks on, and waiting for a condition.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board.hpp"
#include "eventually.hpp"
#include "files.hpp"

namespace peerstest {

namespace fs = std::filesystem;

using testsupport::eventually;
using testsupport::read_file;
using testsupport::TempDir;

// A board for one peer: a root with a log directory, the console kept, resets counted.
class FakeBoard : public simboard::Board {
  public:
    FakeBoard() { fs::create_directories(dir_.path() / "log"); }
    void log(std::string_view line) override { console("board", line); }
    void console(std::string_view source, std::string_view line) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::string(source) + ": " + std::string(line));
    }
    void reset(std::string cause) override {
        std::lock_guard lock(mutex_);
        resets_.push_back(std::move(cause));
    }
    bool powered() const override { return powered_; }
    unsigned boots() const override { return boots_; }
    simboard::Model model() const override { return simboard::Model::kTK700; }
    const fs::path& root() const override { return dir_.path(); }
    fs::path host_path(std::string_view box) const override {
        return dir_.path() / box.substr(box.find_first_not_of('/'));
    }
    fs::path state_dir() const override { return dir_.path() / "state"; }
    hw::S3c2410& soc() override { std::abort(); }

    bool console_has(std::string_view text) {
        std::lock_guard lock(mutex_);
        for (const auto& l : lines_) {
            if (l.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::string> resets() {
        std::lock_guard lock(mutex_);
        return resets_;
    }

    std::atomic<bool> powered_{true};
    std::atomic<unsigned> boots_{1};

  private:
    TempDir dir_{"peerstest"};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::vector<std::string> resets_;
};

// A PTY: the master for the peer, the slave for the test (raw, as the recorder sets it).
class Pty {
  public:
    Pty() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ::grantpt(master_);
        ::unlockpt(master_);
        std::array<char, 128> name{};
        ::ptsname_r(master_, name.data(), name.size());
        slave_path_ = name.data();
        slave_ = ::open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        ::tcgetattr(slave_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(slave_, TCSANOW, &t);
    }
    ~Pty() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slave_path() const { return slave_path_; }

    void send(std::string_view text) {
        ASSERT_EQ(::write(slave_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    // Lines the peer sent, as they arrive (each with its "\r\n"), until `done` holds or 10 s.
    bool receive_until(const std::function<bool(const std::vector<std::string>&)>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done(lines_)) {
            if (std::chrono::steady_clock::now() > end) return false;
            pollfd p{slave_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            std::array<char, 256> buf{};
            const ssize_t n = ::read(slave_, buf.data(), buf.size());
            for (ssize_t i = 0; i < n; ++i) {
                partial_ += buf[static_cast<size_t>(i)];
                if (buf[static_cast<size_t>(i)] == '\n') {
                    lines_.push_back(partial_);
                    partial_.clear();
                }
            }
        }
        return true;
    }
    // Reads whatever arrives during `d`.
    void read_for(std::chrono::milliseconds d) {
        const auto end = std::chrono::steady_clock::now() + d;
        receive_until([end](const auto&) { return std::chrono::steady_clock::now() > end; });
    }
    const std::vector<std::string>& lines() const { return lines_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slave_path_;
    std::string partial_;
    std::vector<std::string> lines_;
};

// Lines of a transcript without its "# ..." lines and time stamps.
inline std::vector<std::string> transcript_sentences(const fs::path& file) {
    std::vector<std::string> out;
    std::istringstream in(read_file(file));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.find(' ');
        out.push_back(space == std::string::npos ? line : line.substr(space + 1));
    }
    return out;
}

}  // namespace peerstest
