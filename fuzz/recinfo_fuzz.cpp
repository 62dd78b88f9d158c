// The recording index at start-up, on any recinfo and recinfo.bak: loading and the repair from the
// backup as the recorder's start-up runs them leave an index it can record with (next file in the
// ring, no more events than the card keeps), and the index operations that follow keep it so. The
// same bytes go through asdtool's index reader, whose verdict must hold too.
//
// Input: byte 0 the card type (% 7) and pre-record column (bits 3..4, % 3); byte 1 which files
// exist (bit 0 recinfo, bit 1 recinfo.bak, bit 2 snapshot/index, bit 3 recinfo.tmp, the whole
// copy a power cut inside a save leaves); bytes 2..3 and 4..5 the lengths of recinfo and
// recinfo.bak (little-endian); bytes 6..9 snapshot/index; then recinfo, recinfo.bak and
// recinfo.tmp.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "card_index.hpp"
#include "config.h"
#include "fuzz_root.hpp"
#include "recinfo.h"
#include "snapshot.h"
#include "storage.h"

namespace {

constexpr size_t kHead = 10;

uint32_t generation(uint32_t entry) {
    return entry & 0xFFFF;
}

void place(const fuzz::fs::path& path, bool present, std::span<const uint8_t> bytes) {
    std::error_code ec;
    if (present) {
        fuzz::write_file(path, bytes);
    } else {
        fuzz::fs::remove(path, ec);
    }
}

void check_tool_index(std::span<const uint8_t> bytes) {
    std::string error;
    const auto index = asd::parse_index(bytes, error);
    if (!index) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    FUZZ_CHECK(index->next < asd::kIndexFiles && index->lockCount <= asd::kMaxEvents);
    for (size_t i = 0; i < asd::kIndexFiles; ++i) {
        if (const auto lock = index->lock_of(i)) {
            FUZZ_CHECK(lock->type <= 2 && lock->generation >= 1 &&
                       lock->generation <= asd::kMaxEvents);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const fuzz::Root& root = fuzz::root();
    if (size < kHead) return 0;
    const std::span<const uint8_t> in(data, size);
    const int type = data[0] % 7;
    const int column = (data[0] >> 3 & 3) % 3;
    std::span<const uint8_t> rest = in.subspan(kHead);
    const auto take = [&rest](size_t n) {
        const auto part = rest.first(std::min(n, rest.size()));
        rest = rest.subspan(part.size());
        return part;
    };
    const auto recinfo = take(data[2] | data[3] << 8);
    const auto bak = take(data[4] | data[5] << 8);
    const auto tmp = rest;

    const fuzz::fs::path dataDir = root.card() / "data";
    place(dataDir / "recinfo", data[1] & 1, recinfo);
    place(dataDir / "recinfo.bak", data[1] & 2, bak);
    place(dataDir / "recinfo.tmp", data[1] & 8, tmp);
    place(root.card() / "snapshot/index", data[1] & 4, in.subspan(6, 4));
    reset_recinfo_globals();
    reset_snapshot_globals();
    g_maxFileCount = t_maxFileCount[type];
    g_maxLockCount = t_maxLockTable[type][column];
    g_recHistoryDepth = column + 2;

    // Start-up: load, and repair when the index is damaged or its next file is out of range.
    int result = check_recinfo();
    if (result == -2) result = replace_recinfo();
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(g_recinfo[RECINFO_NEXT] < static_cast<uint32_t>(g_maxFileCount));
    FUZZ_CHECK(g_recinfo[RECINFO_LOCKCOUNT] <= static_cast<uint32_t>(g_maxLockCount));
    FUZZ_CHECK(g_snapIndex >= 0 && g_snapIndex < SNAP_SETS);

    // Recording goes on from there: the next file, a new lock, a rotation of the events.
    if (check_nextfile() == 0) {
        FUZZ_CHECK(g_recinfo[RECINFO_NEXT] < static_cast<uint32_t>(g_maxFileCount));
        FUZZ_CHECK(lock_entry(static_cast<int>(g_recinfo[RECINFO_NEXT])) == 0);
    }
    saveRecHistory(static_cast<int>(g_recinfo[RECINFO_NEXT]));
    lock_file(static_cast<int>(g_recinfo[RECINFO_NEXT]), LOCK_IMPACT, g_maxLockCount);
    RotationLockInfomation();
    for (int i = 0; i < MAX_REC_FILES; ++i) {
        FUZZ_CHECK(generation(lock_entry(i)) < static_cast<uint32_t>(g_maxLockCount));
    }
    FUZZ_CHECK(write_recinfo() == 0);

    check_tool_index(recinfo);
    check_tool_index(bak);
    check_tool_index(tmp);
    return 0;
}
