// The simulated SD card's journal of unflushed changes, shared between the programs' os seam
// (which appends to it) and simboard (which applies it at a power cut).
//
// A card behind a write-back cache keeps only part of what was not flushed when the power goes.
// The seam therefore records, before each change of the card, what is needed to take it back:
// the bytes a write overwrites, the size a file had, the inode a removal or a rename drops (kept
// as a hard link in the undo store "<root>/run/card-undo/<inode>"). `fsync` of a file makes its
// own earlier changes durable (an FSYNC entry); `sync` makes everything durable (the journal is
// emptied and the undo store cleared). At a power cut the board takes back a seeded share of what
// the journal still holds.
//
// File "<root>/run/card.journal": entries one after the other, each a 64-byte head followed by
// its path, its second path and its data. Little-endian:
//    0  4  magic "CJE1"
//    4  2  kind (Kind)
//    6  2  path length
//    8  2  second path length
//   10  2  reserved, 0
//   12  4  data length
//   16  8  inode
//   24  8  second inode
//   32  8  offset, or the new size of a TRUNCATE
//   40  8  length, or the size an FSYNC made durable
//   48  8  size of the file before the change
//   56  8  when the change was made (CLOCK_MONOTONIC, ns): the kernel writes back on its own
//          what stayed dirty long enough
// Paths are relative to the card's directory ("data/recinfo"). Appends are serialised by an
// exclusive flock(2) of the journal, which the board also takes while it applies it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../common/le.hpp"

