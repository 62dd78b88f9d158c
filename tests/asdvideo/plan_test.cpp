// The clip's time line: recordings made in memory, record by record, and where the plan puts
// them; the audio stream's holes; the moments it marks.
#include <gtest/gtest.h>

#include "video_caption.hpp"
#include "video_plan.hpp"

namespace {

using asd::video::AudioCursor;
using asd::video::Input;
using asd::video::Plan;
using asd::video::plan_clip;

constexpr uint32_t kT0 = 1796684793;

asd::Time at(double s) {
    const int64_t us = static_cast<int64_t>(s * 1e6 + 0.5);
    return {kT0 + static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000)};
}

// A recording in memory: records in the order they are added, the header's start at the first.
class Fake {
  public:
    explicit Fake(std::string name) { in_.path = "/card/data/" + name; }
    Fake& video(double s, int channel) {
        asd::VideoRecord v;
        v.width = 640;
        v.height = 480;
        v.channel = static_cast<uint8_t>(channel);
        v.time = at(s);
        return add(v, v.time);
    }
    Fake& frames(double from, double to, double every) {
        for (double s = from; s < to - 1e-9; s += every) video(s, 0).video(s + 0.004, 1);
        return *this;
    }
    Fake& audio(double s, uint32_t n = 8192) {
        asd::AudioRecord a;
        a.time = at(s);
        a.length = n;
        return add(a, a.time);
    }
    Fake& gps(double s) {
        asd::GpsRecord g;
        g.status = 'A';
        g.received = at(s);
        return add(g, g.received);
    }
    Fake& accel(double s, int16_t x, int16_t y = 0, int16_t z = 1024) {
        asd::AccelRecord a;
        a.x = x;
        a.y = y;
        a.z = z;
        a.time = at(s);
        return add(a, a.time);
    }
    Input input() const { return in_; }

  private:
    template <typename Body>
    Fake& add(const Body& body, asd::Time t) {
        if (in_.rec.records.empty()) in_.rec.base.start = t;
        asd::Record r;
        r.body = body;
        in_.rec.records.push_back(r);
        in_.rec.fileSize = 1;
        return *this;
    }
    Input in_;
};

Plan plan_of(std::vector<Input> inputs) {
    std::string error;
    auto plan = plan_clip(std::move(inputs), error);
    EXPECT_TRUE(plan) << error;
    return plan ? std::move(*plan) : Plan{};
}

std::vector<int64_t> times(const std::vector<asd::video::FrameRef>& frames) {
    std::vector<int64_t> out;
    for (const auto& f : frames) out.push_back(f.at);
    return out;
}

double seconds(asd::Time t) {
    return static_cast<double>(static_cast<int64_t>(t.sec) - kT0) + t.usec / 1e6;
}

