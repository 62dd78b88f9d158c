// `asdtool export` with video, on recordings the recorder's writer made at known times, judged by
// FFmpeg's own ffprobe and ffmpeg: the streams and their codecs, one packet per recorded frame at
// its own time, the sound in step, a cue per GPS record, every frame decodable; several files as
// one video; files cut by a power loss, damaged or empty; the files of an event; and the
// combined clip with its strip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "export_command.hpp"
#include "ffprobe.hpp"
#include "files.hpp"
#include "recording_maker.hpp"
#include "video_combined.hpp"
#include "video_strip.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

namespace fs = std::filesystem;
using testsupport::count;
using testsupport::read_file;
using videotest::RecordingMaker;

constexpr double kFrame = 1.0 / 15;

// What a recording holds, in seconds from kBase, read back from its files.
struct Recorded {
    std::vector<double> front, rear, gps;
    std::vector<double> audioEnds;  // every block's write time (8192 samples before it)
    double impact = 0;              // the sample of -3 g

    double origin() const { return std::min(rear.front(), audioEnds.front() - 1.024); }
};

double seconds(asd::Time t) {
    return static_cast<double>(static_cast<int64_t>(t.sec) - videotest::kBase) + t.usec / 1e6;
}

Recorded recorded_in(const std::vector<fs::path>& files) {
    Recorded r;
    for (const fs::path& file : files) {
        for (const asd::Record& record : asd::read_file(file.string()).records) {
            if (const auto* v = std::get_if<asd::VideoRecord>(&record.body)) {
                (v->channel == 1 ? r.front : r.rear).push_back(seconds(v->time));
            } else if (const auto* g = std::get_if<asd::GpsRecord>(&record.body)) {
                r.gps.push_back(seconds(g->received));
            } else if (const auto* a = std::get_if<asd::AudioRecord>(&record.body)) {
                r.audioEnds.push_back(seconds(a->time));
            } else if (const auto* x = std::get_if<asd::AccelRecord>(&record.body)) {
                if (x->x == -3072) r.impact = seconds(x->time);
            }
        }
    }
    return r;
}

// Driving at 15 frames a second with sound, GPS once a second and the accelerometer three times;
// parked at one frame a second without them. The rounds go as the recorder's threads write them:
// rear frame, GPS and accelerometer, front frame; audio blocks as their seconds fill. Pictures are
// numbered 15 a second from kBase.
class Drive {
  public:
    explicit Drive(RecordingMaker& m) : m_(m) {}

    void run(double from, double to, double every, bool sound,
             std::optional<double> impact = std::nullopt) {
        uint64_t picture = static_cast<uint64_t>(std::lround(from * 15));
        const auto step = static_cast<uint64_t>(std::lround(every * 15));
        double nextGps = std::floor(from) + 0.5, nextAccel = from;
        double nextAudio = std::max(lastAudio_, from) + 1.024;
        for (double t = from; t < to - 1e-9; t += every, picture += step) {
            m_.frame(t, 0, picture);
            if (sound && t >= nextGps) {
                m_.gps(t + 0.001, 40 + static_cast<int>(t), 271);
                nextGps += 1;
            }
            const bool hit = impact && std::abs(t - *impact) < kFrame / 2;
            if (sound && (t >= nextAccel || hit)) {
                m_.accel(t + 0.002, hit ? -3072 : -20, 10, 1024);
                nextAccel += 1.0 / 3;
            }
            m_.frame(t + 0.005, 1, picture);
            if (sound && t + 0.006 >= nextAudio) {
                m_.audio(t + 0.006);
                lastAudio_ = t + 0.006;
                nextAudio = lastAudio_ + 1.024;
            }
        }
    }

  private:
    RecordingMaker& m_;
    double lastAudio_ = -10;
};

// 2 s driving, 3 s parked, 1.5 s driving with an impact at 5.8 s.
Recorded drive_park_drive(RecordingMaker& m, bool filePerPhase = false) {
    Drive drive(m);
    m.start();
    drive.run(0, 2, kFrame, true);
    if (filePerPhase) {
        m.stop();
        m.start();
    }
    drive.run(2.5, 5, 1.0, false);
    if (filePerPhase) {
        m.stop();
        m.start();
    }
    drive.run(5.2, 6.7, kFrame, true, 5.8);
    m.stop();
    if (!filePerPhase) return recorded_in({m.file(0)});
    return recorded_in({m.file(0), m.file(1), m.file(2)});
}

