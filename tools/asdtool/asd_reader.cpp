#include "asd_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "le.hpp"
#include "scoped_fd.hpp"
#include "text_format.hpp"

namespace asd {

namespace {

constexpr size_t kBaseHeader = 28;
constexpr size_t kHeader = 84;
constexpr size_t kTagAndPrev = 6;
constexpr size_t kAccelSize = 22;
constexpr size_t kGpsSize = 94;
constexpr size_t kVideoHead = 26;
constexpr size_t kAudioHead = 18;
constexpr size_t kStaging = kLargestRecord;  // the writer builds every record in a buffer this size
constexpr uint32_t kMicrosPerSecond = 1000000;
static_assert(kHeader == kBaseHeader + 56);
static_assert(kAccelSize == kTagAndPrev + 16 && kGpsSize == kTagAndPrev + 88);
static_assert(kVideoHead == kTagAndPrev + 20 && kAudioHead == kTagAndPrev + 12);

using Bytes = std::span<const uint8_t>;

Time get_time(Bytes b, size_t off) {
    return {le::get_u32(b, off), le::get_u32(b, off + 4)};
}

std::string get_text(Bytes b, size_t off, size_t size) {
    auto field = b.subspan(off, size);
    size_t len = 0;
    while (len < field.size() && field[len] != 0) ++len;
    return std::string(field.begin(), field.begin() + static_cast<long>(len));
}

void parse_base_header(Bytes b, Recording& rec) {
    rec.base.quantiser = b[6];
    rec.base.videoRecords = le::get_u32(b, 8);
    rec.base.start = get_time(b, 12);
    rec.base.end = get_time(b, 20);
}

void parse_ext_header(Bytes b, Recording& rec) {
    Bytes ext = b.subspan(kBaseHeader);
    rec.ext.speedUnit = ext[0];
    rec.ext.usePassword = ext[1];
    rec.ext.tzIndex = ext[2];
    rec.ext.useDST = ext[3];
    rec.ext.password = get_text(ext, 4, 10);
    rec.ext.vehicleNumber = get_text(ext, 14, 39);
    rec.ext.headerFlag = ext[53];
}

// Record bodies; `r` spans the whole record. GPS record bytes k (k >= 4) are at r[k + 2].
AccelRecord decode_accel(Bytes r) {
    return {le::get_i16(r, 6), le::get_i16(r, 8), le::get_i16(r, 10), le::get_i16(r, 12),
            get_time(r, 14)};
}

GpsRecord decode_gps(Bytes r) {
    auto at = [](size_t recordByte) { return recordByte + 2; };
    GpsRecord g;
    g.status = static_cast<char>(r[at(4)]);
    g.latHemisphere = static_cast<char>(r[at(5)]);
    g.lonHemisphere = static_cast<char>(r[at(6)]);
    g.field8 = le::get_i32(r, at(8));
    g.headingGate = le::get_i32(r, at(12));
    g.heading = le::get_i32(r, at(16));
    g.key = le::get_i32(r, at(20));
    g.field12 = le::get_i32(r, at(24));
    g.latitude = get_text(r, at(28), 15);
    g.longitude = get_text(r, at(43), 17);
    g.received = get_time(r, at(60));
    g.year = le::get_i32(r, at(68));
    g.month = le::get_i32(r, at(72));
    g.day = le::get_i32(r, at(76));
    g.hour = le::get_i32(r, at(80));
    g.minute = le::get_i32(r, at(84));
    g.second = le::get_i32(r, at(88));
    return g;
}

class Parser {
  public:
    Parser(Bytes bytes, const ReadOptions& options, Recording& rec)
        : b_(bytes), options_(options), rec_(rec) {}

    void run() {
        if (header()) {
            size_t off = kHeader;
            uint32_t expectedPrev = 0;
            while (off < b_.size() && record(off, expectedPrev)) {
            }
        }
        if (!rec_.damage) {
            check_count();
        } else if (truncated_ && !rec_.closed()) {
            // The end of a file that was never closed cuts a record (or the header) short: the
            // write that the power interrupted. In a closed file the end is missing.
            rec_.cutShort = std::move(rec_.damage);
            rec_.damage.reset();
        }
        if (!rec_.damage && b_.size() >= kBaseHeader) check_header_times();
    }

  private:
    void damage(uint64_t offset, std::string reason) {
        rec_.damage = Damage{offset, std::move(reason)};
    }
    // The file ends inside the record at `offset`.
    void truncated(uint64_t offset, std::string reason) {
        damage(offset, std::move(reason));
        truncated_ = true;
    }

