// The summary of the card that the board prints when a run ends (--summary): the recordings,
// events and snapshots read back from the card by the recording reader, as `asdtool summary`
// prints them.
#pragma once

#include <cstdio>
#include <filesystem>

namespace simboard {

// Whether --summary was given.
bool end_summary_wanted();

// Prints the summary of the card under `root` to `out` and keeps a copy in
// <root>/log/summary.txt.
void print_end_summary(const std::filesystem::path& root, std::FILE* out = stdout);

}  // namespace simboard
