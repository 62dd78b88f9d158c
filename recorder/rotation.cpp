#include "rotation.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cardpaths.h"
#include "clock.h"
#include "gps.h"
#include "halt.h"
#include "os.h"
#include "recstate.h"
#include "sndout.h"
#include "storage.h"

int g_currentRecIndex = 0;
int g_sdErrorCnt = 0;

uint8_t g_lock_status = 0;
uint8_t g_lock_type = 0;
int g_lock_time = 0;
int g_postRecFileCnt = 0;
int g_bkHistory[REC_HISTORY_SIZE] = {-1, -1, -1, -1, -1};

void reset_rotation_globals() {
    g_currentRecIndex = 0;
    g_sdErrorCnt = 0;
    g_lock_status = 0;
    g_lock_type = 0;
    g_lock_time = 0;
    g_postRecFileCnt = 0;
    std::fill(std::begin(g_bkHistory), std::end(g_bkHistory), -1);
}

namespace {

constexpr int kPromptLockStart = 74;
constexpr int kPromptLockEnd = 71;
constexpr int kErrorsBeforeHalt = 4;  // the fifth failure in a row halts

// Files opened by start_record: a record's writer tells by it whether the admission check moved
// the record into a new file.
unsigned g_filesOpened = 0;

// Saves the index after its locks changed and flushes the card: the locks of an event are on the
// card before anything else is written.
void save_locks() {
    write_recinfo();
    os::sync();
}

void end_post_recording() {
    std::printf("end of post recording\n");
    const int depth = history_depth();
    const int last = g_recHistory[depth - 1];
    lock_file(last, g_lock_type, static_cast<int>(g_recinfo[RECINFO_LOCKCOUNT]));
    if (last != -1) save_locks();
    g_recHistory[depth - 1] = -1;
    SendRecordCommand(0);
    if (g_lock_status != 2) SetSoundOutFile(kPromptLockEnd);
    g_lock_status = 0;
}

// The common path of the record writers: admission, the writer's record, the error check.
// `put` writes the admitted record and returns 0 or -1.
template <typename Put>
int write_record(size_t size, RecTime t, Put put) {
    if (rec_fd < 0) return -1;
    const bool hadHeader = write_size != 0;
    const RecTime endBefore = g_endtime;
    const unsigned filesBefore = g_filesOpened;
    if (check_maxsize(static_cast<int>(size), t) == 0) return -1;
    if (put() == 0) {
        g_sdErrorCnt = 0;
        return 0;
    }
    // A record refused by the card leaves the end time where it was; the first record of a
    // file leaves it at the file's start.
    if (hadHeader && g_filesOpened == filesBefore) g_endtime = endBefore;
    system_error();
    return -1;
}

}  // namespace

// --- Files -----------------------------------------------------------------------------------

int start_record() {
    if (rec_fd >= 0) stop_record();
    write_size = 0;
    g_gpsRecv = 0;
    g_preFrameSize = 0;
    g_totalVFrame = 0;

    if (halt_entered()) {
        std::printf("no new recording file: the recorder is in the error halt\n");
        return 0;
    }
    if (!check_free_space()) error_halt(HALT_STORAGE, true);

    // The next index names a free file. One that names a locked file (an index that this
    // recorder did not write) gives way to the next free one: a locked file is not overwritten
    // while a free one is left.
    const uint32_t next = g_recinfo[RECINFO_NEXT];
    if (next < MAX_REC_FILES && lock_entry(static_cast<int>(next)) != 0) {
        std::printf("next file %u is locked\n", next);
        // Every file is locked (events with pre-recording on a small ring): the oldest event's
        // locks rotate out, as they do for a new event once every lock is in use, until a file
        // is free. The index that releases them is saved before the file is opened.
        while (check_nextfile() != 0 && g_recinfo[RECINFO_LOCKCOUNT] > 0) {
            std::printf("every file is locked: the oldest event rotates out\n");
            release_oldest_event();
        }
    }
    const int index = static_cast<int>(g_recinfo[RECINFO_NEXT]);
    char path[128];
    std::snprintf(path, sizeof path, "%s/rec%08d.asd", cardpath::kDataDir, index);
    if (open_recfile(path) != 0) {
        std::printf("video file open %s - %m\n", path);
        error_halt(HALT_STORAGE, true);
    }

    ++g_filesOpened;
    g_currentRecIndex = index;
    saveRecHistory(index);
    check_nextfile();

    g_bRec = 1;
    notify_capture_state();
    std::printf("rec file %s\n", path);
    return 0;
}