struct Exported {
    int status = -1;
    std::string out, err;
};

Exported export_with(const std::vector<std::string>& words) {
    asd::ExportArgs args;
    Exported e;
    e.err = asd::parse_export_args(words, args);
    if (!e.err.empty()) return e;
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0, errSize = 0;
    std::FILE* out = open_memstream(&outText, &outSize);
    std::FILE* err = open_memstream(&errText, &errSize);
    e.status = asd::run_export(args, out, err);
    std::fclose(out);
    std::fclose(err);
    e.out = outText;
    e.err = errText;
    std::free(outText);
    std::free(errText);
    return e;
}

std::vector<double> pts_of(const std::vector<videotest::Entry>& packets) {
    std::vector<double> out;
    for (const auto& p : packets) out.push_back(videotest::number(p, "pts_time"));
    return out;
}

// The packets of a file's first video stream as they are stored.
std::vector<std::vector<uint8_t>> stored_frames(const fs::path& file) {
    std::vector<std::vector<uint8_t>> out;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, file.c_str(), nullptr, nullptr) < 0) return out;
    AVPacket* p = av_packet_alloc();
    while (av_read_frame(ctx, p) >= 0) {
        if (ctx->streams[p->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            out.emplace_back(p->data, p->data + p->size);
        av_packet_unref(p);
    }
    av_packet_free(&p);
    avformat_close_input(&ctx);
    return out;
}

class VideoExportTest : public ::testing::Test {
  protected:
    fs::path out() const { return m.board.root() / "out"; }
    RecordingMaker m;
};

// ---- one video per camera ----------------------------------------------------------------------

TEST_F(VideoExportTest, EachCameraPlaysItsFramesAtTheirOwnTimesWithSoundAndCues) {
    const Recorded r = drive_park_drive(m);
    const Exported e = export_with({m.file(0).string(), out().string()});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    EXPECT_NE(e.out.find("front.mkv: front camera, " + std::to_string(r.front.size()) + " frames"),
              std::string::npos)
        << e.out;

    const fs::path front = out() / "front.mkv", rear = out() / "rear.mkv";
    const auto s = videotest::streams(front);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(s[0].at("codec_name"), "mjpeg");
    EXPECT_EQ(s[0].at("width"), "640");
    EXPECT_EQ(s[0].at("height"), "480");
    EXPECT_EQ(s[1].at("codec_name"), "pcm_u8");
    EXPECT_EQ(s[1].at("sample_rate"), "8000");
    EXPECT_EQ(s[2].at("codec_name"), "subrip");
    const auto rs = videotest::streams(rear);
    ASSERT_EQ(rs.size(), 2u);  // no sound in the rear camera's file
    EXPECT_EQ(rs[0].at("codec_name"), "mjpeg");
    EXPECT_EQ(rs[1].at("codec_type"), "subtitle");

    // One packet per recorded frame, at the frame's own time from the clip's start (the first
    // sound, 1.024 s before the first block was written, or the first frame).
    const double origin = r.origin();
    for (const auto& [file, times] : {std::pair{front, r.front}, {rear, r.rear}}) {
        const std::vector<double> pts = pts_of(videotest::packets(file, "v:0"));
        ASSERT_EQ(pts.size(), times.size()) << file;
        for (size_t i = 0; i < pts.size(); ++i) {
            EXPECT_NEAR(pts[i], times[i] - origin, 0.0015) << file << " frame " << i;
            if (i > 0) {
                EXPECT_GT(pts[i], pts[i - 1]) << file << " frame " << i;
            }
        }
        // As long as the recording: to its last frame, within one frame interval (and the
        // millisecond the container rounds its times to).
        const double interval = times.back() - times[times.size() - 2];
        EXPECT_NEAR(videotest::duration(file), r.front.back() - origin, interval + 0.002) << file;
        const auto decoded = videotest::decode_all(file);
        EXPECT_EQ(decoded.status, 0) << decoded.err;
        EXPECT_EQ(decoded.err, "") << file;
    }
    // The frames are the recorded JPEG files, byte for byte.
    const asd::Recording rec = asd::read_file(m.file(0).string(), {.payloads = true});
    std::vector<std::vector<uint8_t>> fronts;
    for (const auto& record : rec.records) {
        if (const auto* v = std::get_if<asd::VideoRecord>(&record.body); v && v->channel == 1)
            fronts.push_back(v->jpeg);
    }
    EXPECT_TRUE(stored_frames(front) == fronts);

    // The sound: each block ends where it was written; the parked seconds are silence.
    const auto audio = videotest::packets(front, "a:0");
    ASSERT_FALSE(audio.empty());
    for (const double end : r.audioEnds) {
        const double start = end - 1.024 - origin;
        EXPECT_TRUE(std::any_of(audio.begin(), audio.end(),
                                [&](const auto& p) {
                                    return std::abs(videotest::number(p, "pts_time") - start) <
                                           0.002;
                                }))
            << "no audio packet at " << start;
    }
    double last = -1, samples = 0;
    for (const auto& p : audio) {
        EXPECT_GT(videotest::number(p, "pts_time"), last);
        last = videotest::number(p, "pts_time");
        samples += videotest::number(p, "size");
    }
    // From the first sound to the last without a gap: the parked seconds are silence.
    EXPECT_NEAR(samples / 8000, r.audioEnds.back() - (r.audioEnds.front() - 1.024), 0.002);

    // A cue per GPS record, with its facts; the impact's acceleration in the cue after it.
    const std::string srt = videotest::subtitles(front);
    EXPECT_EQ(count(srt, " --> "), r.gps.size()) << srt;
    EXPECT_EQ(count(videotest::subtitles(rear), " --> "), r.gps.size());
    EXPECT_NE(srt.find("2026-12-07 23:06:33 UTC  40 km/h  heading 271\u00b0 W\n"
                       "47.374200 N, 8.538600 W  X -0.02 g  Y +0.01 g  Z +1.00 g"),
              std::string::npos)
        << srt;
    EXPECT_NE(srt.find("X -3.00 g"), std::string::npos) << srt;
}

// Consecutive files of the ring make one video per camera, with the recorder's pauses in it.
TEST_F(VideoExportTest, SeveralFilesMakeOneContinuousVideo) {
    const Recorded r = drive_park_drive(m, true);
    const Exported e =
        export_with({m.file(2).string(), m.file(0).string(), m.file(1).string(), out().string()});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    const std::vector<double> pts = pts_of(videotest::packets(out() / "front.mkv", "v:0"));
    ASSERT_EQ(pts.size(), r.front.size());
    const double origin = r.origin();
    for (size_t i = 0; i < pts.size(); ++i) EXPECT_NEAR(pts[i], r.front[i] - origin, 0.0015) << i;
    EXPECT_EQ(videotest::decode_all(out() / "rear.mkv").err, "");
    // Each file's own export in a directory of its own.
    for (const char* dir : {"rec00000000", "rec00000001", "rec00000002"}) {
        EXPECT_TRUE(fs::exists(out() / dir / "frames.csv")) << dir;
    }
    EXPECT_EQ(count(e.out, " -> "), 3u) << e.out;
}

// A file the power cut short: what was whole is exported, and asdtool says so.
TEST_F(VideoExportTest, AFileNeverClosedExportsUpToItsLastWholeRecord) {
    m.start();
    Drive(m).run(0, 1.5, kFrame, true);
    const Recorded r = recorded_in({m.file(0)});
    m.frame(1.6, 1, 99);  // its write is cut short
    m.cut();
    fs::resize_file(m.file(0), fs::file_size(m.file(0)) - 500);
    const Exported e = export_with({m.file(0).string(), out().string()});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    EXPECT_NE(e.out.find("rec00000000.asd: not closed (power lost): exported up to its last whole "
                         "record"),
              std::string::npos)
        << e.out;
    EXPECT_EQ(videotest::packets(out() / "front.mkv", "v:0").size(), r.front.size());
    EXPECT_EQ(videotest::decode_all(out() / "front.mkv").err, "");
}

// A damaged file: the records before the damage, the damage named, exit status 1.
TEST_F(VideoExportTest, ADamagedFileExportsWhatCameBeforeTheDamage) {
    m.start();
    Drive(m).run(0, 1, kFrame, true);
    m.stop();
    std::string bytes = read_file(m.file(0));
    const asd::Recording whole = asd::read_file(m.file(0).string());
    const size_t at = whole.records[20].offset;
    bytes[at] = 0x07;  // no such record kind
    std::ofstream(m.file(0), std::ios::binary | std::ios::trunc) << bytes;
    size_t frontBefore = 0;
    for (size_t i = 0; i < 20; ++i) {
        const auto* v = std::get_if<asd::VideoRecord>(&whole.records[i].body);
        if (v && v->channel == 1) ++frontBefore;
    }

    const Exported e = export_with({m.file(0).string(), out().string()});
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.out.find("damaged at byte " + std::to_string(at)), std::string::npos) << e.out;
    EXPECT_EQ(videotest::packets(out() / "front.mkv", "v:0").size(), frontBefore);
    EXPECT_EQ(videotest::decode_all(out() / "front.mkv").err, "");
}

