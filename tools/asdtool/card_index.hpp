// Reads the card's recording index ("data/recinfo"): which file of the ring the recorder uses
// next and which files events have locked.
//
// The index is 1402 little-endian u32 words (5608 bytes): word 0 the next file index, word 1 the
// number of lock generations in use, word 2 + i the lock entry of file i. A lock entry is 0 for a
// free file; otherwise bits 0..15 hold the lock generation (1 = the oldest event kept) and bits
// 16..23 the lock type (0 emergency button, 1 accelerometer impact, 2 external alarm), bits 24..31
// are 0. An index that holds what the recorder never writes (a next file beyond the ring, more
// events than the largest card keeps, a lock of another type or of generation 0) is damaged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace asd {

constexpr size_t kIndexFiles = 1400;
constexpr uint32_t kMaxEvents = 200;  // the most events any card keeps
constexpr size_t kIndexBytes = (2 + kIndexFiles) * 4;
static_assert(kIndexBytes == 5608);

struct Lock {
    uint16_t generation = 0;
    uint8_t type = 0;
    bool operator==(const Lock&) const = default;
};

struct CardIndex {
    uint32_t next = 0;       // the file index the recorder opens next
    uint32_t lockCount = 0;  // lock generations in use: the events kept
    std::array<uint32_t, kIndexFiles> entries{};

    // The lock of file `index`; nothing when the file is free or the index is out of range.
    std::optional<Lock> lock_of(size_t index) const;
    size_t locked_files() const;
};

// Decodes an index held in memory; nothing (and the reason in `error`) when it is not 5608 bytes
// or is damaged ("damaged: ...").
std::optional<CardIndex> parse_index(std::span<const uint8_t> bytes, std::string& error);
// Reads and decodes an index file.
std::optional<CardIndex> read_index(const std::string& path, std::string& error);

// "emergency button", "impact", "external alarm", or "lock type N" for a type the recorder does
// not write.
std::string lock_type_name(uint8_t type);

}  // namespace asd
