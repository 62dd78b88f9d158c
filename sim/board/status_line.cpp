#include "status_line.hpp"

#include <sys/time.h>

#include <charconv>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string_view>

#include "../hw/s3c2410.hpp"
#include "card_index.hpp"
#include "registry.hpp"

namespace simboard {

namespace fs = std::filesystem;

namespace {

// The PLL runs at 202.8 MHz in driving mode; parking mode brings it down to 45 MHz.
constexpr uint32_t kParkingClockBelowHz = 100'000'000;

template <typename... Args>
std::string format(const char* fmt, Args... args) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

const char* mode_name(DriveMode mode) {
    switch (mode) {
        case DriveMode::kOff:
            return "power off";
        case DriveMode::kNoRecorder:
            return "no recorder";
        case DriveMode::kDriving:
            return "driving";
        case DriveMode::kParking:
            return "parking";
    }
    return "";
}

std::string fps_text(const std::optional<double>& fps) {
    return fps ? format("%.1f", *fps) : "-";
}

// "51M", "8G", "1.5G": a size in few characters.
std::string compact_size(uint64_t bytes) {
    const double gib = static_cast<double>(bytes) / (1ull << 30);
    if (gib >= 10) return format("%.0fG", gib);
    if (gib >= 1) {
        std::string s = format("%.1fG", gib);
        return s.ends_with(".0G") ? s.erase(s.size() - 3, 2) : s;
    }
    const double mib = static_cast<double>(bytes) / (1ull << 20);
    return mib >= 1 ? format("%.0fM", mib) : format("%.0fK", static_cast<double>(bytes) / 1024);
}

std::string card_text(const StatusFacts& f, bool compact) {
    if (f.card_state == "removed") return "card removed";
    std::string text = compact ? compact_size(f.card_used) + "/" + compact_size(f.card_capacity)
                               : format_size(f.card_used) + " of " + format_size(f.card_capacity);
    if (!compact) text = "card " + text;
    if (f.card_state != "ok") text += " " + f.card_state;
    return text;
}

std::string lock_text(const StatusFacts& f, int form) {
    if (!f.events) return form == 2 ? "" : "no index";
    const uint32_t n = *f.events;
    switch (form) {
        case 0:
            return format("%u event%s, %zu file%s locked", n, n == 1 ? "" : "s", f.locked_files,
                          f.locked_files == 1 ? "" : "s");
        case 1:
            return format("%u event%s %zu locked", n, n == 1 ? "" : "s", f.locked_files);
        default:
            return format("%u ev %zu locked", n, f.locked_files);
    }
}

std::string join(const std::vector<std::string>& parts, std::string_view gap) {
    std::string line;
    for (const std::string& part : parts) {
        if (part.empty()) continue;
        if (!line.empty()) line += gap;
        line += part;
    }
    return line;
}

// The value of another status item, "" when there is none.
std::string item_value(Board& board, std::string_view name) {
    for (const auto& item : registry().status_items) {
        if (item.name == name && item.value) return item.value(board);
    }
    return "";
}

// A camera's rate and frame count from its status item ("15.0 fps 1342 frames"); nothing for a
// camera without its program ("no program").
struct CameraCount {
    double fps = 0;
    uint64_t frames = 0;
};

std::optional<CameraCount> camera_count(const std::string& status) {
    CameraCount c;
    const char* p = status.data();
    const char* end = p + status.size();
    auto [after_fps, ec1] = std::from_chars(p, end, c.fps);
    constexpr std::string_view kFps = " fps ";
    if (ec1 != std::errc() || !std::string_view(after_fps, end).starts_with(kFps))
        return std::nullopt;
    auto [after_frames, ec2] = std::from_chars(after_fps + kFps.size(), end, c.frames);
    if (ec2 != std::errc() || !std::string_view(after_frames, end).starts_with(" frames"))
        return std::nullopt;
    return c;
}

std::optional<double> camera_fps(Board& board, std::string_view item, FrameRate& meter) {
    const auto count = camera_count(item_value(board, item));
    if (!count) {
        meter.reset();
        return std::nullopt;
    }
    return meter.update(board_time(), count->frames).value_or(count->fps);
}

// The fix from the GPS status item ("fix 47.37 8.53 ...", "no fix (lost)", "silent").
std::string gps_state(const std::string& status) {
    for (const char* state : {"no fix", "fix", "silent"}) {
        if (status.rfind(state, 0) == 0) return state;
    }
    return "";
}

// The box's system clock: the PC's clock shifted by the offset the programs set.
std::string box_clock(const fs::path& root) {
    long long offset_usec = 0;
    std::ifstream(root / "run/clock") >> offset_usec;
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const long long usec = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_usec + offset_usec;
    const time_t secs = static_cast<time_t>(usec / 1000000);
    struct tm tm {};
    if (gmtime_r(&secs, &tm) == nullptr) return "";
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

}  // namespace

std::optional<double> FrameRate::update(double now, uint64_t frames) {
    if (!samples_.empty() && frames < samples_.back().frames) samples_.clear();
    samples_.push_back({now, frames});
    // Keep one sample at or before the window's start, so that the rate spans the whole window
    // even when the samples come further apart than the window.
    while (samples_.size() > 2 && samples_[1].time <= now - kWindow) samples_.pop_front();
    const Sample& first = samples_.front();
    const double span = now - first.time;
    if (span < 1.0) return std::nullopt;
    return static_cast<double>(frames - first.frames) / span;
}

std::vector<std::string> status_forms(const StatusFacts& f) {
    const std::string mode = mode_name(f.mode);
    if (f.mode == DriveMode::kOff) {
        return {join({mode, card_text(f, false)}, "  "), join({mode, card_text(f, true)}, " ")};
    }
    const std::string file = f.file.empty() ? "no file" : f.file;
    const std::string file_stem = file.ends_with(".asd") ? file.substr(0, file.size() - 4) : file;
    const std::string gps = f.gps.empty() ? "" : "GPS " + f.gps;
    return {
        join({f.clock, mode, file,
              "front " + fps_text(f.front_fps) + " fps, rear " + fps_text(f.rear_fps) + " fps", gps,
              lock_text(f, 0), card_text(f, false)},
             "  "),
        join({f.clock, mode, file_stem,
              "front " + fps_text(f.front_fps) + " rear " + fps_text(f.rear_fps) + " fps", gps,
              lock_text(f, 1), "card " + card_text(f, true)},
             " "),
        join({f.clock, mode, file_stem, "fps " + fps_text(f.front_fps) + "/" + fps_text(f.rear_fps),
              gps, lock_text(f, 2), card_text(f, true)},
             " "),
    };
}

std::string fit_status(const StatusFacts& facts, size_t width) {
    const std::vector<std::string> forms = status_forms(facts);
    for (const std::string& form : forms) {
        if (form.size() <= width) return form;
    }
    return forms.back().substr(0, width);
}

std::string newest_recording(const fs::path& data_dir) {
    std::error_code ec;
    fs::directory_iterator it(data_dir, ec);
    if (ec) return "";
    std::string newest;
    fs::file_time_type newest_time{};
    for (const fs::directory_entry& entry : it) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("rec") || !name.ends_with(".asd")) continue;
        const auto when = entry.last_write_time(ec);
        if (ec) continue;
        // Files of the same moment: the higher index was opened later, except across the wrap.
        if (newest.empty() || when > newest_time || (when == newest_time && name > newest)) {
            newest = name;
            newest_time = when;
        }
    }
    return newest;
}

