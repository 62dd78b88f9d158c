#include "view_card.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "recording_export.hpp"
#include "scoped_fd.hpp"

namespace asd::view {

namespace {

constexpr size_t kHeaderBytes = 84;

Stamp stamp_of(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_size),
            int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

std::optional<Stamp> stamp_of(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return stamp_of(st);
}

// Reads up to `limit` bytes of the file from its start; "" or why not. `stamp` is the file's as
// the bytes were read.
std::string read_bytes(const fs::path& path, uint64_t limit, std::vector<uint8_t>& bytes,
                       Stamp& stamp) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        return std::string("cannot open: ") + std::strerror(errno);
    }
    if (!S_ISREG(st.st_mode)) return "not a file";
    stamp = stamp_of(st);
    if (limit == Card::kMaxFile && stamp.size > limit) {
        return "larger than any recording (" + std::to_string(stamp.size) + " bytes): not read";
    }
    bytes.resize(static_cast<size_t>(std::min<uint64_t>(stamp.size, limit)));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pread(fd.get(), bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::string("cannot read: ") + std::strerror(errno);
        if (n == 0) break;  // the file got shorter: what is there
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return "";
}

bool earlier(Time a, Time b) {
    return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
}

int64_t micros(Time t) {
    return int64_t{t.sec} * 1000000 + t.usec;
}

Time record_time(const Record& r) {
    if (const auto* v = std::get_if<VideoRecord>(&r.body)) return v->time;
    if (const auto* g = std::get_if<GpsRecord>(&r.body)) return g->received;
    if (const auto* a = std::get_if<AccelRecord>(&r.body)) return a->time;
    return std::get<AudioRecord>(r.body).time;
}

// The file index of "rec%08d.asd".
std::optional<size_t> ring_index(const std::string& name) {
    constexpr size_t kDigits = 8;
    if (name.size() != 3 + kDigits + 4 || name.rfind("rec", 0) != 0 ||
        name.compare(3 + kDigits, 4, ".asd") != 0)
        return std::nullopt;
    size_t value = 0;
    const char* first = name.data() + 3;
    const auto [ptr, ec] = std::from_chars(first, first + kDigits, value);
    if (ec != std::errc() || ptr != first + kDigits) return std::nullopt;
    return value;
}

std::vector<EventInfo> events_of(const CardIndex& index) {
    std::map<std::pair<uint16_t, uint8_t>, std::vector<size_t>> groups;
    for (size_t i = 0; i < index.entries.size(); ++i) {
        if (const auto lock = index.lock_of(i)) groups[{lock->generation, lock->type}].push_back(i);
    }
    std::vector<EventInfo> events;
    for (auto& [key, files] : groups) events.push_back({key.first, key.second, std::move(files)});
    return events;
}

// The names of the directory's entries that end with `extension`, sorted.
std::vector<std::string> names_in(const fs::path& dir, const std::string& extension,
                                  std::string& error) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) {
        error = ec.message();
        return names;
    }
    for (const fs::directory_entry& entry : it) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() == extension) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

int64_t Playable::at(Time t) const {
    return std::max<int64_t>(0, micros(t) - micros(origin));
}

const VideoRecord* Playable::frame_at(int channel, int64_t us, size_t* number) const {
    const auto& list = frames[channel == 0 ? 0 : 1];
    if (list.empty()) return nullptr;
    auto it = std::upper_bound(list.begin(), list.end(), us,
                               [](int64_t t, const Frame& f) { return t < f.us; });
    if (it != list.begin()) --it;
    if (number != nullptr) *number = static_cast<size_t>(it - list.begin());
    return &std::get<VideoRecord>(rec.records[it->record].body);
}

