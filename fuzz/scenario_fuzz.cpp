// The board's scenario parser on any text, with every action the board and its models register:
// a scenario it accepts has steps in time order, each at a finite time that is not negative, on
// the line it came from, with an action and its checked arguments; one it refuses says why in
// one line that names the file and the line.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_root.hpp"
#include "scenario.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<simboard::ScenarioStep> steps;
    std::string error;
    if (!simboard::parse_scenario(text, "fuzz.txt", steps, error)) {
        FUZZ_CHECK(error.rfind("fuzz.txt:", 0) == 0);
        FUZZ_CHECK(error.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    double last = 0;
    int lines = 1;
    for (const char c : text) lines += c == '\n' ? 1 : 0;
    for (const simboard::ScenarioStep& s : steps) {
        FUZZ_CHECK(std::isfinite(s.time) && s.time >= last);
        FUZZ_CHECK(s.line >= 1 && s.line <= lines);
        FUZZ_CHECK(s.command.action != nullptr && !s.command.text.empty());
        last = s.time;
    }
    return 0;
}
