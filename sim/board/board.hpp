// simboard: the simulated board, and how models and peers plug into it.
//
// The board is one process that plays the box's kernel and hardware. It prepares its root
// directory (SD card, flash, device nodes), powers on (resets the models, boots the simulated
// kernel, registers the board's own device drivers, loads the modules), runs the start-up
// programs (volcheck, then recorder), serves the device files, and reboots or powers off when a
// program, the watchdog, the scenario or the operator says so.
//
// Extension points
// ----------------
// A model or peer plugs in from a .cpp file of its own under sim/board/ (sub-directories too);
// the build compiles every such file straight into simboard and its tests, so a file-scope
// registrar runs before main():
//
//     namespace {
//     const bool registered = [] {
//         simboard::register_action({"gps fix", "LAT LON", "the GPS receiver reports a fix",
//                                    check_fix_args, run_fix});
//         simboard::register_status_item({"gps", [](simboard::Board&) { return fix_text(); }});
//         simboard::register_power_hooks({"gps peer", on_power_on, on_power_off});
//         return true;
//     }();
//     }  // namespace
//
//   register_action        a scenario line and a `simboard ctl` command ("gps fix 48.1 11.5").
//                          Its arguments are checked when the scenario is loaded (a bad line is
//                          reported with its line number before the board starts) and before a
//                          ctl command runs. Actions run one at a time on the board's main thread.
//   register_status_item   a short text for the live status line and `simboard ctl status`.
//   register_power_hooks   called at every power-on after every hw::Device was reset
//                          (hw::reset_all) and before the kernel boots, and at every power-off
//                          after the programs ended, the modules were removed and the kernel
//                          stopped. Hooks run in registration order at power-on and in reverse at
//                          power-off. Hardware state that survives power (the RTC) lives in files
//                          under Board::state_dir().
//   register_board_driver  a device driver of the board itself (i2c-dev, watchdog, OSS audio),
//                          written in C++ against the simulated kernel's register_chrdev and
//                          file_operations; its init runs at every power-on after the hooks, its
//                          exit at every power-off before the kernel stops.
//   register_device_node   a line of the device node table <root>/dev/.nodes (the board lists
//                          the camera, accelerometer, i2c, watchdog and audio nodes itself).
//   register_serial_peer   the device at the master side of serial port 1 (front sub-board) or
//                          2 (IBC controller). It gets the PTY master when the board starts and
//                          keeps it for the board's lifetime (across reboots); without a peer the
//                          board drains the port. --tty1/--tty2 replace the port altogether.
//   register_option        a command-line option of simboard ("--gps-track FILE"), parsed with
//                          the board's own options; its setter returns "" or an error message.
//
// Watchdog: Board::reset("watchdog expired") reboots the board from any thread.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hw {
struct S3c2410;
}

namespace simboard {

class Board;

// Seconds since the board process started: the clock of the scenario and the status line.
double board_time();

// ---- Actions (scenario lines and ctl commands) -----------------------------------------------

using Args = std::vector<std::string>;

struct ActionSpec {
    std::string name;   // one or more words: "reboot", "card full", "gps fix"
    std::string usage;  // the arguments, for --help: "LAT LON", "" for none
    std::string help;   // one line
    // "" when the arguments are acceptable, otherwise what is wrong with them. Null: no
    // arguments allowed.
    std::function<std::string(const Args&)> check;
    // Runs the action on the board's main thread; returns "" or an error message (shown by ctl,
    // logged for a scenario line).
    std::function<std::string(Board&, const Args&)> run;
};
void register_action(ActionSpec spec);

// ---- Status ----------------------------------------------------------------------------------

struct StatusItem {
    std::string name;                          // "gps"
    std::function<std::string(Board&)> value;  // "fix 48.1 11.5"; "" leaves the item out
};
void register_status_item(StatusItem item);

// ---- Power -----------------------------------------------------------------------------------

struct PowerHooks {
    std::string name;
    std::function<void(Board&)> on;   // may be null
    std::function<void(Board&)> off;  // may be null
};
void register_power_hooks(PowerHooks hooks);

// ---- Devices ---------------------------------------------------------------------------------

struct BoardDriver {
    std::string name;
    std::function<int(Board&)> init;   // 0 or -errno; a failure is logged and the board runs on
    std::function<void(Board&)> exit;  // may be null
};
void register_board_driver(BoardDriver driver);

void register_device_node(std::string box_path, unsigned major, unsigned minor);

// ---- Serial peers ----------------------------------------------------------------------------

class SerialPeer {
  public:
    virtual ~SerialPeer() = default;
    // The port's PTY master (owned by the board, valid until stop() returns). The peer reads and
    // writes it from threads of its own.
    virtual void start(Board& board, int master_fd) = 0;
    virtual void stop() = 0;
};

struct SerialPeerSpec {
    int port = 1;  // 1: /dev/ttySAC1, 2: /dev/ttySAC2
    std::string name;
    std::function<std::unique_ptr<SerialPeer>()> make;
};
void register_serial_peer(SerialPeerSpec spec);

// ---- Options ---------------------------------------------------------------------------------

struct OptionSpec {
    std::string name;      // without the dashes: "gps-track"
    std::string arg_name;  // "FILE"; "" for a flag without value
    std::string help;
    std::function<std::string(std::string_view value)> set;
};
void register_option(OptionSpec spec);

// ---- The running board -----------------------------------------------------------------------

enum class Model { kTK500, kTK700 };

// What models, peers and actions may use of the running board. All members are thread-safe.
class Board {
  public:
    virtual ~Board() = default;

    // A board line on the console ("[board] ...").
    virtual void log(std::string_view line) = 0;
    // A console line with the given source prefix ("gps" gives "[gps] ...").
    virtual void console(std::string_view source, std::string_view line) = 0;

    // Reboots the board (watchdog expiry, reset button); logged with the cause. A reset asked
    // for during one boot happens once, even when asked again before it took place.
    virtual void reset(std::string cause) = 0;
    virtual bool powered() const = 0;
    virtual unsigned boots() const = 0;  // power-ons so far, this one included

    virtual Model model() const = 0;
    virtual const std::filesystem::path& root() const = 0;
    // Host path of a box path: "/mnt/mmcblk0p1" -> "<root>/mnt/mmcblk0p1".
    virtual std::filesystem::path host_path(std::string_view box_path) const = 0;
    // Where models keep state that survives power-off and board restarts (created at start).
    virtual std::filesystem::path state_dir() const = 0;
    // The board's processor and its on-chip peripherals (GPIO pins, interrupt controller,
    // clocks), which the models of the chips around it connect to (sim/hw/s3c2410.hpp).
    virtual hw::S3c2410& soc() = 0;
};

}  // namespace simboard
