// The card as the viewer reads it, lazily, through the recording reader.
//
// Opening a card reads the 84-byte header of every recording (start, end, closed or not), the
// recording index and the snapshot directory: a card of 1,400 files lists in a fraction of a
// second. What only a file's records tell (frames per camera, GPS points, accelerometer
// samples, the strongest jolt) is read when it is asked for, one file at a time, and kept until
// the file changes. A recording being played is held whole, with its frames and samples, for
// the few files the viewer moves between.
//
// Every file is reached through resolve_below(): nothing above the card is ever opened.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "asd_reader.hpp"
#include "card_index.hpp"
#include "view_paths.hpp"
#include "view_wav.hpp"

namespace asd::view {

// A file's identity for the caches: a file rewritten by the recorder gets another one.
struct Stamp {
    uint64_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const Stamp&) const = default;
};

// The accelerometer sample farthest, on one axis, from where that axis usually is in the file
// (its median): where an impact is, in the files an impact locked.
struct Jolt {
    Time time;
    int step = 0;  // chip counts (1024 a g) away from the median
};

// One recording as its header tells it.
struct ListedFile {
    std::string name;             // "rec00000003.asd"
    std::optional<size_t> index;  // 3; nothing outside the ring's pattern
    uint64_t size = 0;
    bool header = false;  // a recording header is there
    bool closed = false;
    Time start;
    Time end;                  // the start time too in a file that was never closed
    std::optional<Lock> lock;  // from the recording index
    std::string problem;       // why the file could not be read, "" when it could
};

// What a recording's records tell.
struct FileDetails {
    std::array<size_t, 2> frames{};  // by channel: 0 rear, 1 front
    size_t gps = 0;
    size_t gpsPoints = 0;  // GPS records with a valid fix and position
    size_t accel = 0;
    uint64_t audioBytes = 0;
    Time last;  // the latest record's time
    Ending ending = Ending::Closed;
    std::optional<Damage> damage;
    std::optional<Damage> cutShort;
    std::optional<Jolt> jolt;
    std::string problem;  // the file could not be read at all
};

struct EventInfo {
    uint16_t generation = 0;
    uint8_t type = 0;
    std::vector<size_t> files;  // ring indexes, increasing
};

struct Snapshot {
    std::string name;  // "001-1.jpg"
    uint64_t size = 0;
};

struct Listing {
    std::vector<ListedFile> files;  // in recording order: by start time, headerless files last
    std::string error;              // the data directory cannot be read
    std::optional<CardIndex> index;
    std::string indexError;
    std::vector<EventInfo> events;  // oldest first
    std::vector<Snapshot> snapshots;
    uint64_t bytes = 0;  // of the recordings
};

// A recording ready to play: the reader's records with their payloads, on a time line that
// starts at the recording's start (microseconds after it).
struct Playable {
    struct Frame {
        int64_t us = 0;
        size_t record = 0;  // in rec.records
    };

    std::string name;
    Recording rec;
    Time origin;
    int64_t durationUs = 0;
    std::array<std::vector<Frame>, 2> frames;  // by channel, in time order
    WavTrack wav;
    std::optional<Jolt> jolt;

    int64_t at(Time t) const;
    // The frame of `channel` on screen at `us`: the last one at or before it, else the first.
    const VideoRecord* frame_at(int channel, int64_t us, size_t* number = nullptr) const;
};

// The largest accelerometer jolt of a recording, if it has two samples.
std::optional<Jolt> largest_jolt(const Recording& rec);

class Card {
  public:
    // `root` is the card's directory; it is made canonical here.
    explicit Card(const fs::path& root);

    const fs::path& root() const { return root_; }
    // `name` in the card's directory `dir` ("data", "snapshot").
    CardPath resolve(std::string_view dir, std::string_view name) const {
        return resolve_below(root_, dir, name);
    }

    // The card's files, index and snapshots (headers only).
    Listing list();
    // The records' counts of one recording, `where` resolved by resolve().
    std::shared_ptr<const FileDetails> details(const CardPath& where);
    // A recording to play; nullptr and `why` when it cannot be read.
    std::shared_ptr<const Playable> playable(const CardPath& where, std::string& why);

    // Largest file the viewer reads: far above the recorder's 20 MiB.
    static constexpr uint64_t kMaxFile = 64u << 20;
    // Recordings kept whole: the one playing and those around it.
    static constexpr size_t kPlayables = 3;

  private:
    ListedFile listed(const std::string& name);

    fs::path root_;
    std::mutex loadingDetails_;   // held while a file's details are read
    std::mutex loadingPlayable_;  // held while a recording is looked up or read whole
    std::mutex mutex_;            // the caches
    std::map<fs::path, std::pair<Stamp, ListedFile>> headers_;
    std::map<fs::path, std::pair<Stamp, std::shared_ptr<const FileDetails>>> details_;
    std::list<std::pair<fs::path, std::pair<Stamp, std::shared_ptr<const Playable>>>> playables_;
};

}  // namespace asd::view
