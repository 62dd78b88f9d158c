#include "runner.hpp"

#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>

#include "../hw/s3c2410.hpp"
#include "../kernel/simk.hpp"
#include "registry.hpp"
#include "root.hpp"

namespace simboard {

namespace fs = std::filesystem;

namespace {

std::string fixed(double v, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

}  // namespace

double board_time() {
    static const auto start = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Runner::Runner(Options options, DeviceKernel& kernel)
    : options_(std::move(options)),
      kernel_(kernel),
      soc_(std::make_unique<hw::S3c2410>()),
      root_(fs::absolute(options_.root).lexically_normal()),
      devices_(kernel, {[this](pid_t pid) {
                            const unsigned boot = boots();
                            post([this, pid, boot] {
                                // A second request of the same boot finds it gone already.
                                if (boot == boots())
                                    reboot("reboot requested by " + program_name(pid));
                            });
                        },
                        [this](std::string_view line) { log(line); }}),
      control_([this](const std::vector<std::string>& words, std::string& text) {
          return handle_ctl(words, text);
      }) {}

Runner::~Runner() {
    simk::set_console(nullptr);
    simk::set_panic_handler(nullptr);
    control_.stop();
    devices_.stop();
    for (auto& p : ports_) p->stop();
    if (lock_fd_ >= 0) ::close(lock_fd_);
}

// ---- start-up of the board process -------------------------------------------------------------

bool Runner::start(std::string& error) {
    // Everything is checked before the first change: a start that fails leaves the root, and
    // whatever lies beside it, as it was.
    if (!options_.scenario.empty() && !load_scenario(options_.scenario, scenario_, error))
        return false;
    if (error = check_root(root_); !error.empty()) return false;
    // One board per root: the root directory itself is locked, before anything in it changes.
    const auto lock_root = [this, &error] {
        lock_fd_ = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (lock_fd_ >= 0 && ::flock(lock_fd_, LOCK_EX | LOCK_NB) == 0) return true;
        error = lock_fd_ < 0
                    ? "cannot open board root " + root_.string() + ": " + std::strerror(errno)
                    : "another board is running on " + root_.string();
        return false;
    };
    std::error_code ec;
    const bool existed = fs::is_directory(root_, ec);
    if (existed && !lock_root()) return false;
    for (int n : {1, 2}) {
        std::string peer_name;
        for (const auto& spec : registry().peers) {
            if (spec.port == n) peer_name = spec.name;
        }
        auto port = std::make_unique<SerialPort>(n, peer_name);
        if (!port->open(n == 1 ? options_.tty1 : options_.tty2, error)) return false;
        ports_.push_back(std::move(port));
    }
    if (!prepare_root(root_, options_.model, error)) return false;
    if (!existed && !lock_root()) return false;
    if (!console_.open_log(root_ / "log/console.log", error)) return false;
    if (!card_.open(root_, options_.card_bytes, error)) return false;
    for (auto& port : ports_) {
        if (!port->link(root_, error)) return false;
    }
    if (!devices_.listen((root_ / "run/dev.sock").string(), error)) return false;
    if (!control_.listen((root_ / "run/ctl.sock").string(), error)) return false;

    simk::set_console([this](std::string_view line) { console("kernel", line); });
    simk::set_panic_handler([this](std::string_view message) {
        console("kernel", "Kernel panic - not syncing: " + std::string(message));
        log("board halted by a kernel panic");
        kill_all_programs_now();
        console_.clear_status();
        console_.close_log();
        std::_Exit(3);
    });

    log("simboard on " + root_.string() + ": model " +
        (options_.model == Model::kTK500 ? "TK500" : "TK700") + ", card " +
        format_size(options_.card_bytes) +
        (options_.scenario.empty() ? ""
                                   : ", scenario " + options_.scenario.string() + " (" +
                                         std::to_string(scenario_.size()) + " steps)"));
    for (auto& port : ports_) {
        std::unique_ptr<SerialPeer> peer;
        for (const auto& spec : registry().peers) {
            if (spec.port == port->number() && spec.make) peer = spec.make();
        }
        port->start(*this, std::move(peer));
        log(port->describe());
    }
    return true;
}

// ---- the main loop -----------------------------------------------------------------------------

void Runner::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (quit_) return;  // the board is stopping: nothing runs any more
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

void Runner::quit(std::string reason) {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        if (!quit_) quit_reason_ = std::move(reason);
        quit_ = true;
        dropped.swap(tasks_);
    }
    wake_.notify_all();
}

int Runner::run() {
    power_on("power on");
    const double status_period = console_.live() ? 0.5 : 10.0;
    double next_status = board_time() + status_period;
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(mutex_);
            double until = next_status;
            if (next_step_ < scenario_.size()) until = std::min(until, scenario_[next_step_].time);
            if (options_.duration) until = std::min(until, *options_.duration);
            const auto wait = std::chrono::duration<double>(std::max(0.0, until - board_time()));
            wake_.wait_for(lock, wait, [this] { return quit_ || !tasks_.empty(); });
            if (quit_) break;
            if (!tasks_.empty()) {
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
        }
        if (task) {
            task();
            continue;
        }
        const double now = board_time();
        if (options_.duration && now >= *options_.duration) {
            quit("the run of " + fixed(*options_.duration, 1) + " s is over");
            continue;
        }
        while (next_step_ < scenario_.size() && scenario_[next_step_].time <= now) {
            const ScenarioStep& step = scenario_[next_step_++];
            run_command(step.command, "scenario line " + std::to_string(step.line));
        }
        if (now >= next_status) {
            next_status = now + status_period;
            if (console_.live()) {
                console_.set_status(status_line());
            } else {
                console("status", status_line());
            }
        }
    }
    std::string reason;
    {
        std::lock_guard lock(mutex_);
        reason = quit_reason_;
    }
    log("stopping: " + reason);
    power_off("board stopping");
    console_.clear_status();
    log("stopped after " + fixed(board_time(), 1) + " s, " + std::to_string(boots()) + " boot" +
        (boots() == 1 ? "" : "s"));
    return 0;
}

void Runner::run_command(const Command& command, std::string_view origin) {
    log(std::string(origin) + ": " + command.text);
    const std::string why = command.action->run(*this, command.args);
    if (!why.empty()) log(std::string(origin) + ": " + command.text + ": " + why);
}

bool Runner::handle_ctl(const std::vector<std::string>& words, std::string& text) {
    // The board's thread answers; a board that stops first drops the task, and with it the
    // promise, so that the ctl client is told instead of waiting for ever.
    auto done = std::make_shared<std::promise<std::string>>();
    auto result = done->get_future();
    bool is_status = words.size() == 1 && words[0] == "status";
    if (is_status) {
        post([this, done] { done->set_value(status_report()); });
    } else {
        auto command = std::make_shared<Command>();
        if (const std::string why = parse_command(words, *command); !why.empty()) {
            text = why;
            return false;
        }
        post([this, done, command] {
            log("ctl: " + command->text);
            done->set_value(command->action->run(*this, command->args));
        });
    }
    try {
        text = result.get();
    } catch (const std::future_error&) {
        text = "the board is stopping";
        return false;
    }
    return is_status || text.empty();
}

// ---- programs ----------------------------------------------------------------------------------

void Runner::run_steps(size_t from) {
    const unsigned boot = boots();
    for (size_t i = from; i < options_.steps.size(); ++i) {
        const StartStep& step = options_.steps[i];
        const fs::path path = step.argv[0].find('/') != std::string::npos
                                  ? fs::path(step.argv[0])
                                  : options_.bin_dir / step.argv[0];
        if (::access(path.c_str(), X_OK) != 0) {
            log("program " + step.argv[0] + " is not built (" + path.string() + "): skipped");
            continue;
        }
        std::string error;
        std::vector<std::string> env = {
            "SIMBOARD_ROOT=" + root_.string(),
            "SIMBOARD_SOCKET=" + devices_.path(),
            "TZ=UTC0",
        };
        auto program = Program::start(
            path, step.argv, env,
            [this](std::string_view source, std::string_view line) { console(source, line); },
            [this, boot, i](Program& p, bool signaled, int code) {
                const pid_t pid = p.pid();
                post([this, boot, i, pid, signaled, code] {
                    program_exited(boot, i, pid, signaled, code);
                });
            },
            error);
        if (!program) {
            log(error);
            continue;
        }
        log("started " + program->name() + " (pid " + std::to_string(program->pid()) + ")");
        {
            std::lock_guard lock(mutex_);
            live_groups_.insert(program->pid());
        }
        programs_.push_back({std::move(program), i, "running"});
        if (step.wait) return;  // the rest follows when it has ended
    }
}

void Runner::program_exited(unsigned boot, size_t step, pid_t pid, bool signaled, int code) {
    if (boot != boots() || !powered()) return;
    for (auto& record : programs_) {
        if (!record.program || record.program->pid() != pid) continue;
        record.state = signaled ? "killed by signal " + std::to_string(code)
                                : "exited with status " + std::to_string(code);
        log(record.program->name() + " " + record.state);
    }
    if (options_.steps[step].wait) run_steps(step + 1);
}

std::string Runner::program_name(pid_t pid) {
    for (const auto& record : programs_) {
        if (record.program && record.program->pid() == pid)
            return record.program->name() + " (pid " + std::to_string(pid) + ")";
    }
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return (name.empty() ? "pid" : name + " (pid") + " " + std::to_string(pid) +
           (name.empty() ? "" : ")");
}

void Runner::kill_all_programs_now() {
    std::lock_guard lock(mutex_);
    for (const pid_t group : live_groups_) ::kill(-group, SIGKILL);
}

// ---- console and status ------------------------------------------------------------------------

void Runner::log(std::string_view line) {
    console_.line("board", line);
}

void Runner::console(std::string_view source, std::string_view line) {
    console_.line(source, line);
}

fs::path Runner::host_path(std::string_view box_path) const {
    const auto first = box_path.find_first_not_of('/');
    return first == std::string_view::npos ? root_ : root_ / box_path.substr(first);
}

std::string Runner::status_line() {
    bool recorder = false;
    for (const auto& record : programs_) {
        if (record.program && record.program->running() && record.program->name() == "recorder")
            recorder = true;
    }
    const StatusFacts facts = gather_status(*this, card_, recorder, status_meters_);
    // The terminal line fits the terminal; a plain periodic line may be spelled out in full.
    return console_.live() ? fit_status(facts, console_.width() - 1) : status_forms(facts).front();
}

std::string Runner::status_report() {
    std::ostringstream out;
    out << "uptime " << fixed(board_time(), 1) << " s\n";
    out << "power " << (powered() ? "on" : "off") << "\n";
    {
        std::lock_guard lock(mutex_);
        out << "boots " << boot_log_.size() << "\n";
        for (size_t i = 0; i < boot_log_.size(); ++i) {
            out << "  boot " << i + 1 << " at " << fixed(boot_log_[i].time, 1)
                << " s: " << boot_log_[i].cause << "\n";
        }
    }
    out << "programs\n";
    for (const auto& record : programs_) {
        if (!record.program) continue;
        out << "  " << record.program->name() << " (pid " << record.program->pid()
            << "): " << record.state << "\n";
    }
    out << "modules";
    for (const auto& m : simk::loaded_modules()) out << " " << m;
    out << "\n";
    out << "open device files " << devices_.connections() << "\n";
    out << "card " << card_.describe() << " (capacity " << format_size(card_.capacity()) << ")\n";
    for (const auto& port : ports_) out << port->describe() << "\n";
    for (const auto& item : registry().status_items) {
        const std::string value = item.value ? item.value(*this) : "";
        if (!value.empty()) out << item.name << " " << value << "\n";
    }
    return out.str();
}

}  // namespace simboard