// Frames keep their recorded times: 15 a second, then one a second while parking.
TEST(PlanTest, FramesKeepTheirOwnPace) {
    Fake f("rec00000000.asd");
    f.frames(0, 1, 1.0 / 15).frames(1.5, 4.5, 1.0);
    const Plan plan = plan_of({f.input()});
    ASSERT_EQ(plan.frames[0].size(), 15u + 3u);
    ASSERT_EQ(plan.frames[1].size(), 15u + 3u);
    EXPECT_EQ(plan.frames[0][1].at, 66'667);
    EXPECT_EQ(plan.frames[0][15].at, 1'500'000);
    EXPECT_EQ(plan.frames[0][17].at, 3'500'000);
    EXPECT_EQ(plan.frames[1][0].at, 4'000);
    EXPECT_EQ(plan.end, 3'504'000);
    EXPECT_EQ(plan.frames[1][17].record, f.input().rec.records.size() - 1);
    EXPECT_TRUE(plan.notes.empty());
    EXPECT_EQ(seconds(plan.time_at(1'500'000)), 1.5);
}

// Two frames of a camera at the same microsecond still come one after the other.
TEST(PlanTest, FrameTimesOfACameraStrictlyIncrease) {
    Fake f("rec00000000.asd");
    f.video(0, 1).video(0.5, 1).video(0.5, 1).video(0.4, 1);
    const Plan plan = plan_of({f.input()});
    EXPECT_EQ(times(plan.frames[1]), (std::vector<int64_t>{0, 500'000, 500'001, 500'002}));
}

// A block covers the second before it was written; blocks on time follow each other without a
// gap, a later one leaves a hole of silence, and the clip starts with the first sound when that
// is earlier than the first frame.
TEST(PlanTest, AudioBlocksEndWhenTheyWereWritten) {
    Fake f("rec00000000.asd");
    f.video(0.5, 1).audio(1.0).audio(2.03).audio(5.0, 4000).video(6, 1);
    const Plan plan = plan_of({f.input()});
    ASSERT_EQ(plan.audio.size(), 3u);
    // The first block starts 1.024 s before 1.0: the clip's start.
    EXPECT_EQ(plan.audio[0].sample, 0);
    EXPECT_EQ(plan.frames[1][0].at, 524'000);
    EXPECT_NEAR(seconds(plan.time_at(0)), -0.024, 1e-9);
    // 2.03 - 1.024 is 6 ms after the first block's end: on time, no gap.
    EXPECT_EQ(plan.audio[1].sample, 8192);
    // 5.0 - 0.5 s: a hole from 2.048 s.
    EXPECT_EQ(plan.audio[2].sample, (5'024'000 - 500'000) * 8 / 1000);
    EXPECT_EQ(plan.audio[2].length, 4000u);
    EXPECT_EQ(plan.audio_samples(), plan.audio[2].sample + 4000);
}

// The ring's files come in any order on the command line; the clip follows their start times.
// A pause between files stays; one longer than a minute (the box was off) becomes a second.
TEST(PlanTest, FilesFollowEachOtherWithTheirPauses) {
    Fake a("rec00000089.asd"), b("rec00000000.asd"), c("rec00000001.asd");
    a.frames(0, 1, 0.5);
    b.frames(31, 32, 0.5);      // 30.5 s after a's last frame: kept
    c.frames(4000, 4001, 0.5);  // an hour later
    const Plan plan = plan_of({c.input(), a.input(), b.input()});
    ASSERT_EQ(plan.inputs.size(), 3u);
    EXPECT_EQ(plan.inputs[0].path, "/card/data/rec00000089.asd");
    EXPECT_EQ(plan.inputs[2].path, "/card/data/rec00000001.asd");
    EXPECT_EQ(times(plan.frames[0]),
              (std::vector<int64_t>{0, 500'000, 31'000'000, 31'500'000, 32'504'000, 33'004'000}));
    ASSERT_EQ(plan.notes.size(), 1u);
    EXPECT_NE(plan.notes[0].find("rec00000001.asd: 1.1 h without a record"), std::string::npos)
        << plan.notes[0];
    // The caption's clock jumps with the file.
    EXPECT_EQ(seconds(plan.time_at(32'504'000)), 4000.0);
    EXPECT_EQ(seconds(plan.time_at(33'004'000)), 4000.5);
    EXPECT_EQ(seconds(plan.time_at(31'500'000)), 31.5);
}

// The clock went back between files (GPS time): the later file goes on right after the earlier.
TEST(PlanTest, AFileWhoseClockWentBackFollowsTheOneBefore) {
    Fake a("rec00000000.asd"), b("rec00000001.asd");
    a.frames(100, 101, 0.5);
    b.frames(90, 91, 0.5);  // recorded after a, stamped 10 s earlier
    Fake late("rec00000002.asd");
    late.frames(100.4, 101, 0.5);  // starts before a ended (clock set back 0.1 s)
    Plan plan = plan_of({a.input(), late.input()});
    ASSERT_EQ(plan.frames[0].size(), 4u);
    EXPECT_EQ(plan.frames[0][2].at, 504'000 + 66'667);
    EXPECT_TRUE(plan.notes.empty());

    // Ordered by start time b would come first: a file's start decides, as on the card.
    plan = plan_of({a.input(), b.input()});
    EXPECT_EQ(plan.inputs[0].path, "/card/data/rec00000001.asd");
    EXPECT_EQ(plan.frames[0][2].at, 10'000'000);
}

// Inside a file a time far back (a damaged or reset clock) does not take the clip back.
TEST(PlanTest, AStepBackInsideAFileIsNotedAndPlayedOn) {
    Fake f("rec00000000.asd");
    f.video(50, 1).video(50.5, 1).video(20, 1).video(20.5, 1);
    const Plan plan = plan_of({f.input()});
    EXPECT_EQ(times(plan.frames[1]), (std::vector<int64_t>{0, 500'000, 1'500'000, 2'000'000}));
    ASSERT_EQ(plan.notes.size(), 1u);
    EXPECT_NE(plan.notes[0].find("clock went back 30.5 s"), std::string::npos) << plan.notes[0];
}

TEST(PlanTest, FilesWithoutRecordsAreLeftOutAndNoFramesIsNoClip) {
    Fake empty("rec00000003.asd");
    Fake sound("rec00000004.asd");
    sound.audio(2).gps(2.5);
    std::string error;
    EXPECT_FALSE(plan_clip({empty.input(), sound.input()}, error));
    EXPECT_EQ(error, "no video frames to export");

    Fake f("rec00000005.asd");
    f.video(1, 0);
    const Plan plan = plan_of({empty.input(), f.input()});
    EXPECT_EQ(plan.inputs.size(), 1u);
    EXPECT_EQ(plan.notes, std::vector<std::string>{"rec00000003.asd: no records, left out"});
    EXPECT_TRUE(plan.frames[1].empty());
}

// The recorder's default impact rule: X beyond 800, Y beyond 1200, Z beyond 800 counts of change.
TEST(PlanTest, ImpactsAreChangesBeyondTheRecordersThresholds) {
    Fake f("rec00000000.asd");
    f.video(0, 1)
        .accel(1, 0)
        .accel(2, 800)              // exactly the threshold: nothing
        .accel(3, 1601)             // one more
        .accel(4, 1601, 1200)       // Y: 1200 is not enough
        .accel(5, 1601, -1)         // 1201
        .accel(6, 1601, -1, 1824)   // Z: 800
        .accel(7, 1601, -1, 2625);  // 801
    const Plan plan = plan_of({f.input()});
    EXPECT_EQ(asd::video::impact_moments(plan),
              (std::vector<int64_t>{3'000'000, 5'000'000, 7'000'000}));
    EXPECT_EQ(asd::video::strongest_jolt(plan), 5'000'000);

    Fake quiet("rec00000001.asd");
    quiet.video(0, 1).accel(1, 0);
    EXPECT_FALSE(asd::video::strongest_jolt(plan_of({quiet.input()})));
}

// The writers' walk over the audio: blocks where the plan put them, silence up to where the
// pictures are, in pieces of at least a tenth of a second or the rest of the hole.
TEST(PlanTest, AudioCursorFillsHolesWithSilenceAsThePicturesGo) {
    Fake f("rec00000000.asd");
    f.video(0, 1).audio(1.024).audio(5.024).video(6, 1);
    const Plan plan = plan_of({f.input()});
    AudioCursor cursor(plan);
    EXPECT_EQ(cursor.block(0, 2), std::nullopt);  // not the next block
    EXPECT_EQ(cursor.block(0, 1), 0);
    EXPECT_EQ(cursor.position(), 8192);
    EXPECT_EQ(cursor.silence_until(8192 + 400), 0);  // less than a tenth of a second
    EXPECT_EQ(cursor.silence_until(8192 + 1000), 1000);
    EXPECT_EQ(cursor.silence_until(30'000), 30'000 - 9192);
    // Close to the block: the whole rest of the hole.
    EXPECT_EQ(cursor.silence_until(32'000 - 500), 32'000 - 30'000);
    EXPECT_EQ(cursor.silence_until(40'000), 0);
    EXPECT_EQ(cursor.block(0, 2), 0);
    EXPECT_EQ(cursor.position(), 40'192);
    EXPECT_EQ(cursor.silence_until(100'000), 0);  // nothing after the last block
}

// ---- captions ----------------------------------------------------------------------------------

TEST(CaptionTest, CompassPointsAndAccelerationInG) {
    using asd::video::compass;
    EXPECT_STREQ(compass(0), "N");
    EXPECT_STREQ(compass(22), "N");
    EXPECT_STREQ(compass(23), "NE");
    EXPECT_STREQ(compass(271), "W");
    EXPECT_STREQ(compass(337), "NW");
    EXPECT_STREQ(compass(338), "N");
    EXPECT_STREQ(compass(360), "N");
    EXPECT_STREQ(compass(-90), "W");
    EXPECT_EQ(asd::video::g_text(1024), "+1.00");
    EXPECT_EQ(asd::video::g_text(-3072), "-3.00");
    EXPECT_EQ(asd::video::g_text(-5), "-0.00");
}

// A cue per GPS record: the moment's facts, the strongest accelerometer sample while it shows
// (or the latest fresh one before), and it lasts until the next record (at most two seconds,
// never past the last frame).
TEST(CaptionTest, CuesTellTimeSpeedHeadingPositionAndAcceleration) {
    Fake f("rec00000000.asd");
    f.video(0, 1).accel(0.2, -300, 20, 1024).gps(0.5).gps(1.5).accel(1.6, 10, 10, 1100);
    f.accel(2.0, -2048, 0, 900).accel(2.4, 0, 0, 1024).gps(7).gps(9.5).video(10, 1);
    Plan plan = plan_of({f.input()});
    plan.gps[0].gps.headingGate = 42;
    plan.gps[0].gps.heading = 271;
    plan.gps[0].gps.latitude = "4722.452000";
    plan.gps[0].gps.longitude = "00832.316000";
    plan.gps[0].gps.lonHemisphere = 'W';
    EXPECT_EQ(asd::video::cue_text(plan, 0),
              "2026-12-07 23:06:33 UTC  42 km/h  heading 271\u00b0 W\n"
              "47.374200 N, 8.538600 W  X -0.29 g  Y +0.02 g  Z +1.00 g");
    EXPECT_NE(asd::video::cue_text(plan, 1).find("X -2.00 g  Y +0.00 g  Z +0.88 g"),
              std::string::npos)
        << asd::video::cue_text(plan, 1);
    // Seven seconds on the accelerometer's sample is stale; the position text is not a number.
    EXPECT_EQ(asd::video::cue_text(plan, 2).find("X "), std::string::npos);
    EXPECT_NE(asd::video::cue_text(plan, 2).find("\nno position"), std::string::npos);
    EXPECT_EQ(asd::video::cue_length(plan, 0), 1'000'000);
    EXPECT_EQ(asd::video::cue_length(plan, 1), asd::video::kLongestCue);
    EXPECT_EQ(asd::video::cue_length(plan, 2), asd::video::kLongestCue);
    EXPECT_EQ(asd::video::cue_length(plan, 3), 500'000);
    EXPECT_EQ(asd::video::gps_at(plan, 400'000), nullptr);
    EXPECT_EQ(asd::video::gps_at(plan, 1'600'000), &plan.gps[1]);
    EXPECT_EQ(asd::video::gps_at(plan, 5'000'000), nullptr);  // older than 3 s
}

}  // namespace
