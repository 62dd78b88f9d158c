#include "recording_checks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <variant>

namespace e2e {

asd::Time record_time(const asd::Record& record) {
    return std::visit(
        [](const auto& body) -> asd::Time {
            using T = std::decay_t<decltype(body)>;
            if constexpr (std::is_same_v<T, asd::GpsRecord>) {
                return body.received;
            } else {
                return body.time;
            }
        },
        record.body);
}

double seconds(asd::Time t) {
    return t.sec + t.usec / 1e6;
}

time_t utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

void expect_sound(const asd::Recording& rec, const std::string& name, bool closed) {
    SCOPED_TRACE(name);
    ASSERT_FALSE(rec.damage) << "damaged at " << rec.damage->offset << ": " << rec.damage->reason;
    ASSERT_FALSE(rec.records.empty());
    EXPECT_EQ(rec.ext.headerFlag, 1);
    const asd::Time first = record_time(rec.records.front());
    EXPECT_EQ(rec.base.start, first);
    if (closed) {
        EXPECT_EQ(rec.ending(), asd::Ending::Closed);
        EXPECT_EQ(rec.base.videoRecords, rec.count(asd::Kind::Video));
        EXPECT_EQ(rec.base.end, record_time(rec.records.back()));
    } else {
        EXPECT_EQ(rec.ending(), asd::Ending::NotClosed);
        EXPECT_EQ(rec.base.videoRecords, 0u);
        EXPECT_EQ(rec.base.end, first);
    }
}

void expect_peripherals_follow(const asd::Recording& rec, int channel, const std::string& name) {
    SCOPED_TRACE(name);
    for (size_t i = 1; i < rec.records.size(); ++i) {
        const asd::Kind kind = rec.records[i].kind();
        if (kind != asd::Kind::Gps && kind != asd::Kind::Accel) continue;
        size_t before = i - 1;
        // An accelerometer record may follow the GPS record written after the same frame.
        if (kind == asd::Kind::Accel && rec.records[before].kind() == asd::Kind::Gps) {
            if (before == 0) continue;
            --before;
        }
        const auto* video = std::get_if<asd::VideoRecord>(&rec.records[before].body);
        ASSERT_NE(video, nullptr) << asd::kind_name(kind) << " record " << i << " at "
                                  << rec.records[i].offset << " follows a "
                                  << asd::kind_name(rec.records[before].kind()) << " record";
        EXPECT_EQ(video->channel, channel)
            << asd::kind_name(kind) << " record " << i << " at " << rec.records[i].offset;
    }
}

void expect_audio_blocks(const asd::Recording& rec, const std::string& name) {
    SCOPED_TRACE(name);
    for (const auto& r : rec.records) {
        if (const auto* a = std::get_if<asd::AudioRecord>(&r.body)) {
            EXPECT_EQ(a->length, kAudioBlock) << "audio record at " << r.offset;
            EXPECT_EQ(r.size, 18 + kAudioBlock);
        }
    }
}

size_t video_count(const asd::Recording& rec, int channel) {
    size_t n = 0;
    for (const auto& r : rec.records) {
        const auto* v = std::get_if<asd::VideoRecord>(&r.body);
        if (v != nullptr && v->channel == channel) ++n;
    }
    return n;
}

std::vector<double> video_times(const asd::Recording& rec, int channel) {
    std::vector<double> out;
    for (const auto& r : rec.records) {
        const auto* v = std::get_if<asd::VideoRecord>(&r.body);
        if (v != nullptr && v->channel == channel) out.push_back(seconds(v->time));
    }
    return out;
}

std::vector<asd::GpsRecord> gps_records(const asd::Recording& rec) {
    std::vector<asd::GpsRecord> out;
    for (const auto& r : rec.records) {
        if (const auto* g = std::get_if<asd::GpsRecord>(&r.body)) out.push_back(*g);
    }
    return out;
}

void expect_paced(const std::vector<double>& times, double period, size_t at_least,
                  const std::string& what) {
    ASSERT_GE(times.size(), std::max<size_t>(at_least, 2)) << what;
    const double ticks = (times.back() - times.front()) / period;
    const double gaps = static_cast<double>(times.size() - 1);
    EXPECT_LE(gaps, ticks + 1) << what << ": more often than every " << period << " s";
    EXPECT_GE(gaps, ticks / 2) << what << ": not every " << period << " s, " << gaps
                               << " times over " << ticks << " periods";
}

}  // namespace e2e
