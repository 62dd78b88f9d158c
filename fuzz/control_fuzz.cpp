// The board's control server on malformed and hostile requests: any bytes as a request, clients
// that hang up before or after sending, that send twice, that hold connections open. Behind it,
// the board's own decoding of a command: the action and its checked arguments, as a ctl command
// is judged before it runs (the actions themselves do not run). Every request answered gets one
// answer, then the hang-up: '0' or '1' and text within the reply's limit, '0' exactly when the
// request's words name an action whose arguments pass; the words the server hands on are the
// request's, split at its NUL bytes; a request that does not end with NUL or is too long is
// "malformed"; an empty one is a hang-up.
//
// Input: up to 8 clients, each a byte (bits 0..1 what it does, bits 2..6 connections it holds
// open meanwhile, up to 20), a length (2 bytes, little-endian) and that many bytes of request.
// (A client that never sends is not waited for: the server's time limit has tests of its own.)
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "control.hpp"
#include "fuzz_root.hpp"
#include "scenario.hpp"
#include "sim_socket.h"

namespace {

constexpr size_t kMaxRequest = 4096;
constexpr size_t kMaxReply = 64 * 1024;
constexpr int kAnswerWait = 5000;  // ms
constexpr std::string_view kBusy = "1the board is busy: too many control connections";

std::mutex g_mutex;
std::vector<std::vector<std::string>> g_handed;  // what the server handed to the handler

// What the board does with a command before it runs it.
bool judge(const std::vector<std::string>& words, std::string& text) {
    {
        std::lock_guard lock(g_mutex);
        g_handed.push_back(words);
    }
    if (words.size() == 1 && words[0] == "status") return true;
    simboard::Command command;
    text = simboard::parse_command(words, command);
    return text.empty();
}

struct Harness {
    Harness() : server(judge) {
        path = (fuzz::root().path() / "run/ctl.sock").string();
        std::string error;
        FUZZ_CHECK(server.listen(path, error));
    }
    simboard::ControlServer server;
    std::string path;
};

int connect_to(const std::string& path) {
    const int sock = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(sock >= 0);
    FUZZ_CHECK(os::simsock::call_at_path(sock, path, os::simsock::Call::kConnect) == 0);
    return sock;
}

// Waits for the answer or the hang-up; false when neither came within the wait.
bool answered(int sock) {
    pollfd fd{sock, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&fd, 1, kAnswerWait);
    } while (ready < 0 && errno == EINTR);  // libFuzzer's own timer signal
    return ready == 1;
}

// Waits until the server has hung up: its thread for the connection is through with the request
// (its memory is freed before the next input is judged for leaks).
void hung_up(int sock) {
    pollfd fd{sock, 0, 0};  // POLLHUP is reported whatever is asked for
    int ready;
    do {
        ready = ::poll(&fd, 1, kAnswerWait);
    } while (ready < 0 && errno == EINTR);
    FUZZ_CHECK(ready == 1 && (fd.revents & POLLHUP) != 0);
}

// The answer, or "" when the server hung up without one.
std::string answer(int sock) {
    FUZZ_CHECK(answered(sock));
    std::vector<char> buf(kMaxReply + 1);
    ssize_t n = ::recv(sock, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
    // A request left unread when the server hung up resets the connection; the answer before it
    // is still there.
    if (n < 0 && errno == ECONNRESET)
        n = ::recv(sock, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n <= 0) return "";
    FUZZ_CHECK(static_cast<size_t>(n) <= kMaxReply);
    return std::string(buf.data(), static_cast<size_t>(n));
}

// The request's words as the protocol defines them; false for a malformed request.
bool words_of(std::string_view request, std::vector<std::string>& words) {
    if (request.empty() || request.size() > kMaxRequest || request.back() != '\0') return false;
    for (size_t start = 0; start < request.size();) {
        const size_t end = request.find('\0', start);
        words.emplace_back(request.substr(start, end - start));
        start = end + 1;
    }
    return true;
}

void check_answer(std::string_view request, const std::string& reply) {
    if (reply == kBusy) return;  // turned away: more clients than the board serves at once
    if (request.empty()) {
        // An empty message cannot be told from a hang-up: none is answered (ctl sends none).
        FUZZ_CHECK(reply.empty());
        std::lock_guard lock(g_mutex);
        FUZZ_CHECK(g_handed.empty());
        return;
    }
    FUZZ_CHECK(!reply.empty() && (reply[0] == '0' || reply[0] == '1'));
    std::vector<std::string> words;
    std::vector<std::vector<std::string>> handed;
    {
        std::lock_guard lock(g_mutex);
        handed.swap(g_handed);
    }
    if (!words_of(request, words)) {
        FUZZ_CHECK(reply == "1malformed control request" && handed.empty());
        return;
    }
    FUZZ_CHECK(handed.size() == 1 && handed[0] == words);
    std::string text;
    FUZZ_CHECK((reply[0] == '0') == judge(words, text));
    std::lock_guard lock(g_mutex);
    g_handed.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness h;
    std::span<const uint8_t> in(data, size);
    for (int client = 0; client < 8 && in.size() >= 3; ++client) {
        const uint8_t what = in[0];
        const size_t length = std::min<size_t>(in[1] | in[2] << 8, in.size() - 3);
        const std::string_view request(reinterpret_cast<const char*>(in.data() + 3), length);
        in = in.subspan(3 + length);

        std::vector<int> held;
        for (int i = 0; i < std::min((what >> 2) & 31, 20); ++i) held.push_back(connect_to(h.path));
        const int sock = connect_to(h.path);
        switch (what & 3) {
            case 0:  // ask, and read the answer
                ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
                check_answer(request, answer(sock));
                hung_up(sock);
                break;
            case 1: {  // ask, and go away with the answer unread
                ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
                FUZZ_CHECK(answered(sock));
                hung_up(sock);
                break;
            }
            case 2:  // say nothing, and go away
                break;
            default:  // ask twice: the first request is answered, the second one not
                ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
                ::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
                check_answer(request, answer(sock));
                hung_up(sock);
                break;
        }
        ::close(sock);
        for (const int s : held) ::close(s);
        std::lock_guard lock(g_mutex);
        g_handed.clear();
    }
    return 0;
}
