// What a power cut leaves on the crash-faithful SD card.
//
// The programs' os seam journals every change of the card that was not flushed yet
// (os/sim_card_journal.h). At a power cut the board takes back a share of them, the way a FAT
// file system behind a write-back cache loses them:
//
//   - a directory entry change (creation, O_TRUNC, removal, rename, mkdir) may be undone; a
//     rename over an existing file may also leave the target removed and the source in place;
//   - each sector (512 bytes) that unflushed writes touched holds the file's content of some
//     moment since the last flush, no older than the file's size says; the size falls back to
//     what it was at some moment since then (the last flush at the oldest), or to a sector bound
//     inside a write that grew the file: unflushed data is lost, kept, or torn at sector bounds;
//   - what an fsync of a file flushed (its data, its size, its name) and what a sync flushed
//     (everything) stays, and so does what stayed dirty long enough for the kernel to write it
//     back on its own (35 s: Linux's dirty_expire_centisecs and one flusher period).
//
// Which share is taken back is drawn from a seed: the same journal on the same card with the
// same seed leaves the same card.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace simboard {

struct CutOutcome {
    size_t changes = 0;  // unflushed changes the journal held (file contents count once a file)
    size_t kept = 0;
    size_t lost = 0;                 // taken back whole
    size_t torn = 0;                 // taken back in part
    std::vector<std::string> lines;  // what happened to each change, for the card's log
};

struct CardPaths {
    std::filesystem::path card;     // the card's directory
    std::filesystem::path journal;  // <root>/run/card.journal
    std::filesystem::path undo;     // <root>/run/card-undo
};

// Applies a power cut to the card: takes back the share of the journal's changes that `seed`
// draws, then empties the journal and the undo store. `now_ns` is the time of the cut on
// CLOCK_MONOTONIC (0: now).
CutOutcome apply_power_cut(const CardPaths& paths, uint64_t seed, uint64_t now_ns = 0);

// Everything written is on the card (a sync): the journal and the undo store are emptied.
void drop_journal(const CardPaths& paths);

// Unflushed changes the journal holds now.
size_t journal_entries(const CardPaths& paths);

}  // namespace simboard
