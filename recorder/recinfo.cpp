#include "recinfo.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "cardfile.h"
#include "cardpaths.h"
#include "config.h"
#include "le.hpp"
#include "os.h"
#include "snapshot.h"
#include "storage.h"

std::array<uint32_t, RECINFO_WORDS> g_recinfo{};
int g_recHistory[REC_HISTORY_SIZE] = {-1, -1, -1, -1, -1};

void reset_recinfo_globals() {
    g_recinfo.fill(0);
    std::fill(std::begin(g_recHistory), std::end(g_recHistory), -1);
}

namespace {

constexpr uint32_t kGenerationMask = 0xFFFF;
constexpr uint32_t kTypeMask = 0x00FF0000;

using RecinfoBytes = std::array<uint8_t, RECINFO_SIZE>;

RecinfoBytes encode() {
    RecinfoBytes bytes{};
    for (int i = 0; i < RECINFO_WORDS; ++i) le::put_u32(bytes, 4 * i, g_recinfo[i]);
    return bytes;
}

// An index file as far as it reads: the words read whole. A file that is missing or cannot be
// read (a directory in its place) is not present.
struct IndexFile {
    bool present = false;
    long bytes = 0;
    std::array<uint32_t, RECINFO_WORDS> word{};

    int words() const { return static_cast<int>(bytes / 4); }
    bool whole() const { return present && bytes == RECINFO_SIZE; }
    bool has(int w) const { return present && w < words(); }
    bool has_entry(int file) const { return has(RECINFO_FIRST_ENTRY + file); }
    uint32_t entry(int file) const { return word[RECINFO_FIRST_ENTRY + file]; }
};

IndexFile read_index_file(const char* path) {
    IndexFile f;
    RecinfoBytes bytes{};
    const long n = cardfile::read_exact(path, bytes);
    if (n < 0) return f;
    f.present = true;
    f.bytes = n;
    for (int i = 0; i < f.words(); ++i) f.word[i] = le::get_u32(bytes, 4 * i);
    return f;
}

bool next_in_range(uint32_t next) {
    return next < static_cast<uint32_t>(g_maxFileCount);
}

bool lock_count_in_range(uint32_t count) {
    return count <= static_cast<uint32_t>(g_maxLockCount);
}

// Next index and lock count both readable and in range.
bool header_valid(const IndexFile& f) {
    return f.has(RECINFO_LOCKCOUNT) && next_in_range(f.word[RECINFO_NEXT]) &&
           lock_count_in_range(f.word[RECINFO_LOCKCOUNT]);
}

// A lock entry as the index defines it: a generation 1..g_maxLockCount and a lock type, and
// nothing else set.
bool valid_lock(uint32_t entry) {
    const uint32_t generation = entry & kGenerationMask;
    const uint32_t type = (entry >> 16) & 0xFF;
    return (entry >> 24) == 0 && type <= LOCK_ALARM && generation >= 1 &&
           generation <= static_cast<uint32_t>(g_maxLockCount);
}

// A loaded index: the lock count is held to the card's limit; a next index out of range asks for
// the repair.
int accept_loaded_index() {
    std::printf("read recinfo file  start index %d\n", g_recinfo[RECINFO_NEXT]);
    if (!lock_count_in_range(g_recinfo[RECINFO_LOCKCOUNT])) {
        g_recinfo[RECINFO_LOCKCOUNT] = static_cast<uint32_t>(g_maxLockCount);
    }
    return next_in_range(g_recinfo[RECINFO_NEXT]) ? 0 : -2;
}

// A power cut inside a save can leave no index (or an old one cut short) beside the whole,
// flushed temporary file that was to replace it: that file is the newest index.
bool recover_from_temporary() {
    const std::string tmp = cardfile::temporary_path(cardpath::kRecinfo);
    const IndexFile f = read_index_file(tmp.c_str());
    if (!f.whole() || !next_in_range(f.word[RECINFO_NEXT])) return false;
    std::printf("recinfo recovered from %s\n", tmp.c_str());
    g_recinfo = f.word;
    // Renamed, not written again: until it is in place it is the only whole copy.
    if (cardfile::adopt_temporary(cardpath::kRecinfo) == 0) {
        cardfile::replace(cardpath::kRecinfoBak, encode());
    }
    return true;
}

// The index the repair makes of a damaged index and its backup, as far as each reads: the next
// index and lock count of the first whose both are in range (the index, being newer, first),
// else only the first next index in range; every lock entry that reads as valid in either (the
// index's first); and a lock count that covers every generation kept.
std::array<uint32_t, RECINFO_WORDS> salvage(const IndexFile& index, const IndexFile& bak) {
    std::array<uint32_t, RECINFO_WORDS> out{};
    const IndexFile* const files[] = {&index, &bak};
    if (header_valid(index) || header_valid(bak)) {
        const IndexFile& f = header_valid(index) ? index : bak;
        out[RECINFO_NEXT] = f.word[RECINFO_NEXT];
        out[RECINFO_LOCKCOUNT] = f.word[RECINFO_LOCKCOUNT];
    } else {
        for (const IndexFile* f : files) {
            if (f->has(RECINFO_NEXT) && next_in_range(f->word[RECINFO_NEXT])) {
                out[RECINFO_NEXT] = f->word[RECINFO_NEXT];
                break;
            }
        }
    }
    for (int file = 0; file < MAX_REC_FILES; ++file) {
        uint32_t entry = 0;
        for (const IndexFile* f : files) {
            if (f->has_entry(file) && valid_lock(f->entry(file))) {
                entry = f->entry(file);
                break;
            }
        }
        out[RECINFO_FIRST_ENTRY + file] = entry;
        out[RECINFO_LOCKCOUNT] = std::max(out[RECINFO_LOCKCOUNT], entry & kGenerationMask);
    }
    return out;
}

// The first free file after the next index, wrapping round; the next index itself is the last
// candidate. -1 when every file is locked.
int next_free_file() {
    const int count = g_maxFileCount;
    const auto current = static_cast<int>(g_recinfo[RECINFO_NEXT] % static_cast<uint32_t>(count));
    for (int step = 1; step <= count; ++step) {
        const int candidate = (current + step) % count;
        if (lock_entry(candidate) == 0) return candidate;
    }
    return -1;
}

int locked_files() {
    int n = 0;
    for (int i = 0; i < MAX_REC_FILES; ++i) n += lock_entry(i) != 0 ? 1 : 0;
    return n;
}

// Saves the repaired index and its backup. A file that cannot be replaced (a directory in its
// way) is removed as the repair has always done, and saved again; the backup goes first, so
// that the repaired index is on the card while the index is removed. Returns 0, or -1 when
// the index could not be saved (the backup is then reported too when it failed).
int save_repaired_index() {
    const RecinfoBytes bytes = encode();
    if (cardfile::replace(cardpath::kRecinfoBak, bytes) != 0) {
        os::system("rm -rf /mnt/mmcblk0p1/data/recinfo.bak");
        os::sync();
        if (cardfile::replace(cardpath::kRecinfoBak, bytes) != 0) {
            std::printf("REC BAK  FILE create fail...\n");
        }
    }
    if (cardfile::replace(cardpath::kRecinfo, bytes) != 0) {
        os::system("rm -rf /mnt/mmcblk0p1/data/recinfo");
        os::sync();
        if (cardfile::replace(cardpath::kRecinfo, bytes) != 0) return -1;
    }
    return 0;
}

}  // namespace

