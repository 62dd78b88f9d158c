// The board's own actions (scenario lines and ctl commands), device nodes and their registration.
#include "registry.hpp"
#include "runner.hpp"

namespace simboard {

namespace {

Runner& runner(Board& board) {
    return static_cast<Runner&>(board);
}

std::string any_text(const Args& args) {
    return args.empty() ? "expected a text" : "";
}

const bool registered = [] {
    register_device_node("/dev/winbond0", 240, 0);
    register_device_node("/dev/winbond1", 240, 1);
    register_device_node("/dev/LIS3LV02DQ", 211, 0);
    register_device_node("/dev/i2c-0", 89, 0);
    register_device_node("/dev/watchdog", 10, 130);
    register_device_node("/dev/dsp", 14, 3);

    register_action({"power off", "", "remove the power: the programs die where they are", nullptr,
                     [](Board& b, const Args&) -> std::string {
                         if (!b.powered()) return "the board is already off";
                         runner(b).power_off("power removed", false);
                         return "";
                     }});
    register_action({"power on", "", "apply the power: the board boots", nullptr,
                     [](Board& b, const Args&) -> std::string {
                         if (b.powered()) return "the board is already on";
                         runner(b).power_on("power on");
                         return "";
                     }});
    register_action({"power cycle", "", "power off and on again", nullptr,
                     [](Board& b, const Args&) -> std::string {
                         runner(b).power_off("power cycle", false);
                         runner(b).power_on("power cycle");
                         return "";
                     }});
    register_action({"reboot", "", "reboot, as the shell command reboot does", nullptr,
                     [](Board& b, const Args&) -> std::string {
                         if (!b.powered()) return "the board is off";
                         runner(b).reboot("reboot by the operator");
                         return "";
                     }});
    register_action(
        {"card full", "", "the card has no free space left (writes fail: ENOSPC)", nullptr,
         [](Board& b, const Args&) { return runner(b).card().set_state(os::simcard::CARD_FULL); }});
    register_action({"card failing", "", "reads and writes of card files fail with EIO", nullptr,
                     [](Board& b, const Args&) {
                         return runner(b).card().set_state(os::simcard::CARD_FAILING);
                     }});
    register_action(
        {"card ok", "", "the card works normally again (after full or failing)", nullptr,
         [](Board& b, const Args&) { return runner(b).card().set_state(os::simcard::CARD_OK); }});
    register_action({"card remove", "", "take the card out: open files fail with EIO", nullptr,
                     [](Board& b, const Args&) { return runner(b).card().remove(); }});
    register_action({"card insert", "", "put the removed card back", nullptr,
                     [](Board& b, const Args&) { return runner(b).card().insert(); }});
    register_action({"card sync", "",
                     "flush the card, as the shell command sync does: what was written so far "
                     "survives a power cut",
                     nullptr, [](Board& b, const Args&) {
                         runner(b).card().flush();
                         return std::string();
                     }});
    register_action(
        {"card at", "COUNT CLASS ACTION",
         "at the COUNTth card operation from now of CLASS (any, index, names, recording): cut "
         "the power, or make the card full, failing or removed",
         [](const Args& args) {
             CardTrigger t;
             return parse_trigger(args, t);
         },
         [](Board& b, const Args& args) {
             CardTrigger t;
             if (std::string why = parse_trigger(args, t); !why.empty()) return why;
             return runner(b).card().arm(t);
         }});
    register_action({"log", "TEXT...", "write a line on the board's console", any_text,
                     [](Board& b, const Args& args) {
                         std::string text;
                         for (const auto& a : args) text += (text.empty() ? "" : " ") + a;
                         b.console("note", text);
                         return std::string();
                     }});
    register_action({"quit", "", "power off and end simboard", nullptr, [](Board& b, const Args&) {
                         runner(b).quit("quit");
                         return std::string();
                     }});
    return true;
}();

}  // namespace

}  // namespace simboard
