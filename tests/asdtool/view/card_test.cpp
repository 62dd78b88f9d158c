// The viewer's reading of a card: headers for the list, records on demand, whole recordings to
// play, each kept until its file changes; odd files are named, never fatal.
#include <gtest/gtest.h>

#include "asd_builder.hpp"
#include "files.hpp"
#include "view_card.hpp"

namespace {

using namespace asd::view;
using viewtest::at;
using viewtest::jpeg;
namespace fs = std::filesystem;

constexpr uint32_t kImpact = 1 << 16;
constexpr uint32_t kButton = 0 << 16;

// Two cameras at 10 frames a second for 2 s, GPS every second (the first without a fix), the
// accelerometer three times a second with an impact at 1.0 s, and two audio blocks.
viewtest::Asd drive(double t0) {
    viewtest::Asd a(at(t0));
    for (int i = 0; i < 20; ++i) {
        const double t = t0 + i * 0.1;
        a.video(0, at(t), jpeg(100, static_cast<uint8_t>(i)));
        a.video(1, at(t + 0.01), jpeg(120, static_cast<uint8_t>(100 + i)));
        if (i % 10 == 5) {
            a.gps(at(t), i < 10 ? "" : "4722.452000", i < 10 ? "" : "832.316000", 40, 271,
                  i < 10 ? 'V' : 'A');
        }
        if (i % 3 == 1) a.accel(at(t), i == 10 ? -2048 : 3, 5, 1024);
        if (i == 8 || i == 18) a.audio(at(t), 8000, static_cast<uint8_t>(i));
    }
    return a;
}

class CardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        drive(0).write(data / "rec00000000.asd");
        drive(10).write(data / "rec00000001.asd", false);  // the power went
        viewtest::write_text(data / "rec00000002.asd", "");
        viewtest::write_text(data / "rec00000003.asd", "not a recording");
        viewtest::write_text(tmp.path() / "outside.asd", "x");
        fs::create_symlink(tmp.path() / "outside.asd", data / "rec00000004.asd");
        viewtest::write_recinfo(data / "recinfo", 2,
                                {{0, kImpact | 1}, {1, kImpact | 1}, {7, kButton | 2}});
        viewtest::write_text(tmp.path() / "card/snapshot/001-1.jpg", "jpeg");
        fs::create_symlink(tmp.path() / "outside.asd", tmp.path() / "card/snapshot/002-1.jpg");
    }

    CardPath where(const std::string& name) { return card.resolve("data", name); }

    testsupport::TempDir tmp{"view-card"};
    fs::path data = tmp.path() / "card/data";
    Card card{tmp.path() / "card"};
};

TEST_F(CardTest, TheListHoldsEveryFileInRecordingOrder) {
    const Listing l = card.list();
    ASSERT_EQ(l.files.size(), 5u);
    EXPECT_EQ(l.files[0].name, "rec00000000.asd");
    EXPECT_TRUE(l.files[0].closed);
    EXPECT_EQ(l.files[0].start.sec, at(0).sec);
    EXPECT_EQ(l.files[0].end.sec, at(1.91).sec);
    EXPECT_EQ(l.files[1].name, "rec00000001.asd");
    EXPECT_TRUE(l.files[1].header);
    EXPECT_FALSE(l.files[1].closed);
    // Without a header, by name, each with what is wrong.
    EXPECT_EQ(l.files[2].name, "rec00000002.asd");
    EXPECT_FALSE(l.files[2].header);
    EXPECT_EQ(l.files[2].size, 0u);
    EXPECT_EQ(l.files[3].name, "rec00000003.asd");
    EXPECT_NE(l.files[3].problem.find("no recording header"), std::string::npos);
    EXPECT_EQ(l.files[4].name, "rec00000004.asd");
    EXPECT_EQ(l.files[4].problem, "leads out of the card");
}

TEST_F(CardTest, LocksEventsAndSnapshotsComeWithTheList) {
    const Listing l = card.list();
    ASSERT_TRUE(l.index);
    EXPECT_EQ(l.index->next, 2u);
    ASSERT_TRUE(l.files[0].lock);
    EXPECT_EQ(l.files[0].lock->generation, 1);
    EXPECT_EQ(l.files[0].lock->type, 1);
    EXPECT_FALSE(l.files[2].lock);
    ASSERT_EQ(l.events.size(), 2u);
    EXPECT_EQ(l.events[0].files, (std::vector<size_t>{0, 1}));
    EXPECT_EQ(l.events[1].generation, 2);
    EXPECT_EQ(l.events[1].type, 0);
    EXPECT_EQ(l.events[1].files, (std::vector<size_t>{7}));
    ASSERT_EQ(l.snapshots.size(), 1u);  // the link out of the card is left out
    EXPECT_EQ(l.snapshots[0].name, "001-1.jpg");
}

TEST_F(CardTest, AMissingOrBadIndexIsSaidAndTheFilesStillList) {
    viewtest::write_text(data / "recinfo", "short");
    Listing l = card.list();
    EXPECT_FALSE(l.index);
    EXPECT_EQ(l.indexError, "data/recinfo: recording index of 5 bytes, not 5608");
    EXPECT_EQ(l.files.size(), 5u);
    fs::remove(data / "recinfo");
    EXPECT_NE(card.list().indexError.find("no such file"), std::string::npos);
    fs::remove_all(data);
    l = card.list();
    EXPECT_EQ(l.error, "no data/ directory: no recordings here");
    EXPECT_TRUE(l.files.empty());
}

