#include "end_summary.hpp"

#include <atomic>
#include <fstream>
#include <string>
#include <string_view>

#include "board.hpp"
#include "card_summary.hpp"

namespace simboard {

namespace {

std::atomic<bool> g_wanted{false};

const bool registered = [] {
    register_option({"summary", "",
                     "at the end, print what the card holds (asdtool summary), also kept in "
                     "log/summary.txt",
                     [](std::string_view) {
                         g_wanted = true;
                         return std::string();
                     }});
    return true;
}();

}  // namespace

bool end_summary_wanted() {
    return g_wanted;
}

void print_end_summary(const std::filesystem::path& root, std::FILE* out) {
    const std::string text = asd::format_summary(asd::summarize_card(root / "mnt/mmcblk0p1"));
    std::fputs("\n", out);
    std::fputs(text.c_str(), out);
    std::fflush(out);
    std::ofstream(root / "log/summary.txt") << text;
}

}  // namespace simboard
