// Shared set-up of the tests of start-up, capture and the dispatcher: the storage fixture's fresh
// board root and globals, plus the capture and dispatcher state back at its start values, frames
// handed in by the test instead of a camera, pauses of the links recorded instead of slept, and
// helpers that build event records and read recording files back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"
#include "dispatcher.h"
#include "gps.h"
#include "le.hpp"
#include "link_test_support.hpp"
#include "sentence.h"
#include "startup.h"
#include "storage_fixture.hpp"

namespace apptest {

// Frames the capture paths fetch: per device a queue of lengths; the frame bytes are filled with
// the device number so that a record shows which area it came from.
struct Frames {
    static inline std::array<std::vector<ssize_t>, 2> queue;
    static inline std::vector<int> fetched;
    // Called at every fetch (after the length is taken), for tests that change state meanwhile.
    static inline void (*duringFetch)() = nullptr;

    static ssize_t Fetch(int device) {
        fetched.push_back(device);
        auto& q = queue[device];
        ssize_t length = 0;
        if (!q.empty()) {
            length = q.front();
            q.erase(q.begin());
        }
        if (length > 0 && length <= static_cast<ssize_t>(REAR_FRAME_OFFSET)) {
            uint8_t* area = g_buf + (device == REAR_CAMERA ? REAR_FRAME_OFFSET : 0);
            std::fill(area, area + length, static_cast<uint8_t>(0xA0 + device));
        }
        if (duringFetch != nullptr) duringFetch();
        return length;
    }
    static void Reset() {
        queue = {};
        fetched.clear();
        duringFetch = nullptr;
    }
};

// One record of a recording file.
struct FileRecord {
    uint8_t kind;
    size_t offset;
    size_t size;
    int channel;      // video records only
    uint32_t length;  // JPEG or audio bytes
};

inline std::vector<FileRecord> Records(const std::vector<uint8_t>& file) {
    std::vector<FileRecord> out;
    size_t pos = recfmt::HEADER_SIZE;
    while (pos + 6 <= file.size()) {
        FileRecord r{file[pos], pos, 0, -1, 0};
        switch (r.kind) {
            case recfmt::KIND_GSENSOR:
                r.size = recfmt::GSENSOR_RECORD_SIZE;
                break;
            case recfmt::KIND_VIDEO:
                r.channel = file[pos + 10];
                r.length = storagetest::u32_at(file, pos + 14);
                r.size = recfmt::VIDEO_HEAD_SIZE + r.length;
                break;
            case recfmt::KIND_GPS:
                r.size = recfmt::GPS_RECORD_SIZE;
                break;
            case recfmt::KIND_AUDIO:
                r.length = storagetest::u32_at(file, pos + 14);
                r.size = recfmt::AUDIO_HEAD_SIZE + r.length;
                break;
            default:
                return out;  // not a record: the test sees the list end early
        }
        out.push_back(r);
        pos += r.size;
    }
    return out;
}

inline std::vector<uint8_t> Kinds(const std::vector<FileRecord>& records) {
    std::vector<uint8_t> kinds;
    for (const auto& r : records) kinds.push_back(r.kind);
    return kinds;
}

// --- Event records ---------------------------------------------------------------------------

inline std::array<uint8_t, gsrec::SIZE> Sample(int x, int y, int z, int w = 255) {
    std::array<uint8_t, gsrec::SIZE> r{};
    le::put_i16(r, gsrec::X, static_cast<int16_t>(x));
    le::put_i16(r, gsrec::Y, static_cast<int16_t>(y));
    le::put_i16(r, gsrec::Z, static_cast<int16_t>(z));
    le::put_i16(r, gsrec::W, static_cast<int16_t>(w));
    return r;
}

inline std::array<uint8_t, gsrec::SIZE> Marker(int z) {
    return Sample(255, 255, z);
}

inline std::array<uint8_t, gpsrec::SIZE> Gps(char status, int key = 255) {
    std::array<uint8_t, gpsrec::SIZE> r{};
    r[gpsrec::STATUS] = static_cast<uint8_t>(status);
    le::put_i32(r, gpsrec::KEY, key);
    le::put_i32(r, gpsrec::YEAR, 12);
    le::put_i32(r, gpsrec::MONTH, 6);
    le::put_i32(r, gpsrec::DAY, 15);
    le::put_i32(r, gpsrec::HOUR, 8);
    le::put_i32(r, gpsrec::MINUTE, 30);
    le::put_i32(r, gpsrec::SECOND, 0);
    le::put_i32(r, gpsrec::FIELD8, 7);
    return r;
}

struct Clock {
    int hour, minute, second;
};

inline std::array<uint8_t, ibcrec::SIZE> Ibc(char command, char second = 'F', Clock from = {},
                                             Clock to = {}) {
    std::array<uint8_t, ibcrec::SIZE> r{};
    r[ibcrec::LETTER1] = static_cast<uint8_t>(command);
    r[ibcrec::LETTER2] = static_cast<uint8_t>(second);
    r[ibcrec::LETTER3] = 'F';
    r[ibcrec::LETTER4] = 'F';
    le::put_i32(r, ibcrec::HOUR1, from.hour);
    le::put_i32(r, ibcrec::MIN1, from.minute);
    le::put_i32(r, ibcrec::SEC1, from.second);
    le::put_i32(r, ibcrec::HOUR2, to.hour);
    le::put_i32(r, ibcrec::MIN2, to.minute);
    le::put_i32(r, ibcrec::SEC2, to.second);
    return r;
}

template <size_t N>
int Dispatch(int type, std::array<uint8_t, N>& record) {
    return __callback_proc(type, record.data());
}

// --- Fixture ---------------------------------------------------------------------------------

// The globals of capture, the dispatcher and the sub-board link back at their start values,
// then what the tests of the running recorder expect: start-up done, frames from Frames.
inline void reset_app_globals() {
    reset_capture_globals();
    reset_dispatcher_globals();
    reset_gps_globals();
    g_frameFetch = Frames::Fetch;
    Frames::Reset();
    g_eventEnable = 1;
}

class AppTest : public storagetest::StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        reset_app_globals();
        frame_area.assign(FRAME_AREA_SIZE, 0);
        g_buf = frame_area.data();
        linktest::PauseLog::Take();
        sentence::g_pause = linktest::PauseLog::Record;
    }
    void TearDown() override {
        sentence::g_pause = sentence::RealPause;
        g_frameFetch = FetchFrame;
        g_buf = nullptr;
        StorageTest::TearDown();
    }

    // Opens a recording file (quietly) as the running recorder has one.
    void Recording() {
        linktest::Console([] {
            RecLock hold;
            start_record();
        });
    }

    std::vector<FileRecord> FileRecords(int index) const {
        return Records(storagetest::read_bytes(rec_path(index)));
    }

    std::vector<uint8_t> frame_area;
};

// AppTest with the front sub-board's port played by a PTY, to see the commands sent to it.
class AppTestWithSubBoard : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        ttySAC1_fd = sentence::OpenPort("/dev/ttySAC1");
        ASSERT_GE(ttySAC1_fd, 0);
    }
    void TearDown() override {
        os::close(ttySAC1_fd);
        ttySAC1_fd = -1;
        AppTest::TearDown();
    }

    // Lines the program sent to the sub-board since the last call.
    std::vector<std::string> SubBoardLines() {
        return subBoard.ReadLines(std::chrono::milliseconds(50));
    }

    linktest::PtyPeer subBoard{board, "/dev/ttySAC1"};
};

}  // namespace apptest
