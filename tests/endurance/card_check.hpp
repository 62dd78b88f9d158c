// What the card says after a power cut, from the card alone, and whether it keeps the
// recorder's promises from one cut to the next:
//   - every closed recording file reads whole;
//   - the file that was open reads up to its last whole record;
//   - a locked file is never overwritten while it is locked;
//   - no lock disappears except by rotation (the erase key is never pressed here): a new event
//     drops the oldest once every lock is in use, and a file change drops the oldest when every
//     file of the ring is locked.
//
// The recording index that counts is the one the recorder starts from: data/recinfo when it is
// whole and in range, otherwise a whole data/recinfo.tmp (the save the power cut interrupted),
// otherwise data/recinfo.bak.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "asd_reader.hpp"

namespace endurance {

struct FileState {
    uint64_t size = 0;
    asd::Ending ending = asd::Ending::Empty;
    std::optional<asd::Damage> damage;  // damage, not a last record cut short
    std::optional<asd::Time> start;     // the recording's identity (none for an empty file)
};

struct LockEntry {
    uint16_t generation = 0;
    uint8_t type = 0;
};

struct CardState {
    std::string indexSource;  // "recinfo", "recinfo.tmp", "recinfo.bak" or "" (none readable)
    std::map<int, LockEntry> locks;  // file index -> lock
    std::map<int, FileState> files;  // file index -> what the reader makes of rec%08d.asd
    int ring = 0;                    // files of the ring
};

// Reads the card's data directory. `ring` is the number of files of the ring (an index naming a
// next file beyond it is damaged).
class CardReader {
  public:
    explicit CardReader(int ring) : ring_(ring) {}
    CardState read(const std::filesystem::path& card);

  private:
    struct Cached {
        uint64_t ino = 0, size = 0, mtime = 0;
        FileState state;
    };
    int ring_;
    std::map<int, Cached> cache_;  // files that did not change are not read again
};

struct Counts {
    size_t checks = 0;
    size_t locksSeen = 0;          // events whose locks were on the card at some check
    size_t locksLost = 0;          // events whose locks disappeared other than by rotation
    size_t lockedOverwritten = 0;  // locked files whose recording was replaced while locked
    size_t closedDamaged = 0;      // closed files that do not read whole
    size_t openDamaged = 0;        // files left open that are damaged before their last record
};

// Compares each card state with the one before.
class Checker {
  public:
    // What is wrong with `now` (one line each; empty when nothing is), counted in counts().
    std::vector<std::string> check(const CardState& now);
    const Counts& counts() const { return counts_; }

  private:
    struct Event {
        uint16_t generation = 0;
        uint8_t type = 0;
        std::set<int> files;
    };
    static std::vector<Event> events_of(const CardState& state);

    Counts counts_;
    std::optional<CardState> last_;
    std::set<std::pair<int, uint64_t>> damaged_;  // (file, start) already counted
};

}  // namespace endurance
