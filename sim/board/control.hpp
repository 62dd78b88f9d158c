// The control socket <root>/run/ctl.sock: `simboard ctl --root DIR ACTION ARGS...` sends one
// action to the running board and prints the answer.
//
// Request: the words of the command, each followed by a NUL byte (at most 4096 bytes).
// Reply: one status byte ('0' done, '1' refused or failed), then text for the operator.
//
// Each connection is served on a thread of its own, so that a client that connects and says
// nothing holds up no other; it is hung up when its request has not come within the request
// limit. Only processes of the board's own user are answered.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simboard {

class ControlServer {
  public:
    // Runs one command; returns false with the message in `text` when it is refused or failed.
    using Handler = std::function<bool(const std::vector<std::string>& words, std::string& text)>;

    static constexpr std::chrono::milliseconds kRequestLimit{2000};
    static constexpr size_t kMaxClients = 16;  // connections served at once; more are turned away

    explicit ControlServer(Handler handler, std::chrono::milliseconds request_limit = kRequestLimit)
        : handler_(std::move(handler)), request_limit_(request_limit) {}
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool listen(const std::string& path, std::string& error);
    // Stops accepting, hangs up the clients still waiting to send, and waits for every answer
    // being made.
    void stop();

  private:
    struct Client {
        int sock = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void loop();
    void serve(int sock);
    void reap(bool all);

    Handler handler_;
    std::chrono::milliseconds request_limit_;
    std::string path_;
    int listen_fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
    std::mutex clients_mutex_;
    std::list<std::unique_ptr<Client>> clients_;
};

// How long `simboard ctl` waits for the board's answer by default.
inline constexpr std::chrono::seconds kCtlTimeLimit{30};

// The `simboard ctl` command: connects, sends, and waits at most `limit` for the answer.
// Returns the process exit status: 0 done, 1 refused or failed, 2 no board answered on that
// root (none running, or it did not answer in time).
int run_ctl(const std::filesystem::path& root, const std::vector<std::string>& words,
            std::chrono::milliseconds limit = kCtlTimeLimit);

}  // namespace simboard
