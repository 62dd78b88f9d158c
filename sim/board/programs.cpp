#include "programs.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

extern char** environ;

namespace simboard {

std::vector<std::string> split_command(std::string_view text) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    char quote = 0;
    for (const char c : text) {
        if (quote != 0) {
            if (c == quote) {
                quote = 0;
            } else {
                word += c;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == ' ' || c == '\t') {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (quote != 0) return {};
    if (in_word) words.push_back(std::move(word));
    return words;
}

std::unique_ptr<Program> Program::start(const std::filesystem::path& path,
                                        const std::vector<std::string>& argv,
                                        const std::vector<std::string>& env, LineSink lines,
                                        ExitSink exited, std::string& error) {
    std::array<int, 2> pipe_fds{};
    if (::pipe2(pipe_fds.data(), O_CLOEXEC) < 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group (so that the shells it starts end with it), no signal blocked or
    // ignored that the board itself blocks.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int s : {SIGINT, SIGTERM, SIGPIPE, SIGCHLD, SIGIO, SIGALRM, SIGHUP})
        sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(
        &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        bool replaced = false;
        for (const auto& extra : env) {
            const auto eq = extra.find('=');
            if (entry.substr(0, eq + 1) == std::string_view(extra).substr(0, eq + 1))
                replaced = true;
        }
        if (!replaced) env_strings.emplace_back(entry);
    }
    env_strings.insert(env_strings.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args) argp.push_back(s.data());
    argp.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, &attr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(pipe_fds[1]);
    if (rc != 0) {
        ::close(pipe_fds[0]);
        error = "cannot start " + path.string() + ": " + std::strerror(rc);
        return nullptr;
    }
    std::unique_ptr<Program> p(new Program);
    p->name_ = argv.empty() ? path.filename().string()
                            : std::filesystem::path(argv[0]).filename().string();
    p->pid_ = pid;
    p->out_fd_ = pipe_fds[0];
    p->stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    p->lines_ = std::move(lines);
    p->exited_ = std::move(exited);
    p->reader_ = std::thread([raw = p.get()] { raw->read_output(); });
    p->waiter_ = std::thread([raw = p.get()] { raw->wait_exit(); });
    return p;
}

Program::~Program() {
    end(0);
    const uint64_t one = 1;
    if (::write(stop_fd_, &one, sizeof one) < 0) { /* the reader ends at end of file anyway */
    }
    if (waiter_.joinable()) waiter_.join();
    if (reader_.joinable()) reader_.join();
    {
        std::lock_guard lock(mutex_);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
    }
    ::close(out_fd_);
    ::close(stop_fd_);
}

bool Program::running() const {
    std::lock_guard lock(mutex_);
    return !exited_flag_;
}

void Program::read_output() {
    std::string pending;
    std::array<char, 4096> buf{};
    for (;;) {
        std::array<pollfd, 2> fds{{{out_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}}};
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents == 0 && fds[1].revents != 0) break;
        {
            std::lock_guard lock(mutex_);
            reading_ = true;
        }
        const ssize_t n = ::read(out_fd_, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) {
            std::lock_guard lock(mutex_);
            reading_ = false;
            continue;
        }
        if (n <= 0) break;
        pending.append(buf.data(), static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            lines_(name_, std::string_view(pending).substr(start, nl - start));
        }
        pending.erase(0, start);
        // A program that prints without line ends still gets its text shown, in pieces.
        if (pending.size() > 4096) {
            lines_(name_, pending);
            pending.clear();
        }
        {
            std::lock_guard lock(mutex_);
            reading_ = false;
        }
        changed_.notify_all();
    }
    if (!pending.empty()) lines_(name_, pending);
    {
        std::lock_guard lock(mutex_);
        output_done_ = true;
    }
    changed_.notify_all();
}

// Waits for the end without reaping: the zombie keeps the process group id ours, so that end()
// can still reach what the program left behind. The destructor reaps it.
void Program::wait_exit() {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 &&
           errno == EINTR) {
    }
    {
        std::unique_lock lock(mutex_);
        exited_flag_ = true;
        changed_.notify_all();
        // Its last lines come before the notice of its end; what it left running may keep the
        // output open, so this waits for the end of the output only a little.
        changed_.wait_for(lock, std::chrono::seconds(1), [this] { return output_done_; });
    }
    if (exited_) exited_(*this, info.si_code != CLD_EXITED, info.si_status);
}

void Program::drain_output() {
    const auto nothing_left = [this] {
        if (output_done_) return true;
        int queued = 0;
        return !reading_ && ::ioctl(out_fd_, FIONREAD, &queued) == 0 && queued == 0;
    };
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(500), nothing_left);
}

void Program::end(unsigned grace_ms) {
    std::unique_lock lock(mutex_);
    if (reaped_) return;
    if (exited_flag_) {
        ::kill(-pid_, SIGKILL);
        return;
    }
    if (grace_ms > 0) {
        ::kill(-pid_, SIGTERM);
        if (changed_.wait_for(lock, std::chrono::milliseconds(grace_ms),
                              [this] { return exited_flag_; }))
            return;
    }
    ::kill(-pid_, SIGKILL);
    changed_.wait(lock, [this] { return exited_flag_; });
}

}  // namespace simboard