// An empty file has nothing to export: no directory is made, nothing is written anywhere.
TEST_F(VideoExportTest, AnEmptyFileHasNothingToExportAndNothingIsWritten) {
    m.start();
    m.stop();
    const fs::path place = m.board.root() / "place";
    fs::create_directories(place);
    const Exported e = export_with({m.file(0).string(), (place / "out").string()});
    EXPECT_EQ(e.status, 1);
    EXPECT_NE(e.err.find("rec00000000.asd: nothing to export: empty (opened, never written)"),
              std::string::npos)
        << e.err;
    EXPECT_TRUE(fs::is_empty(place));

    // With a file that has records beside it, the empty one is passed over.
    m.start();
    Drive(m).run(10, 11, kFrame, true);
    m.stop();
    const Exported two =
        export_with({m.file(0).string(), m.file(1).string(), (place / "out").string()});
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_NE(two.out.find("rec00000000.asd: nothing to export"), std::string::npos) << two.out;
    // Everything went into DIR (one recording: into DIR itself).
    std::vector<std::string> top;
    for (const auto& entry : fs::directory_iterator(place)) top.push_back(entry.path().filename());
    EXPECT_EQ(top, std::vector<std::string>{"out"});
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(place / "out"))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names,
              (std::vector<std::string>{"accel.csv", "audio.wav", "frames.csv", "front",
                                        "front.mkv", "gps.csv", "rear", "rear.mkv", "track.gpx"}));
    // A directory in use is refused before anything is written.
    const Exported again = export_with({m.file(1).string(), (place / "out").string()});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("is not empty"), std::string::npos) << again.err;
}