    bool header() {
        if (b_.empty()) return false;  // opened, never written
        if (b_[0] != 0x11 || (b_.size() > 1 && b_[1] != 0x08)) {
            damage(0, format("no recording header: file starts with 0x%02x 0x%02x, not 0x11 0x08",
                             b_[0], b_.size() > 1 ? b_[1] : 0));
            return false;
        }
        // The base header tells whether the file was closed, even when the rest is missing.
        if (b_.size() >= kBaseHeader) parse_base_header(b_, rec_);
        if (b_.size() < kHeader) {
            truncated(b_.size(), format("truncated header: %zu of %zu bytes", b_.size(), kHeader));
            return false;
        }
        parse_ext_header(b_, rec_);
        return true;
    }

    // The size of the record at `off` from its kind (and length field), 0 when it is damaged.
    size_t record_size(size_t off, uint8_t kind) {
        const size_t left = b_.size() - off;
        switch (kind) {
            case 0x00:
                return kAccelSize;
            case 0x02:
                return kGpsSize;
            case 0x01:
            case 0x03: {
                const size_t head = kind == 0x01 ? kVideoHead : kAudioHead;
                constexpr size_t lenAt = 14;        // the length field of both kinds
                if (left < lenAt + 4) return head;  // reported as truncated by the caller
                const uint32_t n = le::get_u32(b_, off + lenAt);
                if (n == 0 || n > kStaging - head) {
                    damage(off + lenAt,
                           format("%s record at %zu: length %u out of range 1..%zu",
                                  kind == 0x01 ? "video" : "audio", off, n, kStaging - head));
                    return 0;
                }
                return head + n;
            }
            default:
                return 0;
        }
    }

    bool record(size_t& off, uint32_t& expectedPrev) {
        const size_t left = b_.size() - off;
        if (left < kTagAndPrev) {
            truncated(
                off, format("truncated record at %zu: %zu bytes after the last record", off, left));
            return false;
        }
        const uint8_t kind = b_[off];
        if (kind > 0x03) {
            damage(off, format("unknown record kind 0x%02x at %zu", kind, off));
            return false;
        }
        if (b_[off + 1] != 0xFF) {
            damage(off + 1, format("record tag at %zu is 0x%02x 0x%02x, the second byte must be "
                                   "0xFF",
                                   off, kind, b_[off + 1]));
            return false;
        }
        const uint32_t prev = le::get_u32(b_, off + 2);
        if (prev != expectedPrev) {
            damage(off + 2, format("%s record at %zu: previous-record offset %u, expected %u",
                                   kind_name(static_cast<Kind>(kind)), off, prev, expectedPrev));
            return false;
        }
        const size_t size = record_size(off, kind);
        if (size == 0) return false;
        if (size > left) {
            truncated(off, format("truncated %s record at %zu: %zu bytes needed, %zu present",
                                  kind_name(static_cast<Kind>(kind)), off, size, left));
            return false;
        }
        Record rec;
        rec.offset = off;
        rec.size = static_cast<uint32_t>(size);
        rec.prevOffset = prev;
        rec.body = decode(b_.subspan(off, size), kind, off);
        if (!possible(rec)) return false;
        rec_.records.push_back(std::move(rec));
        expectedPrev = static_cast<uint32_t>(off);
        off += size;
        return true;
    }

    std::variant<AccelRecord, VideoRecord, GpsRecord, AudioRecord> decode(Bytes r, uint8_t kind,
                                                                          size_t off) {
        switch (kind) {
            case 0x00:
                return decode_accel(r);
            case 0x02:
                return decode_gps(r);
            case 0x01: {
                VideoRecord v;
                v.width = le::get_u16(r, 6);
                v.height = le::get_u16(r, 8);
                v.channel = r[10];
                v.length = le::get_u32(r, 14);
                v.time = get_time(r, 18);
                v.dataOffset = off + kVideoHead;
                if (options_.payloads) v.jpeg.assign(r.begin() + kVideoHead, r.end());
                return v;
            }
            default: {
                AudioRecord a;
                a.time = get_time(r, 6);
                a.length = le::get_u32(r, 14);
                a.dataOffset = off + kAudioHead;
                if (options_.payloads) a.samples.assign(r.begin() + kAudioHead, r.end());
                return a;
            }
        }
    }

    // Values the recorder never writes: the record is damaged there.
    bool possible(const Record& r) {
        const char* what = kind_name(r.kind());
        const auto [time, timeAt] = time_of(r);
        if (time.usec >= kMicrosPerSecond) {
            damage(r.offset + timeAt + 4,
                   format("%s record at %llu: time with %u microseconds", what,
                          static_cast<unsigned long long>(r.offset), time.usec));
            return false;
        }
        if (const auto* v = std::get_if<VideoRecord>(&r.body)) {
            if (v->channel > 1) {
                damage(r.offset + 10,
                       format("video record at %llu: channel %u, not 0 (rear) or 1 (front)",
                              static_cast<unsigned long long>(r.offset), v->channel));
                return false;
            }
            if (v->width == 0 || v->height == 0) {
                damage(r.offset + 6,
                       format("video record at %llu: picture of %ux%u pixels",
                              static_cast<unsigned long long>(r.offset), v->width, v->height));
                return false;
            }
        }
        return true;
    }

