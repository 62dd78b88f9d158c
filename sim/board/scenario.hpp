// Scenario files: a timeline of board actions.
//
//   # a comment; blank lines are ignored
//   2.5   card full          the action at 2.5 s after the board started
//   +1    card ok            1 s after the previous line
//   10    power cycle
//
// A line is a time in seconds (absolute from the board's start, or "+" relative to the line
// before) and an action with its arguments, words separated by blanks. Actions are those of the
// board and of its models (`simboard --help` lists them). Lines run in time order; lines with the
// same time run in file order. Every line is checked when the file is loaded.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "board.hpp"

namespace simboard {

struct Command {
    const ActionSpec* action = nullptr;
    Args args;
    std::string text;  // as written, for the console
};

// Finds the action that `words` name and checks its arguments. "" or what is wrong.
std::string parse_command(const std::vector<std::string>& words, Command& out);

struct ScenarioStep {
    double time = 0;
    int line = 0;
    Command command;
};

// Parses a scenario text; errors name `origin` and the line ("demo.txt:3: unknown action ...").
// Steps come back in time order.
bool parse_scenario(std::string_view text, const std::string& origin,
                    std::vector<ScenarioStep>& steps, std::string& error);
// A scenario is a regular file of at most kMaxScenarioBytes.
inline constexpr size_t kMaxScenarioBytes = 4u << 20;
bool load_scenario(const std::filesystem::path& file, std::vector<ScenarioStep>& steps,
                   std::string& error);

}  // namespace simboard
