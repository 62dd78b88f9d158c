// The simulated kernel booted in the test's process, for the in-process tests of the kernel and
// of the drivers: every model reset to its power-on state, the kernel booted, its console lines
// kept; shut down again at the end.
//
// A fixture's board derives from the models it wants first and from BootedKernel after them, so
// that the models exist (and are reset) before the kernel boots and outlive its shutdown:
//     struct Models { hw::S3c2410 soc; };
//     class Board : public Models, public testsupport::BootedKernel {};
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "hw.hpp"
#include "simk.hpp"

namespace testsupport {

class BootedKernel {
  public:
    BootedKernel() {
        simk::set_console([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(line);
        });
        hw::reset_all();
        simk::boot();
    }
    ~BootedKernel() {
        simk::shutdown();
        simk::set_console(nullptr);
    }
    BootedKernel(const BootedKernel&) = delete;
    BootedKernel& operator=(const BootedKernel&) = delete;

    // The console's lines so far.
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // How many of them hold `text`.
    size_t count_lines(std::string_view text) {
        size_t n = 0;
        for (const auto& l : lines()) n += l.find(text) != std::string::npos;
        return n;
    }
    bool console_has(std::string_view text) { return count_lines(text) > 0; }
    void clear_console() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace testsupport
