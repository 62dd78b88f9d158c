// The changes a power cut may take back: the seam's journal of the card read as a list of changes
// since the last flush, with what a later fsync, a directory's fsync or the kernel's own
// write-back made durable marked, and the changes of the recorder's shell commands found by
// comparing the card's listings around them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "../../os/sim_card_journal.h"

namespace simboard::cardchanges {

using os::cardlog::Entry;
using os::cardlog::Kind;
using os::cardlog::ListedFile;

constexpr uint64_t kSector = os::cardlog::kSectorSize;
// A directory a shell command removed: not a journal kind, made when its changes are read.
constexpr Kind kRmdir = static_cast<Kind>(100);
// The kernel writes back on its own what stayed dirty for dirty_expire_centisecs (30 s), at its
// next flusher pass (every 5 s): what is older than this is on the card, flushed or not.
constexpr uint64_t kWritebackNs = 35ull * 1000000000u;

struct Op {
    Entry e;
    bool forced = false;  // a later fsync of its file made it durable
};

uint64_t monotonic_ns();

// "data/recinfo" -> "data"; "x" -> "".
std::string parent_of(const std::string& rel);

// The file's size after a write or a truncation.
uint64_t size_after(const Entry& e);

std::vector<uint8_t> read_all(int fd);
std::vector<Entry> decode_all(const std::vector<uint8_t>& bytes);

// The card's files and directories below `dir`, sorted by name, as paths relative to the card.
void list_card(const std::filesystem::path& dir, const std::string& rel,
               std::vector<ListedFile>& out);
const ListedFile* find_path(const std::vector<ListedFile>& files, const std::string& path);

// The journal's entries as changes: shell commands expanded, short writes made short, and the
// changes that a later fsync flushed marked.
std::vector<Op> changes_of(const std::vector<Entry>& entries, const std::filesystem::path& card,
                           uint64_t now_ns);

}  // namespace simboard::cardchanges
