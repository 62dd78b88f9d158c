// The board's root directory: everything the box keeps in its file systems, laid out as the
// programs see it through the os seam ("/mnt/..." is "<root>/mnt/...").
//
//   mnt/mmcblk0p1          the SD card (survives reboots and board restarts)
//   mnt/jffs_user          the flash: config/, wave/%03d.wav prompts, DR/TK500 on a TK500
//   dev/                   device node table .nodes, node placeholders, ttySAC1/2 links
//   run/                   device and control sockets, card state, clock offset (per start);
//                          its owner's only (0700), as the sockets are (0600)
//   log/console.log        the console, appended at every start
//   state/                 hardware state that survives power (the RTC)
//   .simboard-root         the marker: this folder is a board's root
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "board.hpp"
#include "registry.hpp"

namespace simboard {

// The file the board writes into every root it makes or takes: a folder that holds it is a
// board's root.
inline constexpr const char* kRootMarker = ".simboard-root";

// The prompt files the recorder plays.
inline constexpr int kPromptNumbers[] = {71, 74, 78, 79};

// "" when `root` may become or is a board's root: a missing or empty folder, a folder with the
// marker, or one that holds nothing but the board's own layout (a root made before the marker
// existed, or a card put in place before the first start). Otherwise why not: the file system's
// root, a file, or a folder with other things in it. Changes nothing.
std::string check_root(const std::filesystem::path& root);

// Checks the root (check_root), then creates a missing one (whole, or not at all: it is built
// beside its final place and renamed) or completes an existing one; writes the marker, generates
// missing prompt files, sets the model marker and keeps run/ to its owner.
bool prepare_root(const std::filesystem::path& root, Model model, std::string& error);

// A short valid 8 kHz 8-bit mono WAV file: a tone of `hz` for `ms` milliseconds.
std::vector<uint8_t> make_prompt_wave(unsigned hz, unsigned ms);

// Writes <root>/dev/.nodes (atomically) and an empty placeholder for every node that has no
// file yet.
bool write_node_table(const std::filesystem::path& root, const std::vector<DeviceNode>& nodes,
                      std::string& error);

}  // namespace simboard
