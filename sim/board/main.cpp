// simboard: the simulated board (see board.hpp), and `simboard ctl` for a running one.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "console.hpp"
#include "control.hpp"
#include "end_summary.hpp"
#include "options.hpp"
#include "runner.hpp"
#include "simk_kernel.hpp"

namespace {

namespace fs = std::filesystem;

fs::path self_dir(const char* argv0) {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) self = fs::absolute(argv0);
    return self.parent_path();
}

// "2.5": seconds above 0 and at most a day, as milliseconds.
std::optional<std::chrono::milliseconds> time_limit(const std::string& text) {
    double seconds = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (ec != std::errc() || end != text.data() + text.size() || !(seconds > 0) || seconds > 86400)
        return std::nullopt;
    return std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
}

int ctl_main(const std::vector<std::string>& args) {
    fs::path root = "board";
    auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(simboard::kCtlTimeLimit);
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--root" && i + 1 < args.size()) {
            root = args[++i];
        } else if (args[i].rfind("--root=", 0) == 0) {
            root = args[i].substr(7);
        } else if (args[i] == "--timeout" || args[i].rfind("--timeout=", 0) == 0) {
            const bool inline_value = args[i].size() > 9;
            if (!inline_value && i + 1 >= args.size()) {
                std::fprintf(stderr, "simboard ctl: option --timeout needs a value\n");
                return 2;
            }
            const std::string value = inline_value ? args[i].substr(10) : args[++i];
            const auto given = time_limit(value);
            if (!given) {
                std::fprintf(stderr,
                             "simboard ctl: --timeout %s: expected seconds above 0, at most "
                             "86400\n",
                             simboard::escaped(value).c_str());
                return 2;
            }
            limit = *given;
        } else if (args[i] == "--help") {
            std::printf("%s", simboard::usage_text().c_str());
            return 0;
        } else if (args[i].rfind("--", 0) == 0) {
            std::fprintf(stderr, "simboard ctl: unknown option %s\n",
                         simboard::escaped(args[i]).c_str());
            return 2;
        } else {
            break;
        }
    }
    std::vector<std::string> words(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (words.empty()) {
        std::fprintf(stderr,
                     "simboard ctl: no action given (try: simboard ctl --root DIR status)\n");
        return 2;
    }
    // Unknown actions and bad arguments are refused by the board, which knows every model's
    // actions.
    return simboard::run_ctl(root, words, limit);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args[0] == "ctl") return ctl_main({args.begin() + 1, args.end()});

    simboard::Options options;
    std::string error;
    if (!simboard::parse_options(args, self_dir(argv[0]), options, error)) {
        std::fprintf(stderr, "simboard: %s\n", simboard::escaped(error).c_str());
        return 2;
    }
    if (options.help) {
        std::printf("%s", simboard::usage_text().c_str());
        return 0;
    }

    // SIGINT and SIGTERM power the board off cleanly; every thread inherits this mask and only
    // the signal thread takes them. Programs start with a clean mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, s);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const fs::path root = options.root;
    simboard::SimkKernel kernel;
    simboard::Runner board(std::move(options), kernel);
    if (!board.start(error)) {
        std::fprintf(stderr, "simboard: %s\n", simboard::escaped(error).c_str());
        return 1;
    }
    std::thread signals([&board, stop_signals] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        if (sig != 0) board.quit(std::string("signal ") + strsignal(sig));
    });
    const int status = board.run();
    // The signal thread waits for a signal that may never come: send it one of its own.
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    if (simboard::end_summary_wanted()) simboard::print_end_summary(root);
    return status;
}
