#include "export_command.hpp"

#include <algorithm>
#include <charconv>
#include <set>
#include <string_view>

#include "asd_reader.hpp"
#include "card_index.hpp"
#include "card_summary.hpp"
#include "recording_export.hpp"

#ifdef ASDTOOL_VIDEO
extern "C" {
#include <libavutil/log.h>
}

#include "video_camera.hpp"
#include "video_combined.hpp"
#include "video_plan.hpp"
#endif

namespace asd {

namespace fs = std::filesystem;

namespace {

std::optional<long> number(std::string_view text, long low, long high) {
    long value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || ptr != text.data() + text.size() || value < low ||
        value > high)
        return std::nullopt;
    return value;
}

// Why a file gives nothing to export, or "" when it has records.
std::string nothing_in(const Recording& rec) {
    if (!rec.readError.empty()) return rec.readError;
    if (rec.damage && (rec.damage->offset == 0 || rec.fileSize < 84)) return rec.damage->reason;
    if (rec.ending() == Ending::Empty || rec.fileSize < 84)
        return rec.cutShort ? rec.cutShort->reason : ending_name(rec.ending());
    if (rec.records.empty()) return rec.damage ? rec.damage->reason : "no records";
    return "";
}

std::string check_dir(const fs::path& dir) {
    if (std::string why = card_around(dir); !why.empty()) return why;
    std::error_code ec;
    if (!fs::exists(dir, ec)) return "";
    if (!fs::is_directory(dir, ec)) return dir.string() + " is not a directory";
    if (!fs::is_empty(dir, ec))
        return dir.string() + " is not empty: give a new or an empty directory";
    return "";
}

// The directory of one file's export when several are exported: its name without ".asd" when
// that is a plain name, else "recording-N".
std::string subdir_for(const std::string& path, size_t n, std::set<std::string>& used) {
    std::string name = fs::path(path).stem().string();
    const bool plain = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               c == '_' || c == '-';
    });
    if (!plain || used.count(name)) name = "recording-" + std::to_string(n + 1);
    used.insert(name);
    return name;
}

// The classic export of one file; false when it failed or the file is damaged.
bool export_one(const std::string& file, const fs::path& dir, std::FILE* out, std::FILE* err) {
    ExportReport report;
    const std::string why = export_recording(file, dir, report);
    if (!why.empty()) {
        std::fprintf(err, "asdtool export: %s\n", why.c_str());
        return false;
    }
    std::fprintf(out,
                 "%s -> %s: %zu front and %zu rear frames, %zu GPS records (%zu track points), "
                 "%zu accelerometer records, %.1f s of audio\n",
                 file.c_str(), dir.c_str(), report.frames[1], report.frames[0], report.gpsRecords,
                 report.gpsPoints, report.accel,
                 static_cast<double>(report.audioBytes) / kAudioBytesPerSecond);
    if (report.damage) {
        // Damage in the header (its times) leaves every record to export.
        std::fprintf(out, "%s: damaged at byte %llu: %s%s\n", file.c_str(),
                     static_cast<unsigned long long>(report.damage->offset),
                     report.damage->reason.c_str(),
                     report.damage->offset < 84 ? "" : "; the records after it are not exported");
        return false;
    }
    return true;
}

#ifdef ASDTOOL_VIDEO
int export_video(const ExportArgs& args, std::vector<video::Input> inputs,
                 const std::optional<EventFiles>& event, std::FILE* out, std::FILE* err) {
    // FFmpeg's own chatter stays off the console: what goes wrong comes back as an error here.
    av_log_set_level(AV_LOG_QUIET);
    std::string error;
    std::optional<video::Plan> plan = video::plan_clip(std::move(inputs), error);
    if (!plan) {
        std::fprintf(out, "no video: %s\n", error.c_str());
        return args.combined ? 1 : 0;
    }
    for (const std::string& note : plan->notes) std::fprintf(out, "%s\n", note.c_str());

    std::vector<video::CameraFile> files;
    if (auto why = video::write_camera_files(*plan, args.dir, files); !why.empty()) {
        std::fprintf(err, "asdtool export: %s\n", why.c_str());
        return 1;
    }
    for (const video::CameraFile& f : files) {
        std::fprintf(out, "%s: %s camera, %zu frames, %.1f s%s, %zu GPS cues\n", f.path.c_str(),
                     f.channel == 1 ? "front" : "rear", f.frames,
                     static_cast<double>(f.length) / 1e6,
                     f.audioSamples > 0 ? ", with the cabin audio" : "", f.cues);
    }
    if (!args.combined) return 0;

    if (event && event->type != 1) {
        std::fprintf(out, "event %u (%s): the recordings do not say when it came; nothing marked\n",
                     *args.event, lock_type_name(event->type).c_str());
    } else if (event) {
        if (auto at = video::strongest_jolt(*plan)) plan->marks.push_back({*at, "IMPACT"});
    } else {
        for (int64_t at : video::impact_moments(*plan)) plan->marks.push_back({at, "IMPACT"});
    }
    video::CombinedOptions options;
    options.layout = args.layout == "pip" ? video::Layout::Inset : video::Layout::SideBySide;
    options.quality = args.quality;
    options.fps = args.fps;
    video::CombinedFile clip;
    if (auto why = video::write_combined(*plan, options, args.dir, clip); !why.empty()) {
        std::fprintf(err, "asdtool export: %s\n", why.c_str());
        return 1;
    }
    std::fprintf(out, "%s: front and rear, %dx%d, %zu frames at %d a second%s, %zu marked\n",
                 clip.path.c_str(), clip.size.width, clip.size.height, clip.frames, args.fps,
                 clip.audioSamples > 0 ? ", with the cabin audio" : "", plan->marks.size());
    if (clip.undecodable > 0)
        std::fprintf(out, "%zu recorded frames did not decode: the picture before them stays\n",
                     clip.undecodable);
    return 0;
}
#endif

}  // namespace

