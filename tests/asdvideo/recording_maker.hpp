// Recordings written by the recorder's own writer at chosen times, so that a test lays out
// frames, GPS, accelerometer samples and audio blocks on a time line of its own (seconds from
// kBase) and knows what the video must show where. The board's clock is set before every record;
// a write on a busy machine still takes its time, so when a file is closed (or cut) the times
// its records got are set to the chosen ones, header included. The frames are the simulated
// cameras' real JPEG pictures.
#pragma once

#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <vector>

#include "asd_reader.hpp"
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
#include "recstate.h"
#include "rotation.h"
#include "storage.h"

namespace videotest {

namespace fs = std::filesystem;

constexpr uint32_t kBase = 1796684793;  // 2026-12-07 23:06:33 UTC

class RecordingMaker {
  public:
    RecordingMaker() {
        fs::create_directories(board.card() / "data");
        reset_config_globals();
        reset_recstate_globals();
        reset_recfile_globals();
        reset_recinfo_globals();
        reset_rotation_globals();
        reset_storage_globals();
        reset_clock_globals();
        g_qp = 4;
        g_maxFileCount = 90;
        g_maxLockCount = 6;
    }
    ~RecordingMaker() {
        if (rec_fd >= 0) stop_record();
    }

    // Opens the next file of the ring (rec00000000.asd first).
    void start() {
        start_record();
        times_.clear();
    }
    // Closes the file as the recorder does (the header gets its count and end time).
    void stop() {
        const int index = g_currentRecIndex;
        stop_record();
        retime(index, true);
    }
    // Leaves the file as a power cut does: never closed.
    void cut() {
        const int index = g_currentRecIndex;
        os::close(rec_fd);
        rec_fd = -1;
        write_size = 0;
        g_bRec = 0;
        retime(index, false);
    }

    // A frame of `channel` (0 rear, 1 front) recorded `at` seconds after kBase; the picture's
    // number is `picture` (the same number gives the same JPEG).
    void frame(double at, int channel, uint64_t picture) {
        raw_frame(at, channel, jpeg_of(channel, picture));
    }
    // A frame of any bytes, as a damaged card may hold them.
    void raw_frame(double at, int channel, const std::vector<uint8_t>& bytes) {
        clock(at);
        kept(at, write_videoframe(640, 480, channel, bytes.data(), static_cast<int>(bytes.size())));
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
        kept(at, write_gpsframe(g.data()));
    }
    // An accelerometer sample in counts (1024 a g), written `at` seconds after kBase.
    void accel(double at, int16_t x, int16_t y, int16_t z) {
        std::array<uint8_t, gsrec::SIZE> s{};
        le::put_i16(s, gsrec::X, x);
        le::put_i16(s, gsrec::Y, y);
        le::put_i16(s, gsrec::Z, z);
        le::put_i16(s, gsrec::W, 255);
        clock(at);
        kept(at, write_gsensorframe(s.data()));
    }
    // An audio block of `n` samples whose last sample was read `at` seconds after kBase.
    void audio(double at, size_t n = 8192) {
        std::vector<uint8_t> samples(n);
        for (size_t i = 0; i < n; ++i)
            samples[i] = static_cast<uint8_t>(128 + 60 * std::sin(static_cast<double>(i) / 3));
        clock(at);
        kept(at, write_audioframe(samples.data(), static_cast<int>(n)));
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

    void kept(double at, int written) {
        if (written == 0) times_.push_back(time_at(at));
    }

    // Gives the file's records (as many as were written whole) their chosen times.
    void retime(int index, bool closed) {
        const fs::path path = file(index);
        std::vector<uint8_t> b;
        {
            std::ifstream in(path, std::ios::binary);
            b.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        const asd::Recording rec = asd::parse(b);
        if (rec.records.empty()) return;
        const auto put = [&b](size_t off, RecTime t) {
            le::put_u32(b, off, t.sec);
            le::put_u32(b, off + 4, t.usec);
        };
        for (size_t i = 0; i < rec.records.size() && i < times_.size(); ++i) {
            const size_t off = rec.records[i].offset;
            switch (rec.records[i].kind()) {
                case asd::Kind::Video:
                    put(off + 18, times_[i]);
                    break;
                case asd::Kind::Accel:
                    put(off + 14, times_[i]);
                    break;
                case asd::Kind::Audio:
                    put(off + 6, times_[i]);
                    break;
                case asd::Kind::Gps:  // its reception time is the chosen one already
                    break;
            }
        }
        put(recfmt::OFF_START_TIME, times_.front());
        const size_t last = std::min(rec.records.size(), times_.size()) - 1;
        put(recfmt::OFF_END_TIME, closed ? times_[last] : times_.front());
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    }

    std::vector<RecTime> times_;  // chosen, of the records the open file took
    std::map<std::pair<int, uint64_t>, std::vector<uint8_t>> jpegs_;
};

}  // namespace videotest
