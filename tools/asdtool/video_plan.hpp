// Where every record of a set of recording files goes on one clip's time line.
//
// A clip is made of consecutive files of the ring, ordered by their start time. Its time runs in
// microseconds from its first moment (the first video frame, or the start of the first audio
// block if that is earlier) and follows the records' own times: frames come at the pace they were
// recorded, slow where the recorder slowed down (parking: one or three frames a second), and a
// pause between files stays a pause. Two things are not followed, because no player could make
// sense of them: a pause longer than kLongestPause (the box was off) is shortened to
// kShortenedPause, and a time that steps back (the clock was set back) continues after a
// kShortenedPause too; both are noted for the user. Within a camera, frame times strictly
// increase.
//
// Audio blocks are written when their 8192 samples have been read, so a block covers the time
// before its record's time. Blocks are laid end to end at 8000 samples a second; a block that
// starts later than the one before ended (recording paused, a block dropped) starts where its
// time says, and the hole is silence.
//
// The plan holds no payloads: the writers read the files again with payloads, in the plan's order,
// and find each record by its file and record number.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "asd_reader.hpp"

namespace asd::video {

constexpr uint32_t kAudioRate = 8000;             // samples a second, one byte each
constexpr int64_t kLongestPause = 60'000'000;     // microseconds
constexpr int64_t kShortenedPause = 1'000'000;    // what a longer pause becomes
constexpr int64_t kClockStepBack = 5'000'000;     // a step back further than this is noted
constexpr int64_t kAudioSlack = kAudioRate / 10;  // samples a block may start late, not a hole
constexpr int32_t kCountsPerG = 1024;             // accelerometer counts of 1 g

// One recording file: its name for messages and what the reader made of it (without payloads).
struct Input {
    std::string path;
    Recording rec;
};

struct FrameRef {
    size_t file = 0;    // index into the plan's inputs
    size_t record = 0;  // index into that file's records
    int64_t at = 0;     // microseconds from the clip's start
};

struct AudioRef {
    size_t file = 0;
    size_t record = 0;
    int64_t sample = 0;  // the block's first sample, counted from the clip's start
    uint32_t length = 0;
};

struct GpsPoint {
    int64_t at = 0;
    Time time;  // as recorded (the box's clock)
    GpsRecord gps;
};

struct AccelPoint {
    int64_t at = 0;
    Time time;
    int16_t x = 0, y = 0, z = 0;
};

// A moment the clip marks: an impact the accelerometer felt.
struct Mark {
    int64_t at = 0;
    std::string label;  // "IMPACT"
};

struct Plan {
    std::vector<Input> inputs;  // the files with a recording in them, by start time
    std::array<std::vector<FrameRef>, 2> frames;  // by channel: 0 rear, 1 front
    std::vector<AudioRef> audio;                  // in order, not overlapping
    std::vector<GpsPoint> gps;                    // every GPS record, in order
    std::vector<AccelPoint> accel;                // every accelerometer record, in order
    std::vector<Mark> marks;
    int64_t start = 0;               // real time of the clip's start (microseconds since 1970)
    int64_t end = 0;                 // where the last video frame is
    std::vector<std::string> notes;  // pauses shortened, clock set back, files left out

    // The box's clock at `at`: real time for the picture's caption.
    Time time_at(int64_t at) const;
    // Clip time where real time continues without a jump: (clip time, real time) at each
    // shortened pause or clock step, the first one at 0.
    std::vector<std::pair<int64_t, int64_t>> segments;

    size_t video_frames() const { return frames[0].size() + frames[1].size(); }
    int64_t audio_samples() const {
        return audio.empty() ? 0 : audio.back().sample + audio.back().length;
    }
};

// Orders `inputs` by start time, leaves out those without records (with a note) and places every
// record. Nothing when no file has a record.
std::optional<Plan> plan_clip(std::vector<Input> inputs, std::string& error);

// The accelerometer samples whose change from the sample before crosses the recorder's default
// impact thresholds (800 counts on X and Y, 1200 on Z): where it would have seen an impact.
std::vector<int64_t> impact_moments(const Plan& plan);
// The sample with the largest change from the sample before, when there are two samples or more:
// the impact of an impact event, whatever sensitivity the recorder had.
std::optional<int64_t> strongest_jolt(const Plan& plan);

// Reads the plan's files again with their payloads and hands every planned record to `visit`, in
// the plan's order. "" or why not: a file that cannot be read again or no longer holds the
// records it held when it was planned, or what `visit` returned.
std::string for_each_record(
    const Plan& plan,
    const std::function<std::string(size_t file, size_t record, const Record& r)>& visit);

// Walks the plan's audio as one stream of samples for a writer: the blocks where the plan put
// them, silence in the holes between them. The stream starts with the first block.
class AudioCursor {
  public:
    explicit AudioCursor(const Plan& plan);
    // Silence that may go out now that the pictures have reached sample `upto`: the part of the
    // hole before the next block up to there, at least kAudioSlack samples at a time (or the
    // rest of the hole). 0 when there is none to write yet.
    int64_t silence_until(int64_t upto);
    // The block of (file, record) comes: the silence to write before it (nothing when it is not
    // the next block of the plan).
    std::optional<int64_t> block(size_t file, size_t record);
    // Samples written so far, from the clip's start: where the next silence or block begins.
    int64_t position() const { return position_; }

  private:
    const Plan& plan_;
    size_t next_ = 0;
    int64_t position_ = 0;
};

// Microseconds of a time, and back.
int64_t micros(Time t);
Time time_of(int64_t micros);

}  // namespace asd::video
