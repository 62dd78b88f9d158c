#include "options.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <sstream>

#include "card.hpp"
#include "registry.hpp"

namespace simboard {

namespace fs = std::filesystem;

namespace {

bool parse_seconds(const std::string& text, double& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(out) && out > 0;
}

// The recorder's card types cover totals strictly between these bounds (in MB).
constexpr std::array<uint32_t, 8> kCardTypeBounds = {400,  800,   1700,  3000,
                                                     7000, 13000, 20000, 40000};

}  // namespace

uint32_t recorder_card_mb(uint64_t bytes) {
    constexpr uint32_t kBlock = 512;
    constexpr uint32_t kUnit = 1024;
    const auto blocks = static_cast<uint32_t>(std::min<uint64_t>(bytes / kBlock, UINT32_MAX));
    if (blocks < 10 * kUnit) return blocks * kBlock / (kUnit * kUnit);
    return blocks / kUnit * kBlock / kUnit;
}

std::string check_card_size(uint64_t bytes) {
    const uint32_t mb = recorder_card_mb(bytes);
    const bool bound =
        std::find(kCardTypeBounds.begin(), kCardTypeBounds.end(), mb) != kCardTypeBounds.end();
    if (mb > kCardTypeBounds.front() && mb < kCardTypeBounds.back() && !bound) return "";
    return "the recorder refuses a card of " + std::to_string(mb) +
           " MB: it takes more than 400 MB and less than 40000 MB (401M to 39999M), but not "
           "exactly 800, 1700, 3000, 7000, 13000 or 20000 MB";
}

bool parse_options(const std::vector<std::string>& args, const fs::path& self_dir, Options& out,
                   std::string& error) {
    out.bin_dir = self_dir;
    out.module_dir = self_dir.parent_path() / "modules";
    bool steps_given = false;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_value = false;
        if (name.rfind("--", 0) != 0) {
            error = "unexpected argument '" + name + "' (see --help)";
            return false;
        }
        if (const auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_value = true;
        }
        auto take = [&](std::string& v) {
            if (has_value) {
                v = value;
                return true;
            }
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            v = args[++i];
            return true;
        };
        std::string v;
        if (name == "--help") {
            out.help = true;
        } else if (name == "--root") {
            if (!take(v)) return false;
            if (v.empty()) {
                error = "--root: empty path";
                return false;
            }
            out.root = v;
        } else if (name == "--model") {
            if (!take(v)) return false;
            if (v == "tk500") {
                out.model = Model::kTK500;
            } else if (v == "tk700") {
                out.model = Model::kTK700;
            } else {
                error = "--model " + v + ": expected tk500 or tk700";
                return false;
            }
        } else if (name == "--card") {
            if (!take(v)) return false;
            const auto size = parse_size(v);
            if (!size) {
                error = "--card " + v + ": expected a size such as 8G or 512M";
                return false;
            }
            if (const std::string why = check_card_size(*size); !why.empty()) {
                error = "--card " + v + ": " + why;
                return false;
            }
            out.card_bytes = *size;
        } else if (name == "--scenario") {
            if (!take(v)) return false;
            out.scenario = v;
        } else if (name == "--duration") {
            if (!take(v)) return false;
            double seconds = 0;
            if (!parse_seconds(v, seconds)) {
                error = "--duration " + v + ": expected a number of seconds above 0";
                return false;
            }
            out.duration = seconds;
        } else if (name == "--tty1" || name == "--tty2") {
            if (!take(v)) return false;
            (name == "--tty1" ? out.tty1 : out.tty2) = v;
        } else if (name == "--bin-dir") {
            if (!take(v)) return false;
            out.bin_dir = v;
        } else if (name == "--module-dir") {
            if (!take(v)) return false;
            out.module_dir = v;
        } else if (name == "--run" || name == "--start") {
            if (!take(v)) return false;
            auto argv = split_command(v);
            if (argv.empty()) {
                error = name + " '" + v + "': expected a program and its arguments";
                return false;
            }
            out.steps.push_back({std::move(argv), name == "--run"});
            steps_given = true;
        } else {
            const OptionSpec* spec = nullptr;
            for (const auto& o : registry().options) {
                if ("--" + o.name == name) spec = &o;
            }
            if (spec == nullptr) {
                error = "unknown option " + name + " (see --help)";
                return false;
            }
            if (!spec->arg_name.empty()) {
                if (!take(v)) return false;
            } else if (has_value) {
                error = "option " + name + " takes no value";
                return false;
            }
            if (const std::string why = spec->set(v); !why.empty()) {
                error = name + (v.empty() ? "" : " " + v) + ": " + why;
                return false;
            }
        }
    }
    if (!steps_given) {
        out.steps = {{{"volcheck"}, true}, {{"recorder"}, false}};
    }
    return true;
}

std::string usage_text() {
    std::ostringstream u;
    u << R"(Usage: simboard [OPTIONS]
       simboard ctl --root DIR [--timeout SECONDS] ACTION [ARGS...]
       simboard ctl --root DIR status

The simulated board: prepares its root directory (SD card, flash, devices), powers on (loads
the kernel modules camcore and accelmon), runs volcheck and then recorder, and serves their
device files, until Ctrl-C, --duration or a "quit" action. The console goes to stdout and to
<root>/log/console.log.

Options:
  --root DIR          board root directory (default ./board; created when missing)
  --model tk500|tk700 the one- or two-camera model (default tk700)
  --card SIZE         virtual SD card capacity, with K, M or G: 401M to 39999M, as the
                      recorder takes (default 8G)
  --scenario FILE     timeline of actions (below)
  --duration SECONDS  run that long, then power off and exit 0
  --tty1 PATH         attach serial port 1 (front sub-board) to an outside terminal (a
                      serial device or a PTY) or a FIFO
  --tty2 PATH         the same for serial port 2 (IBC controller)
  --bin-dir DIR       where the programs are (default: simboard's own directory)
  --module-dir DIR    where the kernel modules are (default: ../modules from simboard)
  --run 'PROG ARGS'   start-up step: run PROG and wait for its end (repeatable, in order)
  --start 'PROG ARGS' start-up step: start PROG and go on (repeatable, in order);
                      the default steps are --run volcheck --start recorder
  --help              this text
)";
    for (const auto& o : registry().options) {
        std::string head = "  --" + o.name + (o.arg_name.empty() ? "" : " " + o.arg_name);
        if (head.size() < 22)
            head.resize(22, ' ');
        else
            head += ' ';
        u << head << o.help << "\n";
    }
    u << R"(
Scenario file: one action a line, after a time in seconds from the board's start ("12.5") or
from the line before ("+2"); '#' starts a comment; blank lines are ignored. Example:
  2     card full
  +3    card ok
  10    power cycle
Every line is checked before the board starts. The same actions go to a running board with
`simboard ctl --root DIR ACTION ARGS...`; `simboard ctl --root DIR status` shows its state.
ctl waits at most 30 s for the board's answer (--timeout SECONDS to change it).

Actions:
)";
    for (const auto& a : registry().actions) {
        std::string head = "  " + a.name + (a.usage.empty() ? "" : " " + a.usage);
        if (head.size() < 24)
            head.resize(24, ' ');
        else
            head += ' ';
        u << head << a.help << "\n";
    }
    return u.str();
}

}  // namespace simboard