    // The time a record carries and where it stands in the record.
    static std::pair<Time, size_t> time_of(const Record& r) {
        if (const auto* v = std::get_if<VideoRecord>(&r.body)) return {v->time, 18};
        if (const auto* g = std::get_if<GpsRecord>(&r.body)) return {g->received, 62};
        if (const auto* a = std::get_if<AccelRecord>(&r.body)) return {a->time, 14};
        return {std::get<AudioRecord>(r.body).time, 6};
    }

    // The header's times, once the records are read: their microseconds, and a closed file that
    // ends before it starts.
    void check_header_times() {
        for (const auto& [time, at] :
             {std::pair{rec_.base.start, size_t{12}}, {rec_.base.end, 20}}) {
            if (time.usec >= kMicrosPerSecond) {
                damage(at + 4, format("header: %s time with %u microseconds",
                                      at == 12 ? "start" : "end", time.usec));
                return;
            }
        }
        const Time& start = rec_.base.start;
        const Time& end = rec_.base.end;
        if (end.sec < start.sec || (end.sec == start.sec && end.usec < start.usec)) {
            damage(20, format("header: end time %u.%06u before the start time %u.%06u", end.sec,
                              end.usec, start.sec, start.usec));
        }
    }

    // A completed header counts the video records; a count that disagrees means lost records.
    void check_count() {
        const size_t videos = rec_.count(Kind::Video);
        if (rec_.base.videoRecords != 0 && rec_.base.videoRecords != videos) {
            damage(8, format("header counts %u video records, the file holds %zu",
                             rec_.base.videoRecords, videos));
        }
    }

    Bytes b_;
    const ReadOptions& options_;
    Recording& rec_;
    bool truncated_ = false;
};

std::string not_a_file(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory, not a file";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device, not a file";
    if (S_ISFIFO(mode)) return "a pipe, not a file";
    return "not a regular file";
}

}  // namespace

Ending Recording::ending() const {
    if (fileSize == 0 && !damage && readError.empty()) return Ending::Empty;
    return base.videoRecords != 0 || !(base.end == base.start) ? Ending::Closed : Ending::NotClosed;
}

size_t Recording::count(Kind kind) const {
    size_t n = 0;
    for (const Record& r : records) n += r.kind() == kind ? 1 : 0;
    return n;
}

Recording parse(std::span<const uint8_t> bytes, const ReadOptions& options) {
    Recording rec;
    rec.fileSize = bytes.size();
    Parser(bytes, options, rec).run();
    return rec;
}

std::string read_regular_file(const std::string& path, uint64_t limit, const char* what,
                              std::vector<uint8_t>& bytes) {
    const auto too_large = [&](uint64_t size) {
        return format("%s longer than %llu bytes (%llu): not read", what,
                      static_cast<unsigned long long>(limit),
                      static_cast<unsigned long long>(size));
    };
    bytes.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return format("cannot open: %s", std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return not_a_file(st.st_mode);
    if (static_cast<uint64_t>(st.st_size) > limit) return too_large(st.st_size);
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0)
        return format("cannot open: %s", std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return not_a_file(st.st_mode);  // replaced since the stat
    // One byte more than the limit tells a file that grew past it.
    bytes.resize(static_cast<size_t>(std::min<uint64_t>(st.st_size, limit) + 1));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int error = errno;
            bytes.clear();
            return format("cannot read: %s", std::strerror(error));
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
        if (done == bytes.size() && done <= limit)
            bytes.resize(static_cast<size_t>(std::min<uint64_t>(2 * done, limit + 1)));
    }
    if (done > limit) {
        bytes.clear();
        ::fstat(fd.get(), &st);  // it grew while it was read
        return too_large(std::max<uint64_t>(st.st_size, done));
    }
    bytes.resize(done);
    return "";
}

Recording read_file(const std::string& path, const ReadOptions& options) {
    std::vector<uint8_t> bytes;
    std::string why = read_regular_file(path, kMaxRecordingBytes, "recording", bytes);
    if (!why.empty()) {
        Recording rec;
        rec.readError = std::move(why);
        return rec;
    }
    return parse(bytes, options);
}

const char* kind_name(Kind kind) {
    switch (kind) {
        case Kind::Accel:
            return "accelerometer";
        case Kind::Video:
            return "video";
        case Kind::Gps:
            return "GPS";
        case Kind::Audio:
            return "audio";
    }
    return "unknown";
}

const char* ending_name(Ending ending) {
    switch (ending) {
        case Ending::Closed:
            return "closed";
        case Ending::NotClosed:
            return "not closed (power lost)";
        case Ending::Empty:
            return "empty (opened, never written)";
    }
    return "unknown";
}

}  // namespace asd
