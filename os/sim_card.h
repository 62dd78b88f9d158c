// The simulated SD card's state, shared between simboard (which writes it) and the programs' os
// seam (which maps it and consults it on statfs and on every read or write of a card file).
//
// File "<root>/run/card", exactly 64 bytes, little-endian:
//   0  8  magic "SIMCARD2"
//   8  8  virtual capacity in bytes (u64)
//  16  4  block size in bytes (u32), as statfs reports it
//  20  4  state (u32), one of CardState; changed in place by the board
//  24  4  durability (u32), one of Durability
//  28  4  card operations left before the armed trigger fires (u32, 0: none armed)
//  32  8  bytes the card's files take (u64): a running count that the seam keeps on every change
//         and sets again from the directory on statfs; the board sets it at power-on
//  40  4  the classes of operation the trigger counts (u32, OpClass bits)
//  44  4  what the trigger does (u32, Trigger)
//  48 16  reserved, 0
// The card itself is the directory "<root>/mnt/mmcblk0p1". statfs of it reports the virtual
// capacity and, as used space, the space its files take (every file rounded up to whole blocks,
// every directory one block). Without the file the card is a healthy 8 GiB card with 512-byte
// blocks that keeps everything.
//
// With durability kFaithful the seam journals every change of the card that was not flushed
// (sim_card_journal.h) and the board applies a power cut to it; with kHost (today's PC
// behaviour) whatever was written stays.
//
// The trigger lets a test stop the box at a chosen card operation: each operation of the armed
// classes counts the word at 28 down; the one that brings it to 0 is done, then the seam applies
// the trigger: kCut freezes the program (no card operation of the process gets through any more)
// and tells the board through the FIFO "<root>/run/card-trigger", which cuts the power; kFull,
// kFailing and kRemove set that state first, so that the operation fails as it would on such a
// card (the board moves a removed card's directory away when it hears of it).
#pragma once

#include <cstddef>
#include <cstdint>

namespace os::simcard {

constexpr char kMagic[8] = {'S', 'I', 'M', 'C', 'A', 'R', 'D', '2'};
constexpr size_t kFileSize = 64;
constexpr size_t kOffCapacity = 8;
constexpr size_t kOffBlockSize = 16;
constexpr size_t kOffState = 20;
constexpr size_t kOffDurability = 24;
constexpr size_t kOffTriggerCountdown = 28;
constexpr size_t kOffUsed = 32;
constexpr size_t kOffTriggerClasses = 40;
constexpr size_t kOffTriggerAction = 44;
static_assert(kOffTriggerAction + 4 <= kFileSize && kOffUsed % 8 == 0);

static_assert(kOffCapacity + 8 == kOffBlockSize && kOffBlockSize + 4 == kOffState);
static_assert(kOffState % 4 == 0, "the state is read as an aligned atomic u32");
static_assert(kOffState + 4 == kOffDurability && kOffDurability + 4 == kOffTriggerCountdown &&
              kOffTriggerCountdown + 4 == kOffUsed && kOffUsed + 8 == kOffTriggerClasses &&
              kOffTriggerClasses + 4 == kOffTriggerAction && kOffTriggerAction + 4 + 16 == kFileSize);

constexpr uint64_t kDefaultCapacity = 8ull << 30;
constexpr uint32_t kDefaultBlockSize = 512;

// Names inside "<root>/run".
constexpr const char* kJournalName = "card.journal";
constexpr const char* kUndoDirName = "card-undo";
constexpr const char* kTriggerFifoName = "card-trigger";

enum CardState : uint32_t {
    CARD_OK = 0,       // normal
    CARD_FULL = 1,     // statfs reports no free block; writes fail with ENOSPC
    CARD_FAILING = 2,  // reads and writes of card files fail with EIO
    CARD_REMOVED = 3,  // the board moved the card away; I/O on files opened before fails with EIO
};

enum Durability : uint32_t {
    kHost = 0,      // everything written stays, flushed or not
    kFaithful = 1,  // what was not flushed may be lost at a power cut
};

// Classes of card operation, for the trigger.
enum OpClass : uint32_t {
    kOpAny = 1,        // every write, truncation, flush, creation, removal, rename, mkdir
    kOpIndex = 2,      // on the recording index (data/recinfo, recinfo.tmp, recinfo.bak)
    kOpNames = 4,      // creations, O_TRUNC opens, removals, renames, mkdir
    kOpRecording = 8,  // on a recording file (rec*.asd)
};

enum Trigger : uint32_t {
    kTriggerCut = 0,
    kTriggerFull = 1,
    kTriggerFailing = 2,
    kTriggerRemove = 3,
};

}  // namespace os::simcard
