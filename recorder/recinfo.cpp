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

void decode(const RecinfoBytes& bytes) {
    for (int i = 0; i < RECINFO_WORDS; ++i) g_recinfo[i] = le::get_u32(bytes, 4 * i);
}

RecinfoBytes encode() {
    RecinfoBytes bytes{};
    for (int i = 0; i < RECINFO_WORDS; ++i) le::put_u32(bytes, 4 * i, g_recinfo[i]);
    return bytes;
}

// Reads a whole index file into g_recinfo. -1: cannot be opened; -2: shorter than an index.
int load_index_file(const char* path) {
    RecinfoBytes bytes{};
    long n = cardfile::read_exact(path, bytes);
    if (n < 0) return -1;
    if (n < RECINFO_SIZE) {
        std::printf("%s is damaged: %ld of %d bytes\n", path, n, RECINFO_SIZE);
        return -2;
    }
    decode(bytes);
    std::printf("read recinfo file  start index %d\n", g_recinfo[RECINFO_NEXT]);
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
    int loaded = load_index_file(cardpath::kRecinfo);
    if (loaded == -2) return -2;
    if (loaded == 0) {
        if (g_recinfo[RECINFO_LOCKCOUNT] > static_cast<uint32_t>(g_maxLockCount)) {
            g_recinfo[RECINFO_LOCKCOUNT] = static_cast<uint32_t>(g_maxLockCount);
        }
        return g_recinfo[RECINFO_NEXT] >= static_cast<uint32_t>(g_maxFileCount) ? -2 : 0;
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
    int loaded = load_index_file(cardpath::kRecinfoBak);
    if (loaded != -1) {
        const bool bad = loaded == -2 ||
                         g_recinfo[RECINFO_NEXT] >= static_cast<uint32_t>(g_maxFileCount) ||
                         g_recinfo[RECINFO_LOCKCOUNT] > static_cast<uint32_t>(g_maxLockCount);
        if (bad) {
            std::printf("****** recinfo, recinfo.bak crash... *******\n");
            std::printf("Create recinfo,file...");
            os::system("rm -rf /mnt/mmcblk0p1/data/recinfo");
            os::system("rm -rf /mnt/mmcblk0p1/data/recinfo.bak");
            os::sync();
            check_recinfo();
            return 0;
        }
    } else {
        g_recinfo.fill(0);
        const RecinfoBytes zeros{};
        if (cardfile::replace(cardpath::kRecinfoBak, zeros) != 0) {
            std::printf("REC BAK  FILE create fail...\n");
            return -1;
        }
        std::printf("create recinfo.bak file...\n");
        os::sync();
    }
    os::system("cp -a /mnt/mmcblk0p1/data/recinfo.bak /mnt/mmcblk0p1/data/recinfo");
    os::sync();
    return 0;
}

int write_recinfo() {
    const RecinfoBytes bytes = encode();
    return cardfile::replace(cardpath::kRecinfo, bytes);
}

int check_nextfile() {
    std::printf("max index cnt %d, sd type %d\n", g_maxFileCount, g_sdtype);
    const int count = g_maxFileCount;
    const int current = static_cast<int>(g_recinfo[RECINFO_NEXT]);
    for (int step = 1; step <= count; ++step) {
        const int candidate = (current + step) % count;
        if (lock_entry(candidate) == 0) {
            g_recinfo[RECINFO_NEXT] = static_cast<uint32_t>(candidate);
            write_recinfo();
            return 0;
        }
    }
    std::printf("*** We don't find  available next file....\n");
    return -1;
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