// ---- the files of an event ---------------------------------------------------------------------

TEST_F(VideoExportTest, AnEventsLockedFilesMakeOneClip) {
    const Recorded r = drive_park_drive(m, true);
    g_recinfo[RECINFO_LOCKCOUNT] = 2;
    lock_file(0, LOCK_IMPACT, 1);
    lock_file(1, LOCK_IMPACT, 1);
    lock_file(2, LOCK_EMERGENCY, 2);
    lock_file(7, LOCK_EMERGENCY, 2);  // no longer on the card
    ASSERT_EQ(write_recinfo(), 0);
    const std::string card = m.board.card().string();

    const Exported e = export_with({card, out().string(), "--event", "1"});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    size_t frontBefore = 0;
    for (const double t : r.front) frontBefore += t < 5 ? 1 : 0;
    EXPECT_EQ(videotest::packets(out() / "front.mkv", "v:0").size(), frontBefore);
    EXPECT_TRUE(fs::exists(out() / "rec00000001" / "frames.csv"));
    EXPECT_FALSE(fs::exists(out() / "rec00000002"));

    const Exported two = export_with({card, (m.board.root() / "two").string(), "--event", "2"});
    ASSERT_EQ(two.status, 0) << two.out << two.err;
    EXPECT_NE(two.out.find("rec00000007.asd: locked by event 2, not on the card"),
              std::string::npos)
        << two.out;

    const Exported none = export_with({card, (m.board.root() / "three").string(), "--event", "3"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no event 3 in "), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("it keeps events 1 to 2"), std::string::npos) << none.err;
    EXPECT_FALSE(fs::exists(m.board.root() / "three"));
}

TEST(ExportArgsTest, OptionsAndTheirMistakes) {
    asd::ExportArgs a;
    ASSERT_EQ(asd::parse_export_args({"a.asd", "b.asd", "out"}, a), "");
    EXPECT_EQ(a.files, (std::vector<std::string>{"a.asd", "b.asd"}));
    EXPECT_EQ(a.dir, "out");
    EXPECT_FALSE(a.combined);
    ASSERT_EQ(asd::parse_export_args({"--event", "2", "card", "out", "--combined", "--layout",
                                      "pip", "--quality", "30", "--fps", "5"},
                                     a),
              "");
    EXPECT_EQ(a.event, 2u);
    EXPECT_EQ(a.files, std::vector<std::string>{"card"});
    EXPECT_TRUE(a.combined);
    EXPECT_EQ(a.layout, "pip");
    EXPECT_EQ(a.quality, 30);
    EXPECT_EQ(a.fps, 5);

    EXPECT_EQ(asd::parse_export_args({"a.asd"}, a), "give FILE... and DIR");
    EXPECT_EQ(asd::parse_export_args({"card", "x", "out", "--event", "1"}, a),
              "give the card's directory and DIR with --event");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--event", "0"}, a),
              "--event takes an event number (1 is the oldest the card keeps)");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--event", "1x"}, a),
              "--event takes an event number (1 is the oldest the card keeps)");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--combined", "--fps", "61"}, a),
              "--fps takes 1 to 60 frames a second");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--combined", "--quality", "-1"}, a),
              "--quality takes 0 (best) to 51 (smallest)");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--combined", "--layout", "top"}, a),
              "--layout takes side or pip");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--fps", "10"}, a),
              "--layout, --quality and --fps go with --combined");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--combined", "--fps"}, a),
              "--fps needs a value");
    EXPECT_EQ(asd::parse_export_args({"a", "out", "--loud"}, a), "unknown option --loud");
}

