// The programs the board's start-up scripts run (volcheck, then recorder, by default): each one
// an ordinary process in a process group of its own, its stdout and stderr turned into console
// lines with its name as prefix.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace simboard {

// One step of the start-up scripts.
struct StartStep {
    std::vector<std::string> argv;  // argv[0]: a program name (looked up in the program
                                    // directory) or a path
    bool wait = false;              // run to its end before the next step
};

// "volcheck" -> {"volcheck"}; "recorder -x 'a b'" -> {"recorder", "-x", "a b"}. Empty on an
// unbalanced quote.
std::vector<std::string> split_command(std::string_view text);

class Program {
  public:
    using LineSink = std::function<void(std::string_view source, std::string_view line)>;
    // `signaled`: ended by signal `code`; otherwise exited with status `code`.
    using ExitSink = std::function<void(Program& program, bool signaled, int code)>;

    // Starts `path` with `argv` and the extra environment entries ("NAME=value"). Null (with
    // the reason) when it cannot be started.
    static std::unique_ptr<Program> start(const std::filesystem::path& path,
                                          const std::vector<std::string>& argv,
                                          const std::vector<std::string>& env, LineSink lines,
                                          ExitSink exited, std::string& error);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    const std::string& name() const { return name_; }
    pid_t pid() const { return pid_; }
    bool running() const;
    // Ends the program and everything it started: SIGTERM, then SIGKILL after `grace_ms`
    // (0: SIGKILL at once, as when the power goes). Returns when it has ended. What it started
    // and left behind in its process group ends too.
    void end(unsigned grace_ms);
    // Waits (a little at most) until everything the program has written so far has been passed
    // on as console lines, so that what it printed before asking the board for something shows
    // before the board's answer.
    void drain_output();

  private:
    Program() = default;
    void read_output();
    void wait_exit();

    std::string name_;
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int stop_fd_ = -1;
    LineSink lines_;
    ExitSink exited_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool exited_flag_ = false;
    bool reaped_ = false;
    bool output_done_ = false;
    bool reading_ = false;  // the reader holds output it has not passed on yet
    std::thread reader_;
    std::thread waiter_;
};

}  // namespace simboard
