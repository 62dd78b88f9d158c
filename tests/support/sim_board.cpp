#include "sim_board.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;

namespace testsupport {

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(50);

int exit_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

pid_t spawn(const std::vector<std::string>& args, const fs::path& out) {
    std::vector<std::string> argv = args;
    std::vector<char*> p;
    for (auto& a : argv) p.push_back(a.data());
    p.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, p.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int wait_exit(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return exit_status(status);
}

int in_child(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

SimBoard::SimBoard(const std::string& name) {
    std::string tmpl = "/tmp/" + name + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir_ = tmpl;
    root_ = dir_ / "board";
    fs::create_directories(empty_dir());
    bin_dir = empty_dir();
    module_dir = empty_dir();
}

SimBoard::~SimBoard() {
    if (running()) quit();
    if (std::getenv("E2E_KEEP") != nullptr) {
        std::fprintf(stderr, "the board's root is kept in %s\n", root_.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void SimBoard::start(const std::vector<std::string>& options) {
    if (running()) quit();
    std::vector<std::string> args = {SIMBOARD_EXE, "--root", root_.string()};
    if (!bin_dir.empty()) args.insert(args.end(), {"--bin-dir", bin_dir});
    if (!module_dir.empty()) args.insert(args.end(), {"--module-dir", module_dir});
    args.insert(args.end(), options.begin(), options.end());
    if (std::find(options.begin(), options.end(), "--duration") == options.end()) {
        args.insert(args.end(), {"--duration", "280"});
    }
    pid_ = spawn(args, dir_ / "out.txt");
}

int SimBoard::run(const std::vector<std::string>& options) {
    start(options);
    return running() ? wait_exit() : -1;
}

int SimBoard::command(const std::vector<std::string>& args, std::string& output) {
    std::vector<std::string> argv = {SIMBOARD_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    const fs::path out = dir_ / "command.txt";
    const pid_t pid = spawn(argv, out);
    const int rc = pid > 0 ? testsupport::wait_exit(pid) : -1;
    output = read_file(out);
    return rc;
}

int SimBoard::wait_exit() {
    if (pid_ <= 0) return status_;
    status_ = testsupport::wait_exit(pid_);
    pid_ = -1;
    return status_;
}

std::optional<size_t> SimBoard::wait_for(std::string_view text, size_t from, int times,
                                         Seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        // Look at the board before reading the console, so that its last lines count.
        const bool ended = !alive();
        const std::string log = console();
        size_t pos = from;
        int found = 0;
        while (found < times && pos <= log.size()) {
            const size_t at = log.find(text, pos);
            if (at == std::string::npos) break;
            ++found;
            pos = at + text.size();
        }
        if (found == times) return pos;
        if (ended) return std::nullopt;
        if (std::chrono::steady_clock::now() > end) return std::nullopt;
        std::this_thread::sleep_for(kPollPeriod);
    }
}

bool SimBoard::until(const std::function<bool()>& done, Seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end || !alive()) return false;
        std::this_thread::sleep_for(kPollPeriod);
    }
    return true;
}

bool SimBoard::alive() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    status_ = exit_status(status);
    return false;
}

// The board's control socket (sim/board/control.hpp): the words of the command, each ended by
// a NUL byte; the reply is a status byte ('0' done) and text. Spoken here rather than through
// `simboard ctl`, whose start (under the sanitizers above all) would cost more than the action.
int SimBoard::ctl(const std::vector<std::string>& words, std::string& output) {
    output.clear();
    const std::string path = (root_ / "run/ctl.sock").string();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return 2;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0) return 2;
    std::string request;
    for (const auto& w : words) request.append(w).push_back('\0');
    std::vector<char> reply(64 * 1024);
    ssize_t n = -1;
    if (::connect(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(sock, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        do {
            n = ::recv(sock, reply.data(), reply.size(), 0);
        } while (n < 0 && errno == EINTR);
    }
    ::close(sock);
    if (n <= 0) return 2;
    output.assign(reply.data() + 1, static_cast<size_t>(n) - 1);
    return reply[0] == '0' ? 0 : 1;
}

bool SimBoard::act(const std::string& action) {
    std::vector<std::string> words;
    std::istringstream in(action);
    for (std::string w; in >> w;) words.push_back(w);
    std::string out;
    return ctl(words, out) == 0;
}

std::string SimBoard::status() {
    std::string out;
    ctl({"status"}, out);
    return out;
}

int SimBoard::quit() {
    if (!running()) return status_;
    if (!act("quit")) ::kill(pid_, SIGTERM);
    return wait_exit();
}

int SimBoard::terminate() {
    if (!running()) return status_;
    ::kill(pid_, SIGTERM);
    return wait_exit();
}

}  // namespace testsupport
