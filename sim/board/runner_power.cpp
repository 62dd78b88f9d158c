// The running board's power: power on (models reset, kernel boot, the board's drivers, the
// modules, the start-up programs), power off, reboot and reset (runner.hpp).
#include <algorithm>
#include <cstring>

#include "../hw/hw.hpp"
#include "../kernel/simk.hpp"
#include "registry.hpp"
#include "root.hpp"
#include "runner.hpp"

namespace simboard {

namespace fs = std::filesystem;

namespace {

// How long a reboot gives the programs to end on SIGTERM before they are killed.
constexpr unsigned kRebootGraceMs = 1000;

}  // namespace

void Runner::power_on(std::string cause) {
    if (powered()) return;
    unsigned boot;
    {
        std::lock_guard lock(mutex_);
        boot_log_.push_back({board_time(), cause});
        boot = static_cast<unsigned>(boot_log_.size());
    }
    log("power on: boot " + std::to_string(boot) + " (" + cause + ")");
    std::error_code ec;
    fs::remove(root_ / "run/clock", ec);  // the system clock starts afresh at every power-on
    hw::reset_all();
    for (const auto& hooks : registry().power_hooks) {
        if (hooks.on) hooks.on(*this);
    }
    simk::boot();
    for (const auto& driver : registry().drivers) {
        const int rc = driver.init ? driver.init(*this) : 0;
        if (rc < 0) {
            log("board driver " + driver.name + " failed to start: " + std::strerror(-rc));
        } else {
            drivers_loaded_.push_back(driver.name);
        }
    }
    load_modules();
    std::string error;
    if (!write_node_table(root_, registry().nodes, error)) log(error);
    {
        std::lock_guard lock(mutex_);
        powered_ = true;
    }
    devices_.set_powered(true);
    run_steps(0);
}

void Runner::load_modules() {
    std::vector<std::pair<std::string, std::vector<std::string>>> modules = {
        {"camcore", {options_.model == Model::kTK500 ? "device_type=0" : "device_type=1"}},
        {"accelmon", {}},
    };
    for (const auto& [name, params] : modules) {
        const fs::path so = options_.module_dir / (name + ".so");
        if (!fs::exists(so)) {
            log("module " + name + " is not built (" + so.string() + "): skipped");
            continue;
        }
        std::string line = "insmod " + name;
        for (const auto& p : params) line += " " + p;
        log(line);
        std::string error;
        const int rc = simk::insmod(so.string(), params, error);
        if (rc != 0) {
            log("insmod " + name + " failed (" + std::to_string(rc) + ")" +
                (error.empty() ? "" : ": " + error));
        }
    }
}

void Runner::unload_modules() {
    auto modules = simk::loaded_modules();
    for (auto it = modules.rbegin(); it != modules.rend(); ++it) {
        log("rmmod " + *it);
        if (const int rc = simk::rmmod(*it); rc != 0) {
            log("rmmod " + *it + " failed (" + std::to_string(rc) + ")");
        }
    }
}

void Runner::power_off(std::string reason) {
    if (!powered()) return;
    log("power off (" + reason + ")");
    {
        std::lock_guard lock(mutex_);
        powered_ = false;
    }
    devices_.set_powered(false);
    const unsigned grace = reason.rfind("reboot", 0) == 0 ? kRebootGraceMs : 0;
    for (auto& record : programs_) {
        if (record.program) record.program->end(grace);
    }
    programs_.clear();
    {
        std::lock_guard lock(mutex_);
        live_groups_.clear();
    }
    devices_.close_all();
    unload_modules();
    const auto& drivers = registry().drivers;
    for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) {
        if (it->exit && std::find(drivers_loaded_.begin(), drivers_loaded_.end(), it->name) !=
                            drivers_loaded_.end())
            it->exit(*this);
    }
    drivers_loaded_.clear();
    simk::shutdown();
    const auto& hooks = registry().power_hooks;
    for (auto it = hooks.rbegin(); it != hooks.rend(); ++it) {
        if (it->off) it->off(*this);
    }
    // Tasks of the boot that ended (program exits) concern nothing that still exists.
}

void Runner::reboot(std::string cause) {
    if (!powered()) {
        log("reboot (" + cause + ") ignored: the board is off");
        return;
    }
    // What the programs printed before asking shows before the reboot does.
    for (auto& record : programs_) {
        if (record.program) record.program->drain_output();
    }
    log("reboot: " + cause);
    power_off("reboot: " + cause);
    power_on(cause);
}

void Runner::reset(std::string cause) {
    const unsigned boot = boots();
    post([this, boot, cause = std::move(cause)] {
        if (boot == boots()) reboot(cause);
    });
}

bool Runner::powered() const {
    std::lock_guard lock(mutex_);
    return powered_;
}

unsigned Runner::boots() const {
    std::lock_guard lock(mutex_);
    return static_cast<unsigned>(boot_log_.size());
}

}  // namespace simboard
