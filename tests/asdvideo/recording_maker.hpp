// Recordings written by the recorder's own writer at chosen times: the board's clock is set before
// every record, so a test lays out frames, GPS, accelerometer samples and audio blocks on a time
// line of its own (seconds from kBase) and knows what the video must show where. The frames are
// the simulated cameras' real JPEG pictures.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "board_root.hpp"
#include "camera_scene.hpp"
#include "capture.h"
#include "card_summary.hpp"
#include "clock.h"
#include "config.h"
#include "event.h"
#include "gps.h"
#include "le.hpp"
#include "os.h"
#include "recfile.h"
#include "recinfo.h"
#include "storage.h"

namespace videotest {

namespace fs = std::filesystem;

constexpr uint32_t kBase = 1796684793;  // 2026-12-07 23:06:33 UTC

class RecordingMaker {
  public:
    RecordingMaker() {
        fs::create_directories(board.card() / "data");
        std::memset(&g_exFileHeader, 0, sizeof g_exFileHeader);
        g_qp = 4;
        g_recinfo.fill(0);
        g_maxFileCount = 90;
        g_maxLockCount = 6;
        g_sdErrorCnt = 0;
        g_lock_status = 0;
        g_gpsActiveNextFile = 0;
    }
    ~RecordingMaker() {
        if (rec_fd >= 0) stop_record();
    }

    // Opens the next file of the ring (rec00000000.asd first).
    void start() { start_record(); }
    // Closes the file as the recorder does (the header gets its count and end time).
    void stop() { stop_record(); }
    // Leaves the file as a power cut does: never closed.
    void cut() {
        os::close(rec_fd);
        rec_fd = -1;
        write_size = 0;
        g_bRec = 0;
    }

    // A frame of `channel` (0 rear, 1 front) recorded `at` seconds after kBase; the picture's
    // number is `picture` (the same number gives the same JPEG).
    void frame(double at, int channel, uint64_t picture) {
        const std::vector<uint8_t>& jpeg = jpeg_of(channel, picture);
        clock(at);
        write_videoframe(640, 480, channel, jpeg.data(), static_cast<int>(jpeg.size()));
    }
    // A GPS fix received `at` seconds after kBase.
    void gps(double at, int speed, int heading) {
        std::array<uint8_t, gpsrec::SIZE> g{};
        int remembered = 0;
        ParseGPSTX("$GPSTX,071226,230633,A,4722.4520,N,00832.3160,W,9,40,271,,417*00", g,
                   remembered);
        le::put_i32(g, gpsrec::HEADING_GATE, speed);
        le::put_i32(g, gpsrec::HEADING, heading);
        const RecTime t = time_at(at);
        le::put_u32(g, gpsrec::RECV_SEC, t.sec);
        le::put_u32(g, gpsrec::RECV_USEC, t.usec);
        clock(at);
        write_gpsframe(g.data());
    }
    // An accelerometer sample in counts (1024 a g), written `at` seconds after kBase.
    void accel(double at, int16_t x, int16_t y, int16_t z) {
        std::array<uint8_t, gsrec::SIZE> s{};
        le::put_i16(s, gsrec::X, x);
        le::put_i16(s, gsrec::Y, y);
        le::put_i16(s, gsrec::Z, z);
        le::put_i16(s, gsrec::W, 255);
        clock(at);
        write_gsensorframe(s.data());
    }
    // An audio block of `n` samples whose last sample was read `at` seconds after kBase.
    void audio(double at, size_t n = 8192) {
        std::vector<uint8_t> samples(n);
        for (size_t i = 0; i < n; ++i)
            samples[i] = static_cast<uint8_t>(128 + 60 * std::sin(static_cast<double>(i) / 3));
        clock(at);
        write_audioframe(samples.data(), static_cast<int>(n));
    }

    fs::path file(int index) const { return board.card() / "data" / asd::recording_name(index); }
    const std::vector<uint8_t>& jpeg_of(int channel, uint64_t picture) {
        auto& cached = jpegs_[{channel, picture}];
        if (cached.empty()) {
            hw::camera_scene::Params p;
            p.label = channel == 1 ? "FRONT" : "REAR";
            p.rear = channel == 0;
            p.frame = picture;
            cached = hw::camera_scene::render_jpeg(p);
        }
        return cached;
    }

    static RecTime time_at(double at) {
        const int64_t us = std::llround(at * 1e6);
        return {kBase + static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)};
    }

    testsupport::BoardRoot board;

  private:
    static void clock(double at) {
        const RecTime t = time_at(at);
        timeval tv{static_cast<time_t>(t.sec), static_cast<suseconds_t>(t.usec)};
        os::settimeofday(&tv);
    }

    std::map<std::pair<int, uint64_t>, std::vector<uint8_t>> jpegs_;
};

}  // namespace videotest
