// The reader on the golden recording and index (tests/golden, which the recorder's writer
// reproduces byte for byte): what the people's tools make of the same bytes on every target.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <variant>

#include "asd_reader.hpp"
#include "card_index.hpp"

namespace {

const std::filesystem::path kGolden = GOLDEN_DIR;
constexpr uint32_t kStartSec = 1339749000;  // 2012-06-15 08:30:00 UTC

TEST(GoldenRead, RecordingHeadersAndEveryRecord) {
    const asd::Recording rec =
        asd::read_file(kGolden / "rec00000000.asd", asd::ReadOptions{.payloads = true});
    ASSERT_FALSE(rec.damage) << rec.damage->reason;
    EXPECT_EQ(rec.fileSize, 876u);
    EXPECT_TRUE(rec.closed());
    EXPECT_EQ(rec.base.quantiser, 4);
    EXPECT_EQ(rec.base.videoRecords, 6u);
    EXPECT_EQ(rec.base.start, (asd::Time{kStartSec, 250000}));
    EXPECT_EQ(rec.base.end, (asd::Time{kStartSec, 750000}));
    EXPECT_EQ(rec.ext.speedUnit, 1);
    EXPECT_EQ(rec.ext.tzIndex, 23);
    EXPECT_EQ(rec.ext.useDST, 1);
    EXPECT_EQ(rec.ext.password, "0815");
    EXPECT_EQ(rec.ext.vehicleNumber, "GOLD 1234");

    // Three rounds of front frame, accelerometer, GPS, rear frame and audio, 25 ms apart.
    ASSERT_EQ(rec.records.size(), 15u);
    const asd::Kind round[] = {asd::Kind::Video, asd::Kind::Accel, asd::Kind::Gps, asd::Kind::Video,
                               asd::Kind::Audio};
    uint64_t previous = 0;
    for (size_t i = 0; i < rec.records.size(); ++i) {
        const asd::Record& r = rec.records[i];
        EXPECT_EQ(r.kind(), round[i % 5]) << "record " << i;
        EXPECT_EQ(r.prevOffset, previous) << "record " << i;  // 0 before the first
        previous = r.offset;
    }

    const auto& front = std::get<asd::VideoRecord>(rec.records[0].body);
    EXPECT_EQ(front.channel, 1);
    EXPECT_EQ(front.width, 640);
    EXPECT_EQ(front.height, 480);
    ASSERT_EQ(front.jpeg.size(), front.length);
    EXPECT_EQ(front.jpeg.front(), 0xFF);
    EXPECT_EQ(front.jpeg[1], 0xD8);
    EXPECT_EQ(front.jpeg.back(), 0xD9);
    EXPECT_EQ(std::get<asd::VideoRecord>(rec.records[3].body).channel, 0);

    const auto& accel = std::get<asd::AccelRecord>(rec.records[1].body);
    EXPECT_EQ(accel.x, 11);
    EXPECT_EQ(accel.y, -33);
    EXPECT_EQ(accel.z, 1021);
    EXPECT_EQ(accel.w, 20);
    EXPECT_EQ(accel.time, (asd::Time{kStartSec, 275000}));

    const auto& gps = std::get<asd::GpsRecord>(rec.records[12].body);
    EXPECT_EQ(gps.status, 'A');
    EXPECT_EQ(gps.latitude, "3733.1234");
    EXPECT_EQ(gps.longitude, "12658.5678");
    EXPECT_EQ(gps.heading, 93);
    EXPECT_EQ(gps.key, 4);
    EXPECT_EQ(gps.field12, -1);
    EXPECT_EQ(gps.received, (asd::Time{kStartSec, 700000}));
    EXPECT_EQ(gps.year, 12);
    EXPECT_EQ(gps.day, 15);
    EXPECT_EQ(std::get<asd::GpsRecord>(rec.records[2].body).status, 'V');

    const auto& audio = std::get<asd::AudioRecord>(rec.records[14].body);
    EXPECT_EQ(audio.length, 27u);
    ASSERT_EQ(audio.samples.size(), 27u);
    EXPECT_EQ(audio.samples[0], 125);
}

// Four events over six files, the oldest rotated out: the emergency button's file, the alarm's
// two files and the last impact's file are kept, one generation each.
TEST(GoldenRead, IndexKeepsThreeEventsAfterTheRotation) {
    std::string error;
    const auto index = asd::read_index(kGolden / "recinfo", error);
    ASSERT_TRUE(index) << error;
    EXPECT_EQ(index->next, 6u);
    EXPECT_EQ(index->lockCount, 3u);
    EXPECT_EQ(index->locked_files(), 4u);
    EXPECT_FALSE(index->lock_of(0));
    EXPECT_FALSE(index->lock_of(1));
    EXPECT_EQ(index->lock_of(2), (asd::Lock{1, 0}));
    EXPECT_EQ(index->lock_of(3), (asd::Lock{2, 2}));
    EXPECT_EQ(index->lock_of(4), (asd::Lock{2, 2}));
    EXPECT_EQ(index->lock_of(5), (asd::Lock{3, 1}));
}

}  // namespace
