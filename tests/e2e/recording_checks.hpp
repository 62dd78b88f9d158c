// What the recording files of every run must show, whatever the scenario, and the facts about
// them that the scenarios judge.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "asd_reader.hpp"

namespace e2e {

constexpr uint32_t kMaxFileSize = 20971520;  // 20 MiB
constexpr uint32_t kAudioBlock = 8192;
constexpr int kRear = 0;
constexpr int kFront = 1;

asd::Time record_time(const asd::Record& record);
double seconds(asd::Time t);
// Seconds since 1970 of a UTC date.
time_t utc(int year, int month, int day, int hour, int minute, int second);

// The file is intact (every tag, size and previous-record offset) and its header agrees with its
// records: a closed file counts its video records and spans the times of its first and last
// record; a file that was not closed (power lost) has a count of 0 and its first record's time
// as start and end.
void expect_sound(const asd::Recording& rec, const std::string& name, bool closed);

// GPS and accelerometer records are written right after a video record of `channel`: at most one
// of each, the GPS record first. The first record of a file may be one of them (the record that
// would have followed the last video record of the file before).
void expect_peripherals_follow(const asd::Recording& rec, int channel, const std::string& name);

// Every audio record holds one block of 8192 samples.
void expect_audio_blocks(const asd::Recording& rec, const std::string& name);

size_t video_count(const asd::Recording& rec, int channel);
std::vector<double> video_times(const asd::Recording& rec, int channel);
std::vector<asd::GpsRecord> gps_records(const asd::Recording& rec);
// The times (at least `at_least` of them) come from something that ticks every `period` seconds
// and acts on a tick unless it is still busy with the last. Judged over the whole span, never
// from single gaps, which a busy machine or build stretches: no more times than ticks over the
// span (one more for its ends), and not fewer than half the ticks. Two periods a factor of three
// apart fail each other's check.
void expect_paced(const std::vector<double>& times, double period, size_t at_least,
                  const std::string& what);

}  // namespace e2e