std::string parse_export_args(const std::vector<std::string>& words, ExportArgs& args) {
    args = {};
    std::vector<std::string> positional;
    bool videoOption = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (w.rfind("--", 0) != 0) {
            positional.push_back(w);
            continue;
        }
        if (w == "--combined") {
            args.combined = true;
            continue;
        }
        if (w != "--event" && w != "--layout" && w != "--quality" && w != "--fps")
            return "unknown option " + w;
        if (i + 1 >= words.size()) return w + " needs a value";
        const std::string& value = words[++i];
        if (w == "--event") {
            const auto n = number(value, 1, 65535);
            if (!n) return "--event takes an event number (1 is the oldest the card keeps)";
            args.event = static_cast<uint32_t>(*n);
        } else if (w == "--layout") {
            if (value != "side" && value != "pip") return "--layout takes side or pip";
            args.layout = value;
            videoOption = true;
        } else if (w == "--quality") {
            const auto n = number(value, 0, 51);
            if (!n) return "--quality takes 0 (best) to 51 (smallest)";
            args.quality = static_cast<int>(*n);
            videoOption = true;
        } else {
            const auto n = number(value, 1, 60);
            if (!n) return "--fps takes 1 to 60 frames a second";
            args.fps = static_cast<int>(*n);
            videoOption = true;
        }
    }
    if (videoOption && !args.combined) return "--layout, --quality and --fps go with --combined";
    if (args.combined && !video_export_built())
        return "--combined needs video, and this asdtool was built without FFmpeg";
    if (args.event ? positional.size() != 2 : positional.size() < 2)
        return args.event ? "give the card's directory and DIR with --event"
                          : "give FILE... and DIR";
    args.dir = positional.back();
    positional.pop_back();
    args.files = std::move(positional);
    return "";
}

std::optional<EventFiles> event_files(const fs::path& card, uint32_t generation,
                                      std::string& error) {
    const fs::path path = card / "data/recinfo";
    const std::optional<CardIndex> index = read_index(path.string(), error);
    if (!index) return std::nullopt;
    EventFiles ev;
    std::set<uint16_t> kept;
    for (size_t i = 0; i < kIndexFiles; ++i) {
        const std::optional<Lock> lock = index->lock_of(i);
        if (!lock) continue;
        kept.insert(lock->generation);
        if (lock->generation != generation) continue;
        ev.type = lock->type;
        const fs::path file = card / "data" / recording_name(i);
        std::error_code ec;
        (fs::is_regular_file(file, ec) ? ev.paths : ev.missing).push_back(file.string());
    }
    if (ev.paths.empty() && ev.missing.empty()) {
        error = kept.empty() ? path.string() + " keeps no events"
                             : "no event " + std::to_string(generation) + " in " + path.string() +
                                   ": it keeps events " + std::to_string(*kept.begin()) + " to " +
                                   std::to_string(*kept.rbegin());
        return std::nullopt;
    }
    return ev;
}

bool video_export_built() {
#ifdef ASDTOOL_VIDEO
    return true;
#else
    return false;
#endif
}

int run_export(const ExportArgs& args, std::FILE* out, std::FILE* err) {
    std::vector<std::string> files = args.files;
    std::optional<EventFiles> event;
    if (args.event) {
        std::string error;
        event = event_files(args.files.front(), *args.event, error);
        if (!event) {
            std::fprintf(err, "asdtool export: %s\n", error.c_str());
            return 1;
        }
        for (const std::string& m : event->missing)
            std::fprintf(out, "%s: locked by event %u, not on the card\n", m.c_str(), *args.event);
        files = event->paths;
    }
    if (auto why = check_dir(args.dir); !why.empty()) {
        std::fprintf(err, "asdtool export: %s\n", why.c_str());
        return 1;
    }

    int status = 0;
    std::vector<std::pair<std::string, Recording>> kept;
    std::set<std::string> seen;
    for (const std::string& file : files) {
        std::error_code ec;
        const std::string same = fs::weakly_canonical(file, ec).string();
        if (!seen.insert(ec ? file : same).second) continue;
        Recording rec = read_file(file);
        if (const std::string why = nothing_in(rec); !why.empty()) {
            std::fprintf(files.size() == 1 ? err : out, "%s%s: nothing to export: %s\n",
                         files.size() == 1 ? "asdtool export: " : "", file.c_str(), why.c_str());
            continue;
        }
        if (rec.ending() == Ending::NotClosed)
            std::fprintf(out, "%s: not closed (power lost): exported up to its last whole record\n",
                         file.c_str());
        kept.emplace_back(file, std::move(rec));
    }
    if (kept.empty()) {
        if (files.size() != 1) std::fprintf(err, "asdtool export: nothing to export\n");
        return 1;
    }

    std::error_code ec;
    fs::create_directories(args.dir, ec);
    if (ec) {
        std::fprintf(err, "asdtool export: cannot create %s: %s\n", args.dir.c_str(),
                     ec.message().c_str());
        return 1;
    }
    std::set<std::string> used;
    for (size_t i = 0; i < kept.size(); ++i) {
        const fs::path target =
            kept.size() == 1 ? args.dir : args.dir / subdir_for(kept[i].first, i, used);
        if (!export_one(kept[i].first, target, out, err)) status = 1;
    }

#ifdef ASDTOOL_VIDEO
    std::vector<video::Input> inputs;
    for (auto& [path, rec] : kept) inputs.push_back({path, std::move(rec)});
    status |= export_video(args, std::move(inputs), event, out, err);
#else
    (void)event;
#endif
    return status;
}

}  // namespace asd
