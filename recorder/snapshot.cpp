#include "snapshot.h"

#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "cardfile.h"
#include "cardpaths.h"
#include "le.hpp"
#include "os.h"

int g_snapIndex = 0;
uint8_t g_snapCnt = 0;
uint8_t g_meterEvent = 0;
uint8_t g_snapComp = 1;

void reset_snapshot_globals() {
    g_snapIndex = 0;
    g_snapCnt = 0;
    g_meterEvent = 0;
    g_snapComp = 1;
}

namespace {

void advance_set() {
    g_snapIndex = (g_snapIndex + 1) % SNAP_SETS;
    g_snapComp = 1;
}

// Writes the whole frame into a new snapshot file; a file that cannot be written whole is removed.
bool save_picture(const char* path, const uint8_t* jpeg, int length) {
    int fd = os::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        std::printf("snapshot %s cannot be created - %m\n", path);
        return false;
    }
    ssize_t n = os::write(fd, jpeg, static_cast<size_t>(length));
    const int err = errno;
    os::close(fd);
    if (n != length) {
        errno = err;
        if (n < 0) {
            std::printf("snapshot %s write error - %m\n", path);
        } else {
            std::printf("snapshot %s short write: %zd of %d bytes\n", path, n, length);
        }
        os::unlink(path);
        return false;
    }
    return true;
}

}  // namespace

void MakeSnapShot(const uint8_t* jpeg, int length) {
    if (g_meterEvent == 0 || length <= 0) return;
    char path[128];
    std::snprintf(path, sizeof path, "%s/%03d-%d.jpg", cardpath::kSnapshotDir, g_snapIndex + 1,
                  g_snapCnt + 1);
    std::printf("%s", path);
    std::printf("\n");
    // A picture that cannot be saved changes neither the set nor the index; the request is
    // dropped so that a full or missing card is not retried at every frame.
    if (!save_picture(path, jpeg, length)) {
        g_meterEvent = 0;
        return;
    }
    write_snapIndex();
    if (++g_snapCnt > SNAP_PER_SET - 1) {
        advance_set();
    } else {
        g_snapComp = 0;
    }
    g_meterEvent = 0;
}

int write_snapIndex() {
    int next = g_snapIndex + 1;
    if (next >= SNAP_SETS) next = 0;
    std::array<uint8_t, 4> bytes{};
    le::put_i32(bytes, 0, next);
    return cardfile::replace(cardpath::kSnapIndex, bytes);
}

void load_snapIndex() {
    std::array<uint8_t, 4> bytes{};
    if (cardfile::read_exact(cardpath::kSnapIndex, bytes) != 4) return;
    const int32_t value = le::get_i32(bytes, 0);
    if (value < 0 || value >= SNAP_SETS) {
        std::printf("%s holds %d, not a set number: starting at set 0\n", cardpath::kSnapIndex,
                    value);
        g_snapIndex = 0;
        return;
    }
    g_snapIndex = value;
}

void request_snapshot() {
    if (g_snapCnt <= SNAP_PER_SET - 1) g_meterEvent = 1;
}

void end_snapshot_set() {
    if (g_snapComp == 0) advance_set();
    g_snapCnt = 0;
    g_meterEvent = 0;
}
