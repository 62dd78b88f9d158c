// build/bin/simboard as a process, for the tests that run the whole board: a root of its own
// under /tmp, the board started with options or run to its end, the console waited on, actions
// given through the board's control socket, and the board shut down (and the directory removed)
// when the test ends. E2E_KEEP in the environment keeps the directory for a look afterwards.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "files.hpp"

namespace testsupport {

// Starts `argv` (argv[0] a path) with stdin from /dev/null and stdout and stderr into `out`;
// its pid, or -1.
pid_t spawn(const std::vector<std::string>& argv, const fs::path& out);
// Waits for the end of `pid`: its exit status, or 128 + the signal that ended it.
int wait_exit(pid_t pid);
// Runs `body` in a forked child process, which exits with what it returns; the child's wait
// status (as waitpid gives it).
int in_child(const std::function<int()>& body);

class SimBoard {
  public:
    using Seconds = std::chrono::duration<double>;

    // The directory is /tmp/<name>-XXXXXX, the board's root <directory>/board.
    explicit SimBoard(const std::string& name);
    ~SimBoard();
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    // Where the board takes its programs and modules from; an empty directory unless the test
    // sets them (an empty string leaves simboard's default).
    std::string bin_dir;
    std::string module_dir;

    // --- The run ---
    // Starts simboard with --root, --bin-dir and --module-dir, then `options` (and a --duration
    // of 280 s unless they give one: a test that dies must not leave its board running). Its
    // output goes to output().
    void start(const std::vector<std::string>& options);
    // The same, run to its end: the exit status.
    int run(const std::vector<std::string>& options);
    // simboard with exactly these arguments, to its end, beside the board: its exit status, its
    // output in `output` (for option checks and `simboard ctl`).
    int command(const std::vector<std::string>& args, std::string& output);
    // Waits until the console holds `text` at least `times` times after `from` (a position in
    // the console), or the board ended, or `limit` passed. Returns the position after the
    // last occurrence, or nullopt.
    std::optional<size_t> wait_for(std::string_view text, size_t from = 0, int times = 1,
                                   Seconds limit = Seconds(90));
    // Polls `done` while the board runs, until it holds or `limit` passed.
    bool until(const std::function<bool()>& done, Seconds limit = Seconds(90));
    // An action on the running board through its control socket, words as `simboard ctl`
    // takes them: 0 done, 1 refused (the reason in `output`), 2 no board answered.
    int ctl(const std::vector<std::string>& words, std::string& output);
    // ctl with the words of `action`; true when the board took it.
    bool act(const std::string& action);
    // The board's state (`simboard ctl status`).
    std::string status();
    // Quits the board and waits for its end; its exit status.
    int quit();
    // SIGTERM to the board, and its exit status.
    int terminate();
    // Waits for the board's end; its exit status.
    int wait_exit();
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Whether the board still runs (reaps it when it has ended).
    bool alive();

    // --- What the run left ---
    const fs::path& dir() const { return dir_; }
    const fs::path& root() const { return root_; }
    std::string empty_dir() const { return (dir_ / "empty").string(); }
    std::string console() const { return read_file(root_ / "log/console.log"); }
    std::string output() const { return read_file(dir_ / "out.txt"); }

  private:
    fs::path dir_;
    fs::path root_;
    pid_t pid_ = -1;
    int status_ = -1;
};

}  // namespace testsupport
