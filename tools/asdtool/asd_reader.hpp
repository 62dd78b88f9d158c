// Reads recording files ("rec%08d.asd") forward and decodes every record.
//
// A file is an 84-byte header (28-byte base header, 56-byte extended header with the user's
// settings) followed by records. Each record starts with its kind and 0xFF, then the file offset
// of the record before it (0 for the first). The reader checks every tag, size and previous-record
// offset; at the first byte that does not fit it stops and reports that offset and why, so a
// truncated or damaged file yields the records before the damage and a clear reason.
//
// Two states of a file are normal in the ring and not damage: a file that was opened but never
// written (0 bytes: recording stopped before its first record, as at a reboot or a mode change),
// and a file that was never closed (the power went while it was recorded: its header still has a
// video count of 0 and the start time as end time, and its last record may be cut short).
//
// Values the recorder cannot write are damage too: a time with a million microseconds or more, an
// end time before the start time, a video record of a channel other than the two cameras or of a
// picture without width or height.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace asd {

// The recorder changes files before one would pass 20 MiB; a file's first record comes on top of
// its header, and a record is at most the writer's staging buffer.
constexpr uint64_t kMaxFileSize = 20971520;
constexpr uint64_t kLargestRecord = 102400;
constexpr uint64_t kMaxRecordingBytes = kMaxFileSize + kLargestRecord;

struct Time {
    uint32_t sec = 0;
    uint32_t usec = 0;
    bool operator==(const Time&) const = default;
};

struct BaseHeader {
    uint8_t quantiser = 0;
    uint32_t videoRecords = 0;  // 0 until the file was closed
    Time start;
    Time end;  // equal to start until the file was closed
};

struct ExtHeader {
    uint8_t speedUnit = 0;
    uint8_t usePassword = 0;
    uint8_t tzIndex = 0;
    uint8_t useDST = 0;
    std::string password;
    std::string vehicleNumber;
    uint8_t headerFlag = 0;
};

enum class Kind : uint8_t { Accel = 0x00, Video = 0x01, Gps = 0x02, Audio = 0x03 };

struct VideoRecord {
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t channel = 0;  // 0 rear camera, 1 front camera
    uint32_t length = 0;  // JPEG bytes
    Time time;
    uint64_t dataOffset = 0;    // file offset of the JPEG bytes
    std::vector<uint8_t> jpeg;  // filled when payloads are loaded
};

struct GpsRecord {
    char status = 'V';  // 'A' valid fix
    char latHemisphere = 'N';
    char lonHemisphere = 'E';
    int32_t field8 = 0;
    int32_t headingGate = 0;
    int32_t heading = 0;
    int32_t key = 255;
    int32_t field12 = 0;
    std::string latitude;
    std::string longitude;
    Time received;
    int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

struct AccelRecord {
    int16_t x = 0, y = 0, z = 0, w = 0;
    Time time;
};

struct AudioRecord {
    Time time;
    uint32_t length = 0;
    uint64_t dataOffset = 0;
    std::vector<uint8_t> samples;  // filled when payloads are loaded
};

struct Record {
    uint64_t offset = 0;      // where the record begins in the file
    uint32_t size = 0;        // bytes of the whole record
    uint32_t prevOffset = 0;  // as stored
    std::variant<AccelRecord, VideoRecord, GpsRecord, AudioRecord> body;

    // The variant's alternatives are in the order of the kind codes.
    Kind kind() const { return static_cast<Kind>(body.index()); }
};

struct Damage {
    uint64_t offset = 0;  // first byte that does not fit
    std::string reason;
};

// How the recording of a file ended, as its header shows it.
enum class Ending : uint8_t {
    Closed,     // the header was completed when the file was closed
    NotClosed,  // never closed: the power went while it was recorded (count 0, end = start)
    Empty,      // opened but never written: no header, no records
};

struct Recording {
    // Set when the file could not be read at all (missing, unreadable, not a regular file, larger
    // than any recording): nothing was decoded, and the file is neither empty nor damaged.
    std::string readError;
    uint64_t fileSize = 0;
    BaseHeader base;
    ExtHeader ext;
    std::vector<Record> records;
    std::optional<Damage> damage;  // set when the file is truncated or corrupt
    // A file that was not closed whose last record runs past the end of the file: the write
    // that the power cut short. Not damage; the records before it are whole.
    std::optional<Damage> cutShort;

    Ending ending() const;
    // True when the header was completed at close (its count is then checked against the file).
    bool closed() const { return ending() == Ending::Closed; }
    size_t count(Kind kind) const;
};

struct ReadOptions {
    bool payloads = false;  // copy JPEG and audio bytes into the records
};

// Decodes a recording held in memory.
Recording parse(std::span<const uint8_t> bytes, const ReadOptions& options = {});

// Reads and decodes a file. A file that cannot be read, is not a regular file or is larger than
// kMaxRecordingBytes is not decoded: `readError` says why (read_regular_file).
Recording read_file(const std::string& path, const ReadOptions& options = {});

// Reads a regular file of at most `limit` bytes whole; "" or why not: "cannot open: ...", "a
// directory, not a file", "<what> longer than <limit> bytes (<size>): not read". What is not a
// regular file or is larger is refused before anything is read, and opening never blocks.
std::string read_regular_file(const std::string& path, uint64_t limit, const char* what,
                              std::vector<uint8_t>& bytes);

const char* kind_name(Kind kind);
// "closed", "not closed (power lost)", "empty (opened, never written)".
const char* ending_name(Ending ending);

}  // namespace asd
