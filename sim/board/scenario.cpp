#include "scenario.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>

#include "input_file.hpp"
#include "registry.hpp"

namespace simboard {

namespace {

std::vector<std::string> split_words(std::string_view line) {
    std::vector<std::string> words;
    std::istringstream in{std::string(line)};
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

std::string join(const std::vector<std::string>& words, size_t from = 0) {
    std::string out;
    for (size_t i = from; i < words.size(); ++i) {
        if (!out.empty()) out += ' ';
        out += words[i];
    }
    return out;
}

// "12", "12.5", "+0.25": seconds, finite and not negative.
bool parse_time(std::string_view text, bool& relative, double& seconds) {
    relative = !text.empty() && text.front() == '+';
    if (relative) text.remove_prefix(1);
    if (text.empty() ||
        !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '.'))
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(seconds) &&
           seconds >= 0 && seconds < 1e7;
}

}  // namespace

std::string parse_command(const std::vector<std::string>& words, Command& out) {
    if (words.empty()) return "no action given";
    size_t used = 0;
    const ActionSpec* spec = find_action(words, used);
    if (spec == nullptr) return "unknown action '" + join(words) + "'";
    Args args(words.begin() + static_cast<std::ptrdiff_t>(used), words.end());
    std::string why;
    if (spec->check) {
        why = spec->check(args);
    } else if (!args.empty()) {
        why = "takes no arguments";
    }
    if (!why.empty()) {
        return "'" + join(words) + "': " + why +
               (spec->usage.empty() ? "" : " (usage: " + spec->name + " " + spec->usage + ")");
    }
    out.action = spec;
    out.args = std::move(args);
    out.text = join(words);
    return "";
}

bool parse_scenario(std::string_view text, const std::string& origin,
                    std::vector<ScenarioStep>& steps, std::string& error) {
    steps.clear();
    double previous = 0;
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t nl = text.find('\n', start);
        std::string_view line = text.substr(start, nl == std::string_view::npos ? nl : nl - start);
        start = nl == std::string_view::npos ? text.size() + 1 : nl + 1;
        ++number;
        if (const size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        auto words = split_words(line);
        if (words.empty()) continue;
        const std::string where = origin + ":" + std::to_string(number) + ": ";
        bool relative = false;
        double t = 0;
        if (!parse_time(words[0], relative, t)) {
            error = where + "'" + words[0] + "' is not a time in seconds";
            return false;
        }
        if (relative) t += previous;
        previous = t;
        words.erase(words.begin());
        ScenarioStep step;
        step.time = t;
        step.line = number;
        if (const std::string why = parse_command(words, step.command); !why.empty()) {
            error = where + why;
            return false;
        }
        steps.push_back(std::move(step));
    }
    std::stable_sort(steps.begin(), steps.end(),
                     [](const ScenarioStep& a, const ScenarioStep& b) { return a.time < b.time; });
    return true;
}

bool load_scenario(const std::filesystem::path& file, std::vector<ScenarioStep>& steps,
                   std::string& error) {
    std::string text;
    if (!read_input_file(file, kMaxScenarioBytes, text, error)) {
        const std::string_view cannot = "cannot read ";
        error = error.starts_with(cannot) ? "cannot read scenario " + error.substr(cannot.size())
                                          : "scenario " + error;
        return false;
    }
    return parse_scenario(text, file.string(), steps, error);
}

}  // namespace simboard
