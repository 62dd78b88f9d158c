// The control socket <root>/run/ctl.sock: `simboard ctl --root DIR ACTION ARGS...` sends one
// action to the running board and prints the answer.
//
// Request: the words of the command, each followed by a NUL byte (at most 4096 bytes).
// Reply: one status byte ('0' done, '1' refused or failed), then text for the operator.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace simboard {

class ControlServer {
  public:
    // Runs one command; returns false with the message in `text` when it is refused or failed.
    using Handler = std::function<bool(const std::vector<std::string>& words, std::string& text)>;

    explicit ControlServer(Handler handler) : handler_(std::move(handler)) {}
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool listen(const std::string& path, std::string& error);
    void stop();

  private:
    void loop();
    void serve(int sock);

    Handler handler_;
    std::string path_;
    int listen_fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
};

// The `simboard ctl` command. Returns the process exit status: 0 done, 1 refused or failed,
// 2 no board running on that root.
int run_ctl(const std::filesystem::path& root, const std::vector<std::string>& words);

}  // namespace simboard