// ---- the combined clip -------------------------------------------------------------------------

// Mean absolute difference of the luma of two pictures `width` wide over rows [from, to) and
// columns [left, right).
double luma_difference(const std::string& a, const std::string& b, int width, int from, int to,
                       int left, int right) {
    double sum = 0;
    for (int y = from; y < to; ++y) {
        for (int x = left; x < right; ++x) {
            const size_t i = static_cast<size_t>(y * width + x);
            sum += std::abs(static_cast<uint8_t>(a[i]) - static_cast<uint8_t>(b[i]));
        }
    }
    return sum / ((to - from) * (right - left));
}

// Side by side: one H.264 stream of 1280x480 and the sound, a frame every 1/15 s over the
// recording's time; a frame shows the camera's picture above the strip, the strip over it, and
// the impact's label while it is near.
TEST_F(VideoExportTest, CombinedClipShowsBothCamerasWithTheStrip) {
    const Recorded r = drive_park_drive(m);
    const Exported e = export_with({m.file(0).string(), out().string(), "--combined"});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    const fs::path clip = out() / "combined.mp4";
    const auto s = videotest::streams(clip);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].at("codec_name"), "h264");
    EXPECT_EQ(s[0].at("width"), "1280");
    EXPECT_EQ(s[0].at("height"), "480");
    EXPECT_EQ(s[1].at("codec_name"), "aac");
    EXPECT_EQ(s[1].at("sample_rate"), "8000");
    const double origin = r.origin();
    const double span = r.front.back() - origin;
    const size_t frames = videotest::packets(clip, "v:0").size();
    EXPECT_NEAR(static_cast<double>(frames), span * 15, 1.0);
    const auto decoded = videotest::decode_all(clip);
    EXPECT_EQ(decoded.err, "");

    // Output frame 15, at 1 s, shows on the left the latest front picture recorded by then.
    const double at = 1.0;
    const size_t picture = static_cast<size_t>(
        std::upper_bound(r.front.begin(), r.front.end(), at + origin) - r.front.begin() - 1);
    const std::string shown = videotest::frame_at(clip, at);
    ASSERT_EQ(shown.size(), 1280u * 480 * 3 / 2);
    const fs::path jpeg = m.board.root() / "front.jpg";
    const auto& bytes = m.jpeg_of(1, picture);
    std::ofstream(jpeg, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    const std::string camera = videotest::frame_at(jpeg, 0);
    ASSERT_EQ(camera.size(), 640u * 480 * 3 / 2);
    std::string left(640 * 480, '\0');
    for (int y = 0; y < 480; ++y) left.replace(y * 640, 640, shown, y * 1280, 640);
    const int strip = 480 - asd::video::kStripHeight;
    EXPECT_LT(luma_difference(left, camera, 640, 0, strip, 0, 640), 4.0);
    EXPECT_GT(luma_difference(left, camera, 640, strip, 480, 0, 640), 20.0);
    // The clip moves with the recording: the frame at 0.2 s shows another picture.
    const std::string early = videotest::frame_at(clip, 0.2);
    std::string earlyLeft(640 * 480, '\0');
    for (int y = 0; y < 480; ++y) earlyLeft.replace(y * 640, 640, early, y * 1280, 640);
    EXPECT_GT(luma_difference(earlyLeft, camera, 640, 0, strip, 0, 640),
              luma_difference(left, camera, 640, 0, strip, 0, 640) + 2.0);

    // The label: red at the impact, not at 1 s.
    const auto place = asd::video::label_place(1280, 480, "IMPACT");
    const auto red = [&](const std::string& frame) {
        const size_t v = 1280 * 480 + 640 * 240 + (place.y / 2 + 2) * 640 + place.x / 2 + 1;
        return static_cast<uint8_t>(frame[v]) > 200;
    };
    EXPECT_FALSE(red(shown));
    EXPECT_TRUE(red(videotest::frame_at(clip, r.impact - origin + 0.1)));
}

