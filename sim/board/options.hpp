// simboard's command line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "board.hpp"
#include "programs.hpp"

namespace simboard {

struct Options {
    std::filesystem::path root = "board";
    Model model = Model::kTK700;
    uint64_t card_bytes = 8ull << 30;
    std::filesystem::path scenario;    // empty: none
    std::optional<double> duration;    // seconds; empty: until Ctrl-C or "quit"
    std::string tty1, tty2;            // outside devices for the serial ports
    std::filesystem::path bin_dir;     // where the programs are (default: beside simboard)
    std::filesystem::path module_dir;  // where the modules are (default: ../modules)
    std::vector<StartStep> steps;      // default: run volcheck, then start recorder
    bool help = false;
};

// The card's total size in MB as the recorder reckons it from the file system's statistics
// (512-byte blocks, 32-bit arithmetic); "" when the recorder takes a card of `bytes`, otherwise
// why not, with the range it supports.
uint32_t recorder_card_mb(uint64_t bytes);
std::string check_card_size(uint64_t bytes);

// Parses the options (argv[0] excluded). False with a message naming the bad argument.
bool parse_options(const std::vector<std::string>& args, const std::filesystem::path& self_dir,
                   Options& out, std::string& error);

// The text of --help: options (the board's and the registered ones), scenario format, actions.
std::string usage_text();

}  // namespace simboard
