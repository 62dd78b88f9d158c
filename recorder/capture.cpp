#include "capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "cardpaths.h"
#include "halt.h"
#include "os.h"
#include "recfile.h"
#include "recinfo.h"
#include "storage.h"

std::atomic<uint8_t> g_bRec{0};
std::atomic<int> g_drMode{2};
std::atomic<int> g_modeChange{0};
std::atomic<int> g_drEv{1};

std::atomic<int> g_gpsRecv{0};
uint8_t g_gpsData[gpsrec::SIZE] = {};
std::atomic<int> g_gsCap{0};
uint8_t g_gsCapData[gsrec::SIZE] = {};

int g_currentRecIndex = 0;
int g_sdErrorCnt = 0;

pthread_mutex_t rec_mutex = PTHREAD_MUTEX_INITIALIZER;

namespace {
constexpr int kErrorsBeforeHalt = 4;  // the fifth failure in a row halts
}

int start_record() {
    if (rec_fd >= 0) stop_record();
    write_size = 0;
    g_gpsRecv = 0;
    g_preFrameSize = 0;
    g_totalVFrame = 0;

    check_free_space();

    const int index = static_cast<int>(g_recinfo[RECINFO_NEXT]);
    char path[128];
    std::snprintf(path, sizeof path, "%s/rec%08d.asd", cardpath::kDataDir, index);
    rec_fd = os::open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (rec_fd < 0) {
        std::printf("video file open %s - %m\n", path);
        error_halt(HALT_STORAGE, true);
    }

    g_currentRecIndex = index;
    saveRecHistory(index);
    check_nextfile();

    g_bRec = 1;
    std::printf("rec file %s\n", path);
    return 0;
}

int stop_record() {
    g_bRec = 0;
    if (rec_fd >= 0) {
        // A file closed before its first record has no header to complete.
        if (write_size >= static_cast<int>(recfmt::HEADER_SIZE)) complete_fileheader();
        os::close(rec_fd);
        rec_fd = -1;
    }
    write_size = 0;
    return 0;
}

void system_error() {
    if (os::access(cardpath::kVersionStamp, F_OK) != 0) {
        std::printf("SD card is gone (%s missing)\n", cardpath::kVersionStamp);
        error_halt(HALT_STORAGE, true);
    }
    if (++g_sdErrorCnt > kErrorsBeforeHalt) {
        std::printf("SD card write failed %d times in a row\n", g_sdErrorCnt);
        error_halt(HALT_STORAGE, true);
    }
}
