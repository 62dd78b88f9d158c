// The running board: power, boot and reboot, the start-up programs, the scenario, the control
// socket and the status line. Everything that changes the board's state runs on the thread that
// called run(), one task at a time; other threads post tasks to it. Power, boot and reboot are in
// runner_power.cpp.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "board.hpp"
#include "card.hpp"
#include "console.hpp"
#include "control.hpp"
#include "devserver.hpp"
#include "options.hpp"
#include "programs.hpp"
#include "scenario.hpp"
#include "serial.hpp"
#include "status_line.hpp"

namespace simboard {

class Runner : public Board {
  public:
    Runner(Options options, DeviceKernel& kernel);
    ~Runner() override;

    // Prepares the root, starts the servers and ports; false with the reason (nothing started).
    bool start(std::string& error);
    // Powers on and runs until quit; powers off. Returns the exit status.
    int run();
    // From any thread (a signal, "quit"): power off and leave run().
    void quit(std::string reason);

    // Board
    void log(std::string_view line) override;
    void console(std::string_view source, std::string_view line) override;
    void reset(std::string cause) override;
    bool powered() const override;
    unsigned boots() const override;
    Model model() const override { return options_.model; }
    const std::filesystem::path& root() const override { return root_; }
    std::filesystem::path host_path(std::string_view box_path) const override;
    std::filesystem::path state_dir() const override { return root_ / "state"; }
    hw::S3c2410& soc() override { return *soc_; }

    // Actions of the board itself (registered in actions.cpp).
    void power_off(std::string reason);
    void power_on(std::string cause);
    void reboot(std::string cause);
    Card& card() { return card_; }
    std::string status_report();

    // Kills every program's process group at once (kernel panic: the board halts).
    void kill_all_programs_now();

  private:
    struct ProgramRecord {
        std::unique_ptr<Program> program;
        size_t step = 0;
        std::string state;  // "running", "exited 0", "killed by signal 9"
    };
    struct BootRecord {
        double time = 0;
        std::string cause;
    };

    void post(std::function<void()> task);
    void run_steps(size_t from);
    void program_exited(unsigned boot, size_t step, pid_t pid, bool signaled, int code);
    void load_modules();
    void unload_modules();
    std::string status_line();
    std::string program_name(pid_t pid);
    bool handle_ctl(const std::vector<std::string>& words, std::string& text);
    void run_command(const Command& command, std::string_view origin);

    Options options_;
    DeviceKernel& kernel_;
    std::unique_ptr<hw::S3c2410> soc_;
    std::filesystem::path root_;
    Console console_;
    Card card_;
    DeviceServer devices_;
    ControlServer control_;
    std::vector<std::unique_ptr<SerialPort>> ports_;
    std::vector<ScenarioStep> scenario_;
    size_t next_step_ = 0;
    int lock_fd_ = -1;

    // Owned by the run() thread.
    std::vector<ProgramRecord> programs_;
    std::vector<std::string> drivers_loaded_;
    StatusMeters status_meters_;  // frame rates of the status line

    mutable std::mutex mutex_;  // guards what follows
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool quit_ = false;
    std::string quit_reason_;
    bool powered_ = false;
    std::vector<BootRecord> boot_log_;
    std::set<pid_t> live_groups_;
};

}  // namespace simboard