int stop_record() {
    g_bRec = 0;
    close_recfile();
    notify_capture_state();
    return 0;
}

int check_maxsize(int size, RecTime t) {
    if (write_size == 0) {
        if (write_fileheader(t) != 0) {
            system_error();
            return 0;
        }
        g_endtime = t;
        return 1;
    }
    const auto lockTime = static_cast<uint32_t>(g_lock_time);
    const bool timeout =
        g_lock_status != 0 && t.sec - lockTime > POST_RECORD_SECONDS && t.sec >= lockTime;
    const bool full =
        static_cast<uint32_t>(write_size) + static_cast<uint32_t>(size) > recfmt::MAX_FILE_SIZE;
    if (!full && !timeout && g_gpsActiveNextFile != 1) {
        g_endtime = t;
        return 1;
    }

    stop_record();
    g_gpsActiveNextFile = 0;
    bool postEnds = timeout;
    if (g_lock_status != 0 && !timeout && ++g_postRecFileCnt > 1) postEnds = true;
    if (postEnds) end_post_recording();
    start_record();
    // The record that ended the file opens the new one: a frame in hand is not thrown away at
    // a file change. No new file (the error halt): it is discarded.
    if (rec_fd < 0) return 0;
    return check_maxsize(size, t);
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

// --- Events ----------------------------------------------------------------------------------

void event_proc(int type) {
    if (g_lock_status != 0) return;
    bool rotate = false;
    if (g_recinfo[RECINFO_LOCKCOUNT] < static_cast<uint32_t>(g_maxLockCount)) {
        ++g_recinfo[RECINFO_LOCKCOUNT];
        std::printf("Lock Normal %d....\n", g_recinfo[RECINFO_LOCKCOUNT]);
    } else {
        std::printf("Lock Rotation....\n");
        rotate = true;
    }
    if (type != LOCK_ALARM) SetSoundOutFile(kPromptLockStart);
    SendRecordCommand(1);
    g_lock_status = type == LOCK_ALARM ? 2 : 1;
    std::memcpy(g_bkHistory, g_recHistory, sizeof g_recHistory);
    if (rotate) RotationLockInfomation();
    const int generation = static_cast<int>(g_recinfo[RECINFO_LOCKCOUNT]);
    for (int pos = 0; pos < history_depth(); ++pos) {
        lock_file(g_recHistory[pos], type, generation);
        g_recHistory[pos] = -1;
    }
    g_postRecFileCnt = 0;
    g_lock_time = static_cast<int>(current_rectime().sec);
    g_lock_type = static_cast<uint8_t>(type);
    save_locks();
}

void clear_all_locks() {
    if (g_lock_status != 0) {
        g_lock_status = 0;
        std::memcpy(g_recHistory, g_bkHistory, sizeof g_recHistory);
        if (g_bkHistory[history_depth() - 1] != g_currentRecIndex) {
            std::printf("**** !!!!! Roll back current history... !!!! ******* \n");
            saveRecHistory(g_currentRecIndex);
        }
        SendRecordCommand(0);
    }
    clear_lock_entries();
    save_locks();
}

// --- Records ---------------------------------------------------------------------------------

int write_videoframe(int width, int height, int channel, const uint8_t* jpeg, int length) {
    if (length == 0) return -1;
    if (length < 0 || static_cast<size_t>(length) > recfmt::MAX_JPEG) {
        std::printf("video frame of %d bytes does not fit a record, dropped\n", length);
        return -1;
    }
    const auto n = static_cast<size_t>(length);
    const RecTime t = current_rectime();
    return write_record(video_record_size(n), t,
                        [&] { return put_videoframe(width, height, channel, jpeg, n, t); });
}

int write_gpsframe(const uint8_t* gpsRecord) {
    return write_record(recfmt::GPS_RECORD_SIZE, gps_record_time(gpsRecord),
                        [&] { return put_gpsframe(gpsRecord); });
}

int write_gsensorframe(uint8_t* gsensorRecord) {
    const RecTime t = current_rectime();
    return write_record(recfmt::GSENSOR_RECORD_SIZE, t,
                        [&] { return put_gsensorframe(gsensorRecord, t); });
}

int write_audioframe(const uint8_t* samples, int length) {
    if (length <= 0 || static_cast<size_t>(length) > recfmt::MAX_AUDIO) {
        std::printf("audio block of %d bytes does not fit a record, dropped\n", length);
        return -1;
    }
    const auto n = static_cast<size_t>(length);
    const RecTime t = current_rectime();
    return write_record(audio_record_size(n), t, [&] { return put_audioframe(samples, n, t); });
}