namespace os::cardlog {

constexpr std::array<uint8_t, 4> kMagic = {'C', 'J', 'E', '1'};
constexpr size_t kHeadSize = 64;
constexpr size_t kSectorSize = 512;  // what a card writes at once
// Files up to this size keep their whole content in the journal when a shell command may change
// them in place (cp onto an existing file).
constexpr uint64_t kShellKeepContentBelow = 64 * 1024;

enum class Kind : uint16_t {
    kCreate = 1,     // path, inode: a new file appeared at path
    kReplace = 2,    // path, inode (new), inode2 (old, in the undo store): O_TRUNC of a file
    kWrite = 3,      // inode, offset, length, sizeBefore; data: the bytes it overwrote
    kTruncate = 4,   // inode, offset = new size, sizeBefore; data: the bytes cut off
    kFsync = 5,      // inode, length = its size now
    kUnlink = 6,     // path, inode (in the undo store)
    kRename = 7,     // path -> path2, inode, inode2 (the file it replaced, in the undo store; 0)
    kMkdir = 8,      // path
    kShell = 9,      // data: the card's listing before a shell command (Listing)
    kShellEnd = 10,  // data: the listing after it
    kWrote = 11,     // inode, length: the last WRITE of inode wrote only that many bytes
    kFsyncDir = 12,  // path: a directory was flushed (its entries: creations, removals, renames)
};

struct Entry {
    Kind kind = Kind::kCreate;
    std::string path;
    std::string path2;
    uint64_t ino = 0;
    uint64_t ino2 = 0;
    uint64_t offset = 0;
    uint64_t length = 0;
    uint64_t sizeBefore = 0;
    uint64_t timeNs = 0;
    std::vector<uint8_t> data;
};

inline void put_u64(std::span<uint8_t> b, size_t off, uint64_t v) {
    le::put_u32(b, off, static_cast<uint32_t>(v));
    le::put_u32(b, off + 4, static_cast<uint32_t>(v >> 32));
}

inline uint64_t get_u64(std::span<const uint8_t> b, size_t off) {
    return le::get_u32(b, off) | static_cast<uint64_t>(le::get_u32(b, off + 4)) << 32;
}

// The bytes of one entry. `data` may be given apart from the entry (the seam passes the bytes a
// write overwrites without copying them into an Entry).
inline std::vector<uint8_t> encode(const Entry& e, std::span<const uint8_t> data) {
    std::vector<uint8_t> out(kHeadSize + e.path.size() + e.path2.size() + data.size());
    std::span<uint8_t> b(out);
    std::copy(kMagic.begin(), kMagic.end(), out.begin());
    le::put_u16(b, 4, static_cast<uint16_t>(e.kind));
    le::put_u16(b, 6, static_cast<uint16_t>(e.path.size()));
    le::put_u16(b, 8, static_cast<uint16_t>(e.path2.size()));
    le::put_u16(b, 10, 0);
    le::put_u32(b, 12, static_cast<uint32_t>(data.size()));
    put_u64(b, 16, e.ino);
    put_u64(b, 24, e.ino2);
    put_u64(b, 32, e.offset);
    put_u64(b, 40, e.length);
    put_u64(b, 48, e.sizeBefore);
    put_u64(b, 56, e.timeNs);
    size_t at = kHeadSize;
    std::copy(e.path.begin(), e.path.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    at += e.path.size();
    std::copy(e.path2.begin(), e.path2.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    at += e.path2.size();
    std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    return out;
}

inline std::vector<uint8_t> encode(const Entry& e) {
    return encode(e, e.data);
}

// Decodes the entry at `at` and moves `at` past it. Nothing at the end of the journal, or at
// bytes that are not an entry (a program killed in the middle of an append): what follows is
// not read.
inline std::optional<Entry> decode(std::span<const uint8_t> b, size_t& at) {
    if (b.size() - at < kHeadSize) return std::nullopt;
    std::span<const uint8_t> h = b.subspan(at, kHeadSize);
    if (!std::equal(kMagic.begin(), kMagic.end(), h.begin())) return std::nullopt;
    Entry e;
    const uint16_t kind = le::get_u16(h, 4);
    if (kind < static_cast<uint16_t>(Kind::kCreate) ||
        kind > static_cast<uint16_t>(Kind::kFsyncDir))
        return std::nullopt;
    e.kind = static_cast<Kind>(kind);
    const size_t pathLen = le::get_u16(h, 6);
    const size_t path2Len = le::get_u16(h, 8);
    const size_t dataLen = le::get_u32(h, 12);
    e.ino = get_u64(h, 16);
    e.ino2 = get_u64(h, 24);
    e.offset = get_u64(h, 32);
    e.length = get_u64(h, 40);
    e.sizeBefore = get_u64(h, 48);
    e.timeNs = get_u64(h, 56);
    const size_t total = kHeadSize + pathLen + path2Len + dataLen;
    if (b.size() - at < total) return std::nullopt;
    const auto* p = b.data() + at + kHeadSize;
    e.path.assign(p, p + pathLen);
    e.path2.assign(p + pathLen, p + pathLen + path2Len);
    e.data.assign(p + pathLen + path2Len, p + total - kHeadSize);
    at += total;
    return e;
}

// The card's files as a shell command found or left them (the data of kShell and kShellEnd):
// per file a 32-byte head (inode u64, size u64, change time in ns u64, flags u16, path length
// u16, content length u32), its path, and its content when it was kept.
struct ListedFile {
    std::string path;  // relative to the card
    uint64_t ino = 0;
    uint64_t size = 0;
    uint64_t ctimeNs = 0;  // any change of the file's content or links moves it
    bool dir = false;
    bool hasContent = false;
    std::vector<uint8_t> content;
};

constexpr size_t kListHead = 32;
constexpr uint16_t kListDir = 1;
constexpr uint16_t kListContent = 2;

inline std::vector<uint8_t> encode_listing(const std::vector<ListedFile>& files) {
    std::vector<uint8_t> out;
    for (const ListedFile& f : files) {
        std::array<uint8_t, kListHead> h{};
        put_u64(h, 0, f.ino);
        put_u64(h, 8, f.size);
        put_u64(h, 16, f.ctimeNs);
        le::put_u16(
            h, 24,
            static_cast<uint16_t>((f.dir ? kListDir : 0) | (f.hasContent ? kListContent : 0)));
        le::put_u16(h, 26, static_cast<uint16_t>(f.path.size()));
        le::put_u32(h, 28, static_cast<uint32_t>(f.hasContent ? f.content.size() : 0));
        out.insert(out.end(), h.begin(), h.end());
        out.insert(out.end(), f.path.begin(), f.path.end());
        if (f.hasContent) out.insert(out.end(), f.content.begin(), f.content.end());
    }
    return out;
}

// Nothing when the bytes are not a whole listing.
inline std::optional<std::vector<ListedFile>> decode_listing(std::span<const uint8_t> b) {
    std::vector<ListedFile> files;
    size_t at = 0;
    while (at < b.size()) {
        if (b.size() - at < kListHead) return std::nullopt;
        ListedFile f;
        f.ino = get_u64(b, at);
        f.size = get_u64(b, at + 8);
        f.ctimeNs = get_u64(b, at + 16);
        const uint16_t flags = le::get_u16(b, at + 24);
        const size_t pathLen = le::get_u16(b, at + 26);
        const size_t contentLen = le::get_u32(b, at + 28);
        f.dir = (flags & kListDir) != 0;
        f.hasContent = (flags & kListContent) != 0;
        at += kListHead;
        if (b.size() - at < pathLen + contentLen) return std::nullopt;
        f.path.assign(b.begin() + static_cast<std::ptrdiff_t>(at),
                      b.begin() + static_cast<std::ptrdiff_t>(at + pathLen));
        at += pathLen;
        f.content.assign(b.begin() + static_cast<std::ptrdiff_t>(at),
                         b.begin() + static_cast<std::ptrdiff_t>(at + contentLen));
        at += contentLen;
        files.push_back(std::move(f));
    }
    return files;
}

}  // namespace os::cardlog