bool parking_clock(Board& board) {
    return board.soc().clock.fclk_hz() < kParkingClockBelowHz;
}

StatusFacts gather_status(Board& board, const Card& card, bool recorder_running,
                          StatusMeters& meters) {
    StatusFacts f;
    f.card_capacity = card.capacity();
    f.card_state = std::string(state_name(card.state()));
    if (f.card_state != "removed") f.card_used = card.used_bytes();
    if (!board.powered()) {
        meters = {};
        return f;
    }
    f.mode = !recorder_running      ? DriveMode::kNoRecorder
             : parking_clock(board) ? DriveMode::kParking
                                    : DriveMode::kDriving;
    f.clock = box_clock(board.root());
    const fs::path data = card.dir() / "data";
    f.file = newest_recording(data);
    f.front_fps = camera_fps(board, "front cam", meters.front);
    f.rear_fps = camera_fps(board, "rear cam", meters.rear);
    f.gps = gps_state(item_value(board, "gps"));
    std::string error;
    if (const auto index = asd::read_index((data / "recinfo").string(), error)) {
        f.events = index->lockCount;
        f.locked_files = index->locked_files();
    }
    return f;
}

namespace {

// `simboard ctl status` items: the mode and what the card's index says.
std::string mode_item(Board& board) {
    if (!board.powered()) return "";
    return parking_clock(board) ? "parking (processor clock slowed down)"
                                : "driving (processor clock at full speed)";
}

std::string recording_item(Board& board) {
    const fs::path data = board.host_path("/mnt/mmcblk0p1/data");
    const std::string file = newest_recording(data);
    std::string error;
    const auto index = asd::read_index((data / "recinfo").string(), error);
    std::string text = file.empty() ? "no recording file" : "last written " + file;
    if (index) {
        text += format(", index: next file %u, %u event%s, %zu file%s locked", index->next,
                       index->lockCount, index->lockCount == 1 ? "" : "s", index->locked_files(),
                       index->locked_files() == 1 ? "" : "s");
    }
    return text;
}

const bool registered = [] {
    register_status_item({"mode", mode_item});
    register_status_item({"recording", recording_item});
    return true;
}();

}  // namespace

}  // namespace simboard