// The list reads headers only: damage after the header shows when the records are read.
TEST_F(CardTest, TheListReadsHeadersOnlyTheDetailsReadTheRecords) {
    auto bytes = drive(20).bytes();
    bytes[84] = 0x07;  // the first record's kind
    std::ofstream(data / "rec00000005.asd", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    const Listing l = card.list();
    const auto f = std::find_if(l.files.begin(), l.files.end(),
                                [](const ListedFile& x) { return x.name == "rec00000005.asd"; });
    ASSERT_NE(f, l.files.end());
    EXPECT_TRUE(f->header);
    EXPECT_TRUE(f->problem.empty());
    const auto d = card.details(where("rec00000005.asd"));
    ASSERT_TRUE(d->damage);
    EXPECT_EQ(d->damage->offset, 84u);
}

TEST_F(CardTest, DetailsCountWhatTheRecordsHold) {
    const auto d = card.details(where("rec00000000.asd"));
    EXPECT_TRUE(d->problem.empty());
    EXPECT_EQ(d->frames[0], 20u);
    EXPECT_EQ(d->frames[1], 20u);
    EXPECT_EQ(d->gps, 2u);
    EXPECT_EQ(d->gpsPoints, 1u);  // the first has no fix
    EXPECT_EQ(d->accel, 7u);
    EXPECT_EQ(d->audioBytes, 16000u);
    EXPECT_EQ(d->ending, asd::Ending::Closed);
    EXPECT_EQ(d->last.sec, at(1.91).sec);
    EXPECT_EQ(card.details(where("rec00000001.asd"))->ending, asd::Ending::NotClosed);
}

TEST_F(CardTest, CachedReadsFollowAChangedFile) {
    EXPECT_EQ(card.details(where("rec00000000.asd"))->frames[0], 20u);
    EXPECT_EQ(card.list().files[0].end.sec, at(1.91).sec);
    drive(0).video(0, at(5), jpeg(10, 1)).write(data / "rec00000000.asd");  // the ring reused it
    EXPECT_EQ(card.details(where("rec00000000.asd"))->frames[0], 21u);
    EXPECT_EQ(card.list().files[0].end.sec, at(5).sec);
    std::string why;
    EXPECT_EQ(card.playable(where("rec00000000.asd"), why)->frames[0].size(), 21u);
}

TEST_F(CardTest, ImpactIsTheSampleFarthestFromTheUsualNotTheRecovery) {
    const auto d = card.details(where("rec00000000.asd"));
    ASSERT_TRUE(d->jolt);
    EXPECT_EQ(d->jolt->time.sec, at(1.0).sec);
    EXPECT_EQ(d->jolt->time.usec, at(1.0).usec);
    EXPECT_EQ(d->jolt->step, 2051);
}

TEST_F(CardTest, APlayableHasEachCamerasFramesInTimeOrder) {
    std::string why;
    const auto p = card.playable(where("rec00000000.asd"), why);
    ASSERT_TRUE(p) << why;
    ASSERT_EQ(p->frames[0].size(), 20u);
    ASSERT_EQ(p->frames[1].size(), 20u);
    EXPECT_EQ(p->frames[1][3].us, 310000);
    EXPECT_EQ(p->durationUs, 1910000);
    // Before the first frame: the first; between two: the earlier; after the last: the last.
    size_t n = 99;
    EXPECT_EQ(p->frame_at(1, 0, &n)->jpeg, jpeg(120, 100));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(p->frame_at(1, 355000, &n)->jpeg, jpeg(120, 103));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(p->frame_at(1, 310000, &n)->jpeg, jpeg(120, 103));
    EXPECT_EQ(p->frame_at(0, 99000000, &n)->jpeg, jpeg(100, 19));
    EXPECT_EQ(n, 19u);
    // The sound: blocks ending at 0.8 s and 1.8 s, laid under the pictures.
    EXPECT_EQ(p->wav.samples(), 15280u);
}

TEST_F(CardTest, WhatCannotBePlayedSaysWhy) {
    std::string why;
    EXPECT_FALSE(card.playable(where("rec00000002.asd"), why));
    EXPECT_EQ(why, "empty: opened, never written");
    EXPECT_FALSE(card.playable(where("rec00000003.asd"), why));
    EXPECT_NE(why.find("no recording header"), std::string::npos);
    // A file that was never closed plays up to its last record.
    const auto p = card.playable(where("rec00000001.asd"), why);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->durationUs, 1910000);
}

TEST_F(CardTest, OnlyTheLastFewRecordingsAreKeptWhole) {
    std::string why;
    for (int i = 0; i < 5; ++i) {
        drive(100 + i).write(data / ("rec0000010" + std::to_string(i) + ".asd"));
    }
    const auto first = card.playable(where("rec00000100.asd"), why);
    EXPECT_EQ(card.playable(where("rec00000100.asd"), why), first);  // kept
    for (int i = 1; i < 5; ++i)
        card.playable(where("rec0000010" + std::to_string(i) + ".asd"), why);
    EXPECT_NE(card.playable(where("rec00000100.asd"), why), first);  // read again
}

}  // namespace
