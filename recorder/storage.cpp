#include "storage.h"

#include <sys/statfs.h>

#include <cstdint>
#include <cstdio>

#include "cardpaths.h"
#include "config.h"
#include "halt.h"
#include "os.h"

// The type and limits the recorder starts with, before the card is measured.
constexpr int kInitialSdType = 2;
constexpr int kInitialFileCount = 90;
constexpr int kInitialLockCount = 25;

int g_sdtype = kInitialSdType;
int g_maxFileCount = kInitialFileCount;
int g_maxLockCount = kInitialLockCount;

const int t_maxFileCount[SD_TYPE_COUNT] = {23, 45, 90, 170, 340, 700, 1400};
const int t_maxLockTable[SD_TYPE_COUNT][3] = {
    {6, 5, 4},    {12, 10, 8},    {23, 17, 14},    {30, 25, 20},
    {80, 60, 40}, {120, 100, 80}, {200, 160, 140},
};

namespace {

// Exclusive bounds of each card type's total size in MB: type i is (bound[i], bound[i + 1]).
constexpr int kTypeBounds[SD_TYPE_COUNT + 1] = {400, 800, 1700, 3000, 7000, 13000, 20000, 40000};

int lock_column() {
    int pre = g_preRecTime;
    if (pre < 1 || pre > 3) pre = 1;
    return pre - 1;
}

}  // namespace

int getFreeSize(int* total, int* used, int* freeSize, const char* path) {
    struct statfs st {};
    if (os::statfs(path, &st) != 0) return -1;
    const uint32_t u = 1024;
    const auto b = static_cast<uint32_t>(st.f_bsize);
    const auto T = static_cast<uint32_t>(st.f_blocks);
    const auto F = static_cast<uint32_t>(st.f_bfree);
    const uint32_t usedBlocks = T - F;
    if (T < 10 * u) {
        *total = static_cast<int>(T * b / (u * u));
        *freeSize = static_cast<int>(F * b / (u * u));
        *used = static_cast<int>(usedBlocks * b / (u * u));
    } else {
        *total = static_cast<int>((T / u) * b / u);
        *freeSize = static_cast<int>((F / u) * b / u);
        *used = static_cast<int>(usedBlocks < 10240 ? usedBlocks * b / (u * u)
                                                    : (usedBlocks / u) * b / u);
    }
    return 0;
}

int check_SD_type() {
    int total = 0, used = 0, freeSize = 0;
    getFreeSize(&total, &used, &freeSize, cardpath::kCard);
    if (total == 0) return SD_TYPE_UNKNOWN;
    std::printf("SD size is %ld\n", static_cast<long>(total));
    for (int type = 0; type < SD_TYPE_COUNT; ++type) {
        if (total > kTypeBounds[type] && total < kTypeBounds[type + 1]) return type;
    }
    std::printf("SD size %d MB is not supported\n", total);
    error_halt(HALT_STORAGE, false);
}

void init_storage_limits() {
    const int type = static_cast<uint8_t>(check_SD_type());
    g_sdtype = type;
    if (type == SD_TYPE_UNKNOWN) {
        std::printf("SD size read fail...\n");
        // The card could not be measured, and no row of the tables fits it: keep the limits the
        // recorder starts with. A card that is really unusable is stopped by the free-space
        // guard at the first file.
        g_maxFileCount = kInitialFileCount;
        g_maxLockCount = kInitialLockCount;
    } else {
        g_maxFileCount = t_maxFileCount[type];
        g_maxLockCount = t_maxLockTable[type][lock_column()];
    }
    std::printf("Max file count : %d, Max Lock Count %d\n", g_maxFileCount, g_maxLockCount);
}

bool check_free_space() {
    int total = 0, used = 0, freeSize = 0;
    getFreeSize(&total, &used, &freeSize, cardpath::kCard);
    std::printf("all %d, used %d, free %d\n", total, used, freeSize);
    if (freeSize < MIN_FREE_MB) {
        std::printf("SD card has less than %d MB free\n", MIN_FREE_MB);
        return false;
    }
    return true;
}

void reset_storage_globals() {
    g_sdtype = kInitialSdType;
    g_maxFileCount = kInitialFileCount;
    g_maxLockCount = kInitialLockCount;
}
