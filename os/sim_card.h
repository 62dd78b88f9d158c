// The simulated SD card's state, shared between simboard (which writes it) and the programs'
// os seam (which maps it and consults it on statfs and on every read or write of a card file).
//
// File "<root>/run/card", exactly 32 bytes, little-endian:
//   0  8  magic "SIMCARD1"
//   8  8  virtual capacity in bytes (u64)
//  16  4  block size in bytes (u32), as statfs reports it
//  20  4  state (u32), one of CardState; changed in place by the board
//  24  8  reserved, 0
// The card itself is the directory "<root>/mnt/mmcblk0p1". statfs of it reports the virtual
// capacity and, as used space, the space its files take. Without the file the card is a healthy
// 8 GiB card with 512-byte blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os::simcard {

constexpr char kMagic[8] = {'S', 'I', 'M', 'C', 'A', 'R', 'D', '1'};
constexpr size_t kFileSize = 32;
constexpr size_t kOffCapacity = 8;
constexpr size_t kOffBlockSize = 16;
constexpr size_t kOffState = 20;

static_assert(kOffCapacity + 8 == kOffBlockSize && kOffBlockSize + 4 == kOffState);
static_assert(kOffState % 4 == 0, "the state is read as an aligned atomic u32");
static_assert(kOffState + 4 + 8 == kFileSize);

constexpr uint64_t kDefaultCapacity = 8ull << 30;
constexpr uint32_t kDefaultBlockSize = 512;

enum CardState : uint32_t {
    CARD_OK = 0,       // normal
    CARD_FULL = 1,     // statfs reports no free block; writes fail with ENOSPC
    CARD_FAILING = 2,  // reads and writes of card files fail with EIO
    CARD_REMOVED = 3,  // the board moved the card away; I/O on files opened before fails with EIO
};

}  // namespace os::simcard
