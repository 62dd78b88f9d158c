#include "board_run.hpp"

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
#include <fstream>
#include <sstream>
#include <thread>

#include "le.hpp"

extern char** environ;

namespace e2e {

namespace {

constexpr auto kPollPeriod = std::chrono::milliseconds(50);
constexpr size_t kRecinfoWords = 2 + Recinfo::kFiles;

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

int exit_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A JPEG of exactly `size` bytes: start of image, comment segments, end of image.
std::vector<uint8_t> padded_jpeg(size_t size) {
    std::vector<uint8_t> b = {0xFF, 0xD8};
    const size_t body_end = size - 2;
    uint8_t fill = 0;
    while (b.size() + 4 < body_end) {
        const size_t n = std::min<size_t>(65533, body_end - b.size() - 4);
        b.insert(b.end(), {0xFF, 0xFE, static_cast<uint8_t>((n + 2) >> 8),
                           static_cast<uint8_t>((n + 2) & 0xFF)});
        for (size_t i = 0; i < n; ++i) b.push_back(fill += 7);
    }
    b.resize(body_end, 0);
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

}  // namespace

std::string rec_file(int index) {
    char line[64];
    std::snprintf(line, sizeof line, "rec file /mnt/mmcblk0p1/data/rec%08d.asd", index);
    return line;
}

void settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t count(std::string_view text, std::string_view what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string_view::npos;
         pos = text.find(what, pos + what.size())) {
        ++n;
    }
    return n;
}

std::vector<LogLine> log_lines(const fs::path& path) {
    std::vector<LogLine> out;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.find(' ');
        if (space == std::string::npos) continue;
        out.push_back({std::strtod(line.c_str(), nullptr), line.substr(space + 1)});
    }
    return out;
}

std::vector<LogLine> with_text(const std::vector<LogLine>& lines, std::string_view text) {
    std::vector<LogLine> out;
    for (const auto& l : lines) {
        if (l.text.find(text) != std::string::npos) out.push_back(l);
    }
    return out;
}

std::string BasicConf::text() const {
    std::ostringstream s;
    s << "RESOLUTION : " << resolution << "\n"
      << "QPVAL : " << qp << "\n"
      << "GSENSOR : " << gsensor << "\n"
      << "USEAUDIO : " << useAudio << "\n"
      << "PRERECTIME : " << preRecord << "\n"
      << "USEPW : 0\n"
      << "PW : \n"
      << "TZ : 14\n"
      << "DST : 0\n"
      << "SPUNIT : 0\n"
      << "NUMOFVEHICLE : " << vehicle << "\n";
    if (impactDetection || eraseDisabled || fpsParking) {
        s << "IMPACT : " << impactDetection.value_or(1) << "\n"
          << "NOERASE : " << eraseDisabled.value_or(0) << "\n"
          << "PARKFPS : " << fpsParking.value_or(0) << "\n";
    }
    return s.str();
}

std::vector<size_t> Recinfo::locked() const {
    std::vector<size_t> out;
    for (size_t i = 0; i < kFiles; ++i) {
        if (entry[i] != 0) out.push_back(i);
    }
    return out;
}

std::vector<uint8_t> Recinfo::bytes() const {
    std::vector<uint8_t> b(4 * kRecinfoWords);
    le::put_u32(b, 0, next);
    le::put_u32(b, 4, lockCount);
    for (size_t i = 0; i < kFiles; ++i) le::put_u32(b, 8 + 4 * i, entry[i]);
    return b;
}

std::optional<Recinfo> Recinfo::parse(const std::vector<uint8_t>& bytes) {
    if (bytes.size() != 4 * kRecinfoWords) return std::nullopt;
    Recinfo r;
    r.next = le::get_u32(bytes, 0);
    r.lockCount = le::get_u32(bytes, 4);
    for (size_t i = 0; i < kFiles; ++i) r.entry[i] = le::get_u32(bytes, 8 + 4 * i);
    return r;
}

BoardRun::BoardRun(const std::string& name) {
    std::string tmpl = "/tmp/e2e-" + name + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir_ = tmpl;
    root_ = dir_ / "board";
}

BoardRun::~BoardRun() {
    if (running()) quit();
    if (std::getenv("E2E_KEEP") != nullptr) {
        std::fprintf(stderr, "e2e: the board's root is kept in %s\n", root_.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void BoardRun::write_card(const std::string& card_path, const std::vector<uint8_t>& bytes) {
    const fs::path p = card() / card_path;
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void BoardRun::write_card(const std::string& card_path, const std::string& text) {
    write_card(card_path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string BoardRun::big_jpeg_dir(size_t size) {
    const fs::path dir = dir_ / "jpegs";
    fs::create_directories(dir);
    const auto jpeg = padded_jpeg(size);
    std::ofstream(dir / "frame.jpg", std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()),
               static_cast<std::streamsize>(jpeg.size()));
    return dir.string();
}

void BoardRun::start(const std::vector<std::string>& options) {
    std::vector<std::string> args = {SIMBOARD_EXE, "--root",       root_.string(), "--bin-dir",
                                     BIN_DIR,      "--module-dir", MODULE_DIR};
    args.insert(args.end(), options.begin(), options.end());
    // A test that dies (or is killed by its time limit) must not leave its board running.
    if (std::find(options.begin(), options.end(), "--duration") == options.end()) {
        args.insert(args.end(), {"--duration", "280"});
    }
    pid_ = spawn(args, dir_ / "out.txt");
}

int BoardRun::wait_exit() {
    if (pid_ <= 0) return status_;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = exit_status(status);
    return status_;
}

std::optional<size_t> BoardRun::wait_for(std::string_view text, size_t from, int times,
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

bool BoardRun::until(const std::function<bool()>& done, Seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end || !alive()) return false;
        std::this_thread::sleep_for(kPollPeriod);
    }
    return true;
}

bool BoardRun::alive() {
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
int BoardRun::ctl(const std::vector<std::string>& words, std::string& output) {
    output.clear();
    const std::string path = (root_ / "run/ctl.sock").string();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (sock < 0) return -1;
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

bool BoardRun::act(const std::string& action) {
    std::vector<std::string> words;
    std::istringstream in(action);
    for (std::string w; in >> w;) words.push_back(w);
    std::string out;
    return ctl(words, out) == 0;
}

std::string BoardRun::status() {
    std::string out;
    ctl({"status"}, out);
    return out;
}

int BoardRun::quit() {
    if (!running()) return status_;
    if (!act("quit")) ::kill(pid_, SIGTERM);
    return wait_exit();
}

fs::path BoardRun::recording_path(int index) const {
    char name[32];
    std::snprintf(name, sizeof name, "rec%08d.asd", index);
    return data() / name;
}

asd::Recording BoardRun::recording(int index, bool payloads) const {
    return asd::read_file(recording_path(index).string(), {.payloads = payloads});
}

std::vector<int> BoardRun::recordings() const {
    std::vector<int> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(data(), ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() == 15 && name.starts_with("rec") && name.ends_with(".asd")) {
            out.push_back(std::atoi(name.c_str() + 3));
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::optional<Recinfo> BoardRun::recinfo() const {
    const std::string bytes = read_file(data() / "recinfo");
    return Recinfo::parse(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::string> BoardRun::prompts() const {
    std::vector<std::string> out;
    for (const auto& l : playback()) out.push_back(l.text.substr(0, l.text.find(' ')));
    return out;
}

}  // namespace e2e
