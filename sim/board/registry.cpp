#include "registry.hpp"

#include <sstream>

namespace simboard {

Registry& registry() {
    static Registry instance;
    return instance;
}

void register_action(ActionSpec spec) {
    registry().actions.push_back(std::move(spec));
}
void register_status_item(StatusItem item) {
    registry().status_items.push_back(std::move(item));
}
void register_power_hooks(PowerHooks hooks) {
    registry().power_hooks.push_back(std::move(hooks));
}
void register_board_driver(BoardDriver driver) {
    registry().drivers.push_back(std::move(driver));
}
void register_serial_peer(SerialPeerSpec spec) {
    registry().peers.push_back(std::move(spec));
}
void register_option(OptionSpec spec) {
    registry().options.push_back(std::move(spec));
}

void register_device_node(std::string box_path, unsigned major, unsigned minor) {
    auto& nodes = registry().nodes;
    for (auto& n : nodes) {
        if (n.box_path == box_path) {
            n.major = major;
            n.minor = minor;
            return;
        }
    }
    nodes.push_back({std::move(box_path), major, minor});
}

const ActionSpec* find_action(const std::vector<std::string>& words, size_t& used) {
    const ActionSpec* best = nullptr;
    used = 0;
    for (const auto& spec : registry().actions) {
        std::istringstream name(spec.name);
        std::string part;
        size_t n = 0;
        bool match = true;
        while (name >> part) {
            if (n >= words.size() || words[n] != part) {
                match = false;
                break;
            }
            ++n;
        }
        if (match && n > used) {
            best = &spec;
            used = n;
        }
    }
    return best;
}

}  // namespace simboard