uint32_t& lock_entry(int index) {
    return g_recinfo[RECINFO_FIRST_ENTRY + index];
}

int history_depth() {
    if (g_recHistoryDepth < 1) return 1;
    if (g_recHistoryDepth > REC_HISTORY_SIZE) return REC_HISTORY_SIZE;
    return g_recHistoryDepth;
}

int check_recinfo() {
    std::printf("Check Recording index file..\n");
    load_snapIndex();
    const IndexFile index = read_index_file(cardpath::kRecinfo);
    if (index.whole()) {
        g_recinfo = index.word;
        return accept_loaded_index();
    }
    if (recover_from_temporary()) return accept_loaded_index();
    if (index.present) {
        std::printf("%s is damaged: %ld of %d bytes\n", cardpath::kRecinfo, index.bytes,
                    RECINFO_SIZE);
        return -2;
    }
    // No index, but a backup: the index was lost, not never made.
    if (read_index_file(cardpath::kRecinfoBak).present) {
        std::printf("%s is missing\n", cardpath::kRecinfo);
        return -2;
    }
    g_recinfo.fill(0);
    if (write_recinfo() != 0) {
        std::printf("REC FILE create fail...\n");
        return -1;
    }
    std::printf("create recinfo file...\n");
    os::sync();
    return 0;
}

