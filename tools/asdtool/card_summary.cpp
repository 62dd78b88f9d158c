#include "card_summary.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>
#include <utility>

#include "le.hpp"
#include "text_format.hpp"

namespace asd {

namespace fs = std::filesystem;

namespace {

// Marker files the recorder leaves in data/ when a camera failed, and what they mean.
constexpr std::array<std::pair<const char*, const char*>, 2> kMarkers = {{
    {"sensorError", "the front camera failed: recording stopped"},
    {"Rear_sensorError", "the rear camera failed to deliver a frame"},
}};

[[gnu::format(printf, 2, 3)]] void appendf(std::string& out, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    out += vformat(fmt, args);
    va_end(args);
}

double seconds_of(Time t) {
    return static_cast<double>(t.sec) + static_cast<double>(t.usec) / 1e6;
}

bool earlier(Time a, Time b) {
    return a.sec != b.sec ? a.sec < b.sec : a.usec < b.usec;
}

// "20.0M", "512K", "100B": sizes that fit a narrow column.
std::string short_size(uint64_t bytes) {
    char text[32];
    if (bytes >= (1ull << 20)) {
        std::snprintf(text, sizeof text, "%.1fM", static_cast<double>(bytes) / (1 << 20));
    } else if (bytes >= 1024) {
        std::snprintf(text, sizeof text, "%.0fK", static_cast<double>(bytes) / 1024);
    } else {
        std::snprintf(text, sizeof text, "%lluB", static_cast<unsigned long long>(bytes));
    }
    return text;
}

std::string long_size(uint64_t bytes) {
    const std::string s = short_size(bytes);
    const char unit = s.back();
    return s.substr(0, s.size() - 1) + (unit == 'M' ? " MiB" : unit == 'K' ? " KiB" : " bytes");
}

// The file index of "rec%08d.asd".
std::optional<size_t> index_of(const std::string& name) {
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

FileSummary summarize_file(const fs::path& path) {
    FileSummary f;
    f.name = path.filename().string();
    f.index = index_of(f.name);
    const Recording rec = read_file(path.string());
    f.readError = rec.readError;
    if (!f.readError.empty()) return f;
    f.size = rec.fileSize;
    f.damage = rec.damage;
    f.header = rec.fileSize >= 84 && !(rec.damage && rec.damage->offset == 0);
    if (!f.header) return f;
    f.closed = rec.closed();
    f.start = rec.base.start;
    f.end = rec.base.end;
    for (const Record& r : rec.records) {
        Time t{};
        if (const auto* v = std::get_if<VideoRecord>(&r.body)) {
            ++f.frames[v->channel == 0 ? 0 : 1];
            t = v->time;
        } else if (const auto* g = std::get_if<GpsRecord>(&r.body)) {
            ++f.gps;
            t = g->received;
        } else if (const auto* a = std::get_if<AccelRecord>(&r.body)) {
            ++f.accel;
            t = a->time;
        } else if (const auto* s = std::get_if<AudioRecord>(&r.body)) {
            f.audioBytes += s->length;
            t = s->time;
        }
        // A file left open has no end time in its header: its last record tells how far it got.
        if (!f.closed && earlier(f.end, t)) f.end = t;
    }
    return f;
}

std::vector<FileSummary> summarize_files(const fs::path& data, std::string& error) {
    std::vector<FileSummary> files;
    std::error_code ec;
    if (!fs::exists(data, ec) && !ec) {
        error = "no data/ directory: no recordings here";
        return files;
    }
    fs::directory_iterator it(data, ec);
    if (ec) {
        error = "cannot read " + data.string() + ": " + ec.message();
        return files;
    }
    for (const fs::directory_entry& entry : it) {
        // Whatever bears a recording's name is listed, also what is no file (the reader says
        // what it is): the recorder cannot use its name.
        if (entry.path().extension() != ".asd") continue;
        files.push_back(summarize_file(entry.path()));
    }
    std::sort(files.begin(), files.end(), [](const FileSummary& a, const FileSummary& b) {
        if (a.header != b.header) return a.header;
        if (a.header && !(a.start == b.start)) return earlier(a.start, b.start);
        return a.name < b.name;
    });
    return files;
}

std::vector<EventSummary> events_of(const CardIndex& index) {
    std::map<std::pair<uint16_t, uint8_t>, std::vector<size_t>> groups;
    for (size_t i = 0; i < index.entries.size(); ++i) {
        if (const auto lock = index.lock_of(i)) groups[{lock->generation, lock->type}].push_back(i);
    }
    std::vector<EventSummary> events;
    for (auto& [key, files] : groups) events.push_back({key.first, key.second, std::move(files)});
    return events;
}

std::vector<SnapshotFile> snapshots_in(const fs::path& dir) {
    std::vector<SnapshotFile> shots;
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    if (ec) return shots;
    for (const fs::directory_entry& entry : it) {
        if (entry.path().extension() != ".jpg" || !entry.is_regular_file(ec)) continue;
        shots.push_back({entry.path().filename().string(), entry.file_size(ec)});
    }
    std::sort(shots.begin(), shots.end(),
              [](const SnapshotFile& a, const SnapshotFile& b) { return a.name < b.name; });
    return shots;
}

std::optional<int32_t> read_snapshot_index(const fs::path& file) {
    constexpr uint64_t kLimit = 4096;  // the recorder writes 4 bytes
    std::vector<uint8_t> bytes;
    if (!read_regular_file(file.string(), kLimit, "snapshot index", bytes).empty() ||
        bytes.size() < 4)
        return std::nullopt;
    return le::get_i32(bytes, 0);
}

// ---- text ----------------------------------------------------------------------------------

void format_files(const CardSummary& s, std::string& out) {
    uint64_t bytes = 0, audio = 0;
    size_t rear = 0, front = 0, gps = 0, accel = 0;
    double seconds = 0;
    const FileSummary* first = nullptr;
    const FileSummary* last = nullptr;
    size_t listed = 0;
    for (const FileSummary& f : s.files) {
        if (!f.readError.empty()) continue;
        ++listed;
        bytes += f.size;
        if (!f.header) continue;
        rear += f.frames[0];
        front += f.frames[1];
        gps += f.gps;
        accel += f.accel;
        audio += f.audioBytes;
        seconds += f.seconds();
        if (first == nullptr) first = &f;
        if (last == nullptr || earlier(last->end, f.end)) last = &f;
    }
    appendf(out, "Recordings in data/: %zu file%s, %s", listed, listed == 1 ? "" : "s",
            long_size(bytes).c_str());
    if (first != nullptr) {
        appendf(out, ", %s to %s UTC", utc(first->start.sec, "%Y-%m-%d %H:%M:%S").c_str(),
                utc(last->end.sec, "%Y-%m-%d %H:%M:%S").c_str());
    }
    if (const size_t unread = s.files.size() - listed; unread != 0)
        appendf(out, "; %zu more that cannot be read", unread);
    out += "\n";
    if (s.files.empty()) return;
    if (listed != 0)
        out +=
            "  file             size  start      secs  front  rear   GPS  accel  audio s  lock\n";
    std::string day;
    for (const FileSummary& f : s.files) {
        if (!f.readError.empty()) continue;
        if (!f.header) {
            appendf(out, "  %-15s %5s  -\n", f.name.c_str(), short_size(f.size).c_str());
            continue;
        }
        if (const std::string d = utc(f.start.sec, "%Y-%m-%d"); d != day) {
            day = d;
            appendf(out, "  %s\n", day.c_str());
        }
        appendf(out, "  %-15s %5s  %8s %6.1f %6zu %5zu %5zu %6zu %8.1f", f.name.c_str(),
                short_size(f.size).c_str(), utc(f.start.sec, "%H:%M:%S").c_str(), f.seconds(),
                f.frames[1], f.frames[0], f.gps, f.accel, f.audio_seconds());
        if (f.lock) appendf(out, "  event %u", f.lock->generation);
        out += "\n";
    }
    if (listed != 0) {
        appendf(out, "  %-15s %5s  %8s %6.1f %6zu %5zu %5zu %6zu %8.1f\n", "total",
                short_size(bytes).c_str(), "", seconds, front, rear, gps, accel,
                static_cast<double>(audio) / kAudioBytesPerSecond);
    }
    for (const FileSummary& f : s.files) {
        if (!f.readError.empty()) {
            appendf(out, "  %s: cannot be read: %s\n", f.name.c_str(), f.readError.c_str());
        } else if (f.size == 0) {
            appendf(out, "  %s: empty, closed before its first record\n", f.name.c_str());
        } else if (f.damage) {
            appendf(out, "  %s: damaged at byte %llu: %s\n", f.name.c_str(),
                    static_cast<unsigned long long>(f.damage->offset), f.damage->reason.c_str());
        } else if (!f.closed) {
            appendf(out, "  %s: not closed (recording ended by a power cut or a crash at %s)\n",
                    f.name.c_str(), utc(f.end.sec, "%H:%M:%S").c_str());
        }
    }
}

void format_events(const CardSummary& s, std::string& out) {
    if (!s.index) {
        appendf(out, "Recording index: %s\n", s.indexError.c_str());
        return;
    }
    const CardIndex& index = *s.index;
    appendf(out, "Events in data/recinfo: %u kept, %zu file%s locked; next file %s\n",
            index.lockCount, index.locked_files(), index.locked_files() == 1 ? "" : "s",
            recording_name(index.next).c_str());
    for (const EventSummary& e : s.events) {
        appendf(out, "  event %-3u %-17s", e.generation, lock_type_name(e.type).c_str());
        for (const size_t file : e.files) {
            out += " " + recording_name(file);
            if (s.file(file) == nullptr) out += " (not on the card)";
        }
        out += "\n";
    }
}

void format_snapshots(const CardSummary& s, std::string& out) {
    appendf(out, "Snapshots in snapshot/: %zu", s.snapshots.size());
    if (s.snapshotIndex)
        appendf(out, "; the next set after a restart is %03d", *s.snapshotIndex + 1);
    out += "\n";
    for (const SnapshotFile& shot : s.snapshots) {
        appendf(out, "  %-12s %s\n", shot.name.c_str(), long_size(shot.size).c_str());
    }
}

}  // namespace

double FileSummary::seconds() const {
    if (!header || earlier(end, start)) return 0;
    return seconds_of(end) - seconds_of(start);
}

const FileSummary* CardSummary::file(size_t index) const {
    for (const FileSummary& f : files) {
        if (f.index == index) return &f;
    }
    return nullptr;
}

std::string recording_name(size_t index) {
    char name[32];
    std::snprintf(name, sizeof name, "rec%08zu.asd", index);
    return name;
}

CardSummary summarize_card(const fs::path& card) {
    CardSummary s;
    s.card = card;
    const fs::path data = card / "data";
    s.files = summarize_files(data, s.error);
    if (!s.error.empty()) return s;
    s.index = read_index((data / "recinfo").string(), s.indexError);
    if (s.index) {
        s.events = events_of(*s.index);
        for (FileSummary& f : s.files) {
            if (f.index) f.lock = s.index->lock_of(*f.index);
        }
    }
    s.snapshots = snapshots_in(card / "snapshot");
    s.snapshotIndex = read_snapshot_index(card / "snapshot/index");
    std::error_code ec;
    for (const auto& [name, meaning] : kMarkers) {
        if (fs::exists(data / name, ec)) s.markers.push_back(std::string("data/") + name);
    }
    return s;
}

std::string format_summary(const CardSummary& s) {
    std::string out = "Card " + s.card.string() + "\n";
    if (!s.error.empty()) return out + "  " + s.error + "\n";
    format_files(s, out);
    format_events(s, out);
    format_snapshots(s, out);
    for (const std::string& marker : s.markers) {
        for (const auto& [name, meaning] : kMarkers) {
            if (marker == std::string("data/") + name)
                appendf(out, "%s: %s\n", marker.c_str(), meaning);
        }
    }
    return out;
}

}  // namespace asd
