// The whole way: a board run with the real recorder drives, crashes and locks its files; the
// asdtool program exports the event as videos, which FFmpeg's tools then judge.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "asd_reader.hpp"
#include "export_command.hpp"
#include "ffprobe.hpp"
#include "sim_board.hpp"
#include "video_strip.hpp"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

double seconds(asd::Time t) {
    return static_cast<double>(t.sec) + t.usec / 1e6;
}

TEST(BoardExportTest, AnImpactsFilesBecomeVideosOfBothCamerasWithTheCrashMarked) {
    testsupport::SimBoard board("video-board");
    board.bin_dir = BIN_DIR;
    board.module_dir = MODULE_DIR;
    board.start({"--gps-fix-after", "0"});
    ASSERT_TRUE(board.wait_for("[recorder] rec file /mnt/mmcblk0p1/data/rec00000000.asd"))
        << board.console();
    ASSERT_TRUE(board.act("motion driving"));
    // The sixth GPS fix sets the clock and starts the second file; the crash locks both.
    ASSERT_TRUE(board.wait_for("[recorder] rec file /mnt/mmcblk0p1/data/rec00000001.asd"))
        << board.console();
    ASSERT_TRUE(board.act("impact -3 x"));
    const auto locked = board.wait_for("[recorder] lock file 1 lock index 1");
    ASSERT_TRUE(locked) << board.console();
    // The recorder keeps only the latest accelerometer sample until the next rear frame is
    // written, so on a busy machine a later sample can take the crash's place. Crash again until
    // file 1 holds the jolt (the event in progress takes no second lock).
    const fs::path second = board.root() / "mnt/mmcblk0p1/data/rec00000001.asd";
    const auto holds_jolt = [&] {
        std::optional<asd::AccelRecord> prev;
        for (const asd::Record& r : asd::read_file(second.string()).records) {
            const auto* x = std::get_if<asd::AccelRecord>(&r.body);
            if (x == nullptr) continue;
            if (prev && std::max({std::abs(x->x - prev->x), std::abs(x->y - prev->y),
                                  std::abs(x->z - prev->z)}) > 1500) {
                return true;
            }
            prev = *x;
        }
        return false;
    };
    auto crashed = std::chrono::steady_clock::now();
    ASSERT_TRUE(board.until([&] {
        if (holds_jolt()) return true;
        if (std::chrono::steady_clock::now() - crashed > 3s) {
            board.act("impact -3 x");
            crashed = std::chrono::steady_clock::now();
        }
        return false;
    })) << board.console();
    // A few seconds after the crash are recorded too.
    const auto after = std::chrono::steady_clock::now() + 3s;
    board.until([&] { return std::chrono::steady_clock::now() > after; }, 30s);
    ASSERT_EQ(board.quit(), 0) << board.output();

    const fs::path card = board.root() / "mnt/mmcblk0p1";
    std::string error;
    const auto event = asd::event_files(card, 1, error);
    ASSERT_TRUE(event) << error;
    ASSERT_EQ(event->paths.size(), 2u);
    // What the locked files hold: each camera's frame times by file, GPS records, the jolt.
    struct Frame {
        size_t file;
        double time;
    };
    std::array<std::vector<Frame>, 2> frames;
    size_t gps = 0;
    Frame jolt{};
    int strongest = -1;
    std::optional<asd::AccelRecord> before;
    for (size_t f = 0; f < event->paths.size(); ++f) {
        for (const asd::Record& r : asd::read_file(event->paths[f]).records) {
            if (const auto* v = std::get_if<asd::VideoRecord>(&r.body)) {
                frames[v->channel == 0 ? 0 : 1].push_back({f, seconds(v->time)});
            } else if (const auto* x = std::get_if<asd::AccelRecord>(&r.body)) {
                if (before) {
                    const int change =
                        std::max({std::abs(x->x - before->x), std::abs(x->y - before->y),
                                  std::abs(x->z - before->z)});
                    if (change > strongest) {
                        strongest = change;
                        jolt = {f, seconds(x->time)};
                    }
                }
                before = *x;
            } else if (r.kind() == asd::Kind::Gps) {
                ++gps;
            }
        }
    }
    ASSERT_GE(frames[0].size(), 2u);
    ASSERT_GE(frames[1].size(), 2u);
    ASSERT_GT(strongest, 1500);  // the crash

    const fs::path out = board.dir() / "crash";
    const videotest::Run run = videotest::run(
        {ASDTOOL_EXE, "export", card.string(), out.string(), "--event", "1", "--combined"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_NE(run.out.find("1 marked"), std::string::npos) << run.out;

    // Each camera: a packet per frame, at the recorded pace within each file (between files the
    // clock may have been set from GPS time), then the cues and the sound.
    double end = 0, interval = 0, joltAt = -1;
    for (const size_t c : {size_t{1}, size_t{0}}) {
        const fs::path file = out / (c == 1 ? "front.mkv" : "rear.mkv");
        const auto s = videotest::streams(file);
        ASSERT_EQ(s.size(), c == 1 ? 3u : 2u) << file;
        EXPECT_EQ(s[0].at("codec_name"), "mjpeg");
        EXPECT_EQ(s[0].at("width"), "640");
        EXPECT_EQ(s[0].at("height"), "480");
        EXPECT_EQ(s.back().at("codec_name"), "subrip");
        const auto packets = videotest::packets(file, "v:0");
        ASSERT_EQ(packets.size(), frames[c].size()) << file;
        for (size_t i = 1; i < packets.size(); ++i) {
            const double step = videotest::number(packets[i], "pts_time") -
                                videotest::number(packets[i - 1], "pts_time");
            ASSERT_GT(step, 0) << file << " " << i;
            if (frames[c][i].file == frames[c][i - 1].file) {
                EXPECT_NEAR(step, frames[c][i].time - frames[c][i - 1].time, 0.002)
                    << file << " " << i;
            }
        }
        const double lastPts = videotest::number(packets.back(), "pts_time");
        end = std::max(end, lastPts);
        interval = std::max(interval,
                            lastPts - videotest::number(packets[packets.size() - 2], "pts_time"));
        EXPECT_EQ(videotest::decode_all(file).err, "") << file;
        EXPECT_EQ(testsupport::count(videotest::subtitles(file), " --> "), gps) << file;
        if (c == 1) {
            // The jolt's place: from the front frame of its file nearest to it.
            double nearest = 1e9;
            for (size_t i = 0; i < frames[1].size(); ++i) {
                const double apart = jolt.time - frames[1][i].time;
                if (frames[1][i].file != jolt.file || std::abs(apart) >= nearest) continue;
                nearest = std::abs(apart);
                joltAt = videotest::number(packets[i], "pts_time") + apart;
            }
            EXPECT_EQ(s[1].at("codec_name"), "pcm_u8");
            EXPECT_EQ(s[1].at("sample_rate"), "8000");
        }
    }

    // Both files last as long as the recording: to its last frame or its last sound.
    const auto sound = videotest::packets(out / "front.mkv", "a:0");
    ASSERT_FALSE(sound.empty());
    const double soundEnd = videotest::number(sound.back(), "pts_time") +
                            videotest::number(sound.back(), "duration_time");
    for (const char* name : {"front.mkv", "rear.mkv"}) {
        EXPECT_NEAR(videotest::duration(out / name), std::max(end, soundEnd), interval + 0.002)
            << name;
    }

    const fs::path clip = out / "combined.mp4";
    const auto cs = videotest::streams(clip);
    ASSERT_EQ(cs.size(), 2u);
    EXPECT_EQ(cs[0].at("codec_name"), "h264");
    EXPECT_EQ(cs[0].at("width"), "1280");
    EXPECT_EQ(cs[0].at("height"), "480");
    EXPECT_EQ(cs[1].at("codec_name"), "aac");
    EXPECT_NEAR(static_cast<double>(videotest::packets(clip, "v:0").size()), end * 15, 1.0);
    EXPECT_EQ(videotest::decode_all(clip).err, "");
    // The crash is marked where the accelerometer felt it.
    ASSERT_GE(joltAt, 0);
    const auto place = asd::video::label_place(1280, 480, "IMPACT");
    const std::string frame = videotest::frame_at(clip, joltAt + 0.1);
    ASSERT_EQ(frame.size(), 1280u * 480 * 3 / 2);
    const size_t v = 1280 * 480 + 640 * 240 + (place.y / 2 + 2) * 640 + place.x / 2 + 1;
    EXPECT_GT(static_cast<uint8_t>(frame[v]), 200);
}

}  // namespace