int replace_recinfo() {
    const IndexFile index = read_index_file(cardpath::kRecinfo);
    const IndexFile bak = read_index_file(cardpath::kRecinfoBak);
    if (bak.whole()) {
        std::printf("read recinfo file  start index %d\n", bak.word[RECINFO_NEXT]);
    } else if (bak.present) {
        std::printf("%s is damaged: %ld of %d bytes\n", cardpath::kRecinfoBak, bak.bytes,
                    RECINFO_SIZE);
    }
    if (bak.present && (!bak.whole() || !header_valid(bak))) {
        std::printf("****** recinfo, recinfo.bak crash... *******\n");
        std::printf("Create recinfo,file...");
    }
    // Whatever either file still holds of the locks is kept: a lock lost here lets the ring
    // overwrite the files of an event. The ring goes on at the next free file.
    g_recinfo = salvage(index, bak);
    if (lock_entry(static_cast<int>(g_recinfo[RECINFO_NEXT])) != 0) {
        const int free = next_free_file();
        if (free >= 0) g_recinfo[RECINFO_NEXT] = static_cast<uint32_t>(free);
    }
    std::printf("recinfo repaired: next index %u, %u events, %d files locked\n",
                g_recinfo[RECINFO_NEXT], g_recinfo[RECINFO_LOCKCOUNT], locked_files());
    if (save_repaired_index() != 0) {
        std::printf("recinfo cannot be saved: recording goes on with the index in memory\n");
        return -1;
    }
    if (!bak.present) std::printf("create recinfo.bak file...\n");
    os::sync();
    return 0;
}

// The index, then its backup: the backup is a copy of the last index that reached the card.
int write_recinfo() {
    const RecinfoBytes bytes = encode();
    if (cardfile::replace(cardpath::kRecinfo, bytes) != 0) return -1;
    cardfile::replace(cardpath::kRecinfoBak, bytes);
    return 0;
}

int check_nextfile() {
    std::printf("max index cnt %d, sd type %d\n", g_maxFileCount, g_sdtype);
    const int next = next_free_file();
    if (next < 0) {
        std::printf("*** We don't find  available next file....\n");
        return -1;
    }
    g_recinfo[RECINFO_NEXT] = static_cast<uint32_t>(next);
    write_recinfo();
    return 0;
}

void saveRecHistory(int index) {
    const int depth = history_depth();
    for (int i = 1; i < depth; ++i) g_recHistory[i - 1] = g_recHistory[i];
    g_recHistory[depth - 1] = index;
}

void lock_file(int index, int type, int generation) {
    if (index < 0 || index >= MAX_REC_FILES) return;
    lock_entry(index) = (static_cast<uint32_t>(static_cast<uint8_t>(type)) << 16) |
                        (static_cast<uint32_t>(generation) & kGenerationMask);
    std::printf("lock file %d lock index %d\n", index, generation);
}

void RotationLockInfomation() {
    for (int i = 0; i < MAX_REC_FILES; ++i) {
        uint32_t& entry = lock_entry(i);
        const uint32_t generation = entry & kGenerationMask;
        if (generation == 0) continue;
        if (generation > static_cast<uint32_t>(g_maxLockCount) || generation == 1) {
            entry = 0;
        } else {
            // The whole type byte stays, so an alarm lock is still an alarm lock.
            entry = (entry & kTypeMask) | (generation - 1);
        }
    }
}

void clear_lock_entries() {
    g_recinfo[RECINFO_LOCKCOUNT] = 0;
    for (int i = 0; i < MAX_REC_FILES; ++i) lock_entry(i) = 0;
}
