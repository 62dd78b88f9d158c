// The board's root directory: everything the box keeps in its file systems, laid out as the
// programs see it through the os seam ("/mnt/..." is "<root>/mnt/...").
//
//   mnt/mmcblk0p1          the SD card (survives reboots and board restarts)
//   mnt/jffs_user          the flash: config/, wave/%03d.wav prompts, DR/TK500 on a TK500
//   dev/                   device node table .nodes, node placeholders, ttySAC1/2 links
//   run/                   device and control sockets, card state, clock offset (per start)
//   log/console.log        the console, appended at every start
//   state/                 hardware state that survives power (the RTC)
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "board.hpp"
#include "registry.hpp"

namespace simboard {

// The prompt files the recorder plays.
inline constexpr int kPromptNumbers[] = {71, 74, 78, 79};

// Creates a missing root (whole, or not at all: it is built beside its final place and renamed)
// or completes an existing one; generates missing prompt files and sets the model marker.
bool prepare_root(const std::filesystem::path& root, Model model, std::string& error);

// A short valid 8 kHz 8-bit mono WAV file: a tone of `hz` for `ms` milliseconds.
std::vector<uint8_t> make_prompt_wave(unsigned hz, unsigned ms);

// Writes <root>/dev/.nodes (atomically) and an empty placeholder for every node that has no
// file yet.
bool write_node_table(const std::filesystem::path& root, const std::vector<DeviceNode>& nodes,
                      std::string& error);

}  // namespace simboard
