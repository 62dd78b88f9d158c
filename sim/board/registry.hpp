// The board's registries (filled by register_*() from board.hpp) as the board itself reads them.
#pragma once

#include <string>
#include <vector>

#include "board.hpp"

namespace simboard {

struct DeviceNode {
    std::string box_path;
    unsigned major = 0;
    unsigned minor = 0;
};

struct Registry {
    std::vector<ActionSpec> actions;
    std::vector<StatusItem> status_items;
    std::vector<PowerHooks> power_hooks;
    std::vector<BoardDriver> drivers;
    std::vector<DeviceNode> nodes;
    std::vector<SerialPeerSpec> peers;
    std::vector<OptionSpec> options;
};

Registry& registry();

// The action whose name matches the longest run of leading words of `words`, or null; `used` is
// how many words its name took.
const ActionSpec* find_action(const std::vector<std::string>& words, size_t& used);

}  // namespace simboard
