// What a card holds, read back from its files: the recordings with their sizes, times and
// records, the events of the recording index with the files they locked, the snapshots and the
// marker files the recorder leaves after a camera failure. `asdtool summary` prints it, and the
// simulated board prints it when a run ends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "asd_reader.hpp"
#include "card_index.hpp"

namespace asd {

// Audio is recorded as the device delivers it by default: 8000 one-byte samples a second.
constexpr unsigned kAudioBytesPerSecond = 8000;

struct FileSummary {
    std::string name;             // "rec00000003.asd"
    std::optional<size_t> index;  // 3; nothing for a name outside the ring's pattern
    std::string readError;        // why the file could not be read at all (Recording::readError)
    uint64_t size = 0;
    bool header = false;  // the file has a recording header
    bool closed = false;  // the header was completed when the file was closed
    Time start;
    Time end;  // the header's end time, or the last record's time in a file left open
    std::array<size_t, 2> frames{};  // video records by channel: 0 rear, 1 front
    size_t gps = 0;
    size_t accel = 0;
    uint64_t audioBytes = 0;
    std::optional<Damage> damage;
    std::optional<Lock> lock;  // from the recording index

    double seconds() const;
    double audio_seconds() const { return static_cast<double>(audioBytes) / kAudioBytesPerSecond; }
};

struct EventSummary {
    uint16_t generation = 0;
    uint8_t type = 0;
    std::vector<size_t> files;  // file indexes, in increasing order
};

struct SnapshotFile {
    std::string name;  // "001-1.jpg"
    uint64_t size = 0;
};

struct CardSummary {
    std::filesystem::path card;
    std::string error;  // set when the card's data directory cannot be read
    std::vector<FileSummary>
        files;  // in recording order: by start time, files without a header last
    std::optional<CardIndex> index;
    std::string indexError;
    std::vector<EventSummary> events;  // by generation, oldest first
    std::vector<SnapshotFile> snapshots;
    std::optional<int32_t> snapshotIndex;  // the snapshot set used after a restart (0..99)
    std::vector<std::string> markers;      // "data/sensorError" and the like, when present

    const FileSummary* file(size_t index) const;
};

// Reads the card mounted at `card` (the directory holding data/ and snapshot/).
CardSummary summarize_card(const std::filesystem::path& card);

// The summary as text for a person: a table of the files, totals, events, snapshots.
std::string format_summary(const CardSummary& summary);

// "rec%08d.asd" for a file index of the ring.
std::string recording_name(size_t index);

}  // namespace asd