std::optional<Jolt> largest_jolt(const Recording& rec) {
    std::vector<const AccelRecord*> samples;
    for (const Record& r : rec.records) {
        if (const auto* a = std::get_if<AccelRecord>(&r.body)) samples.push_back(a);
    }
    if (samples.size() < 2) return std::nullopt;
    // Each axis's median is where the car usually is (gravity on one of them): an impact is the
    // sample farthest from it. The recovery after a short impact is as steep as the impact
    // itself, so the step between two samples would not tell them apart.
    const auto median = [&](int16_t AccelRecord::*axis) {
        std::vector<int> v;
        for (const AccelRecord* a : samples) v.push_back(a->*axis);
        std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    const int mx = median(&AccelRecord::x), my = median(&AccelRecord::y),
              mz = median(&AccelRecord::z);
    std::optional<Jolt> best;
    for (const AccelRecord* a : samples) {
        const int away = std::max({std::abs(a->x - mx), std::abs(a->y - my), std::abs(a->z - mz)});
        if (!best || away > best->step) best = Jolt{a->time, away};
    }
    return best;
}

Card::Card(const fs::path& root) {
    std::error_code ec;
    root_ = fs::canonical(root, ec);
    if (ec) root_ = fs::absolute(root).lexically_normal();
}

ListedFile Card::listed(const std::string& name) {
    ListedFile f;
    f.name = name;
    f.index = ring_index(name);
    const CardPath where = resolve("data", name);
    if (where.verdict != PathVerdict::Ok) {
        f.problem = where.why;
        return f;
    }
    const auto stamp = stamp_of(where.path);
    {
        std::lock_guard lock(mutex_);
        if (auto it = headers_.find(where.path);
            it != headers_.end() && stamp && it->second.first == *stamp) {
            return it->second.second;
        }
    }
    std::vector<uint8_t> bytes;
    Stamp read{};
    f.problem = read_bytes(where.path, kHeaderBytes, bytes, read);
    f.size = read.size;
    if (f.problem.empty() && !bytes.empty()) {
        // The header alone: the reader decodes it and finds no records after it.
        Recording rec = parse(bytes);
        rec.fileSize = read.size;
        f.header = bytes.size() == kHeaderBytes && !(rec.damage && rec.damage->offset == 0);
        if (f.header) {
            f.closed = rec.closed();
            f.start = rec.base.start;
            f.end = rec.base.end;
        } else if (rec.damage) {
            f.problem = rec.damage->reason;
        } else if (rec.cutShort) {
            f.problem = rec.cutShort->reason;
        }
    }
    std::lock_guard lock(mutex_);
    headers_[where.path] = {read, f};
    return f;
}

Listing Card::list() {
    Listing l;
    std::string error;
    const std::vector<std::string> names = names_in(root_ / "data", ".asd", error);
    if (!error.empty()) {
        std::error_code ec;
        l.error = fs::exists(root_ / "data", ec) ? "cannot read data/: " + error
                                                 : "no data/ directory: no recordings here";
    }
    for (const std::string& name : names) {
        l.files.push_back(listed(name));
        l.bytes += l.files.back().size;
    }
    std::sort(l.files.begin(), l.files.end(), [](const ListedFile& a, const ListedFile& b) {
        if (a.header != b.header) return a.header;
        if (a.header && !(a.start == b.start)) return earlier(a.start, b.start);
        return a.name < b.name;
    });
    if (const CardPath where = resolve("data", "recinfo"); where.verdict == PathVerdict::Ok) {
        l.index = read_index(where.path.string(), l.indexError);
        // The page names the card's files relative to the card.
        const std::string full = where.path.string();
        if (const size_t at = l.indexError.find(full); at != std::string::npos)
            l.indexError.replace(at, full.size(), "data/recinfo");
    } else {
        l.indexError = "data/recinfo: " + where.why;
    }
    if (l.index) {
        l.events = events_of(*l.index);
        for (ListedFile& f : l.files) {
            if (f.index) f.lock = l.index->lock_of(*f.index);
        }
    }
    std::string ignored;
    for (const std::string& name : names_in(root_ / "snapshot", ".jpg", ignored)) {
        const CardPath where = resolve("snapshot", name);
        if (where.verdict != PathVerdict::Ok) continue;
        std::error_code ec;
        l.snapshots.push_back({name, fs::file_size(where.path, ec)});
    }
    return l;
}

std::shared_ptr<const FileDetails> Card::details(const CardPath& where) {
    // One file read at a time: a second request for the same file finds it read.
    std::lock_guard loading(loadingDetails_);
    const auto stamp = stamp_of(where.path);
    {
        std::lock_guard lock(mutex_);
        if (auto it = details_.find(where.path);
            it != details_.end() && stamp && it->second.first == *stamp) {
            return it->second.second;
        }
    }
    auto d = std::make_shared<FileDetails>();
    std::vector<uint8_t> bytes;
    Stamp read{};
    d->problem = read_bytes(where.path, kMaxFile, bytes, read);
    if (d->problem.empty()) {
        const Recording rec = parse(bytes);
        d->ending = rec.ending();
        d->damage = rec.damage;
        d->cutShort = rec.cutShort;
        d->jolt = largest_jolt(rec);
        for (const Record& r : rec.records) {
            if (const auto* v = std::get_if<VideoRecord>(&r.body)) {
                ++d->frames[v->channel == 0 ? 0 : 1];
            } else if (const auto* g = std::get_if<GpsRecord>(&r.body)) {
                ++d->gps;
                if (g->status == 'A' && gps_degrees(g->latitude, g->latHemisphere, false) &&
                    gps_degrees(g->longitude, g->lonHemisphere, true))
                    ++d->gpsPoints;
            } else if (std::holds_alternative<AccelRecord>(r.body)) {
                ++d->accel;
            } else {
                d->audioBytes += std::get<AudioRecord>(r.body).length;
            }
            if (earlier(d->last, record_time(r))) d->last = record_time(r);
        }
    }
    std::lock_guard lock(mutex_);
    details_[where.path] = {read, d};
    return d;
}

std::shared_ptr<const Playable> Card::playable(const CardPath& where, std::string& why) {
    std::lock_guard loading(loadingPlayable_);
    const auto stamp = stamp_of(where.path);
    {
        std::lock_guard lock(mutex_);
        for (auto it = playables_.begin(); it != playables_.end(); ++it) {
            if (it->first != where.path) continue;
            if (stamp && it->second.first == *stamp) {
                playables_.splice(playables_.begin(), playables_, it);  // the most recent first
                return it->second.second;
            }
            playables_.erase(it);
            break;
        }
    }
    std::vector<uint8_t> bytes;
    Stamp read{};
    why = read_bytes(where.path, kMaxFile, bytes, read);
    if (!why.empty()) return nullptr;
    auto p = std::make_shared<Playable>();
    p->name = where.path.filename().string();
    p->rec = parse(bytes, {.payloads = true});
    p->rec.fileSize = read.size;
    if (p->rec.fileSize < kHeaderBytes || (p->rec.damage && p->rec.damage->offset == 0)) {
        why = p->rec.fileSize == 0 ? "empty: opened, never written"
              : p->rec.damage      ? p->rec.damage->reason
                                   : "no whole recording header";
        return nullptr;
    }
    p->origin = p->rec.base.start;
    std::vector<AudioBlock> audio;
    for (size_t i = 0; i < p->rec.records.size(); ++i) {
        const Record& r = p->rec.records[i];
        const int64_t us = p->at(record_time(r));
        p->durationUs = std::max(p->durationUs, us);
        if (const auto* v = std::get_if<VideoRecord>(&r.body)) {
            p->frames[v->channel == 0 ? 0 : 1].push_back({us, i});
        } else if (const auto* a = std::get_if<AudioRecord>(&r.body)) {
            audio.push_back({us, a->samples});
        }
    }
    for (auto& list : p->frames) {
        std::stable_sort(
            list.begin(), list.end(),
            [](const Playable::Frame& a, const Playable::Frame& b) { return a.us < b.us; });
    }
    p->wav = WavTrack::layout(audio, p->durationUs);
    p->jolt = largest_jolt(p->rec);
    std::lock_guard lock(mutex_);
    playables_.push_front({where.path, {read, p}});
    if (playables_.size() > kPlayables) playables_.pop_back();
    return p;
}

}  // namespace asd::view