// Frames that are not pictures (bytes gone bad, a header that claims 30000 x 30000 pixels): the
// camera's file keeps them as recorded; the combined clip shows the picture before and says so.
TEST_F(VideoExportTest, FramesThatDoNotDecodeLeaveThePictureBefore) {
    m.start();
    Drive(m).run(0, 0.5, kFrame, true);
    std::vector<uint8_t> huge = m.jpeg_of(1, 100);
    for (size_t i = 0; i + 8 < huge.size(); ++i) {
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {  // start of frame: height and width
            huge[i + 5] = huge[i + 7] = 0x75;
            huge[i + 6] = huge[i + 8] = 0x30;
            break;
        }
    }
    m.raw_frame(0.55, 1, huge);
    m.raw_frame(0.62, 1, std::vector<uint8_t>(5000, 0xAB));
    Drive(m).run(0.7, 1.2, kFrame, false);
    m.stop();

    const Exported e = export_with({m.file(0).string(), out().string(), "--combined"});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    EXPECT_NE(e.out.find("2 recorded frames did not decode: the picture before them stays"),
              std::string::npos)
        << e.out;
    EXPECT_EQ(videotest::packets(out() / "front.mkv", "v:0").size(),
              recorded_in({m.file(0)}).front.size());
    EXPECT_EQ(videotest::decode_all(out() / "combined.mp4").err, "");
}

// A one-camera box: the front camera's file only; side by side the rear half stays dark.
TEST_F(VideoExportTest, ARecordingOfOneCameraHasOneFile) {
    m.start();
    for (int i = 0; i < 10; ++i) m.frame(i * kFrame, 1, static_cast<uint64_t>(i));
    m.stop();
    const Exported e = export_with({m.file(0).string(), out().string(), "--combined"});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    EXPECT_TRUE(fs::exists(out() / "front.mkv"));
    EXPECT_FALSE(fs::exists(out() / "rear.mkv"));
    EXPECT_EQ(videotest::streams(out() / "front.mkv").size(), 1u);  // no sound, no GPS
    const std::string frame = videotest::frame_at(out() / "combined.mp4", 0.3);
    ASSERT_EQ(frame.size(), 1280u * 480 * 3 / 2);
    double sum = 0;
    for (int y = 0; y < 400; ++y) {
        for (int x = 640; x < 1280; ++x) sum += static_cast<uint8_t>(frame[y * 1280 + x]);
    }
    EXPECT_LT(sum / (400 * 640), 30.0);
}

// The rear inset: a 640x480 clip; the frame rate as asked.
TEST_F(VideoExportTest, CombinedClipInsetLayoutAtItsOwnRate) {
    const Recorded r = drive_park_drive(m);
    const Exported e = export_with(
        {m.file(0).string(), out().string(), "--combined", "--layout", "pip", "--fps", "5"});
    ASSERT_EQ(e.status, 0) << e.out << e.err;
    const fs::path clip = out() / "combined.mp4";
    const auto s = videotest::streams(clip);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].at("width"), "640");
    EXPECT_EQ(s[0].at("height"), "480");
    const double origin = r.origin();
    EXPECT_NEAR(static_cast<double>(videotest::packets(clip, "v:0").size()),
                (r.front.back() - origin) * 5, 1.0);
    EXPECT_EQ(videotest::decode_all(clip).err, "");
}

}  // namespace
