// The board's one-line status: what the recorder is doing, told from what the board sees.
//
//   23:07:27  driving  rec00000004.asd  front 15.0 fps, rear 15.0 fps  GPS fix
//       2 events, 5 files locked  card 51 MiB of 8.0 GiB
//
// The clock is the box's system clock (the PC's clock plus the offset the recorder set). The
// mode comes from the processor's clock: the camera driver slows the PLL down for parking mode
// and speeds it up again for driving. The file is the recording file written last, the events
// and locked files come from the card's recording index, the frame rates from the camera models
// and the fix from the front sub-board's GPS. The line comes in shorter forms for narrow
// terminals; `simboard ctl status` keeps every item at full length.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "board.hpp"
#include "card.hpp"

namespace simboard {

enum class DriveMode { kOff, kNoRecorder, kDriving, kParking };

struct StatusFacts {
    DriveMode mode = DriveMode::kOff;
    std::string clock;                          // "23:07:27"; empty when not known
    std::string file;                           // "rec00000004.asd"; empty when none
    std::optional<double> front_fps, rear_fps;  // nothing: the camera is not running
    std::string gps;                            // "fix", "no fix", "silent"; empty: no GPS
    std::optional<uint32_t> events;             // nothing: no readable recording index
    size_t locked_files = 0;
    uint64_t card_used = 0;
    uint64_t card_capacity = 0;
    std::string card_state = "ok";  // "ok", "full", "failing", "removed"
};

// Frames a second of a camera from its frame count, over the last few seconds: a rate that
// settles within that time after a change of mode, where the camera's own measure (over its last
// 16 frames) takes 16 s at one frame a second.
class FrameRate {
  public:
    static constexpr double kWindow = 4.0;  // seconds

    // Takes the frame count at `now` (seconds); returns the rate once a second or more of counts
    // is known. A count that went down (a new camera after a reboot) starts afresh.
    std::optional<double> update(double now, uint64_t frames);
    void reset() { samples_.clear(); }

  private:
    struct Sample {
        double time;
        uint64_t frames;
    };
    std::deque<Sample> samples_;  // oldest first; the first may be older than the window
};

struct StatusMeters {
    FrameRate front;
    FrameRate rear;
};

// The line in its forms, from the most spelled out to the shortest.
std::vector<std::string> status_forms(const StatusFacts& facts);
// The first form no wider than `width` columns, or the shortest one cut to `width`.
std::string fit_status(const StatusFacts& facts, size_t width);

// What the running board shows now. `recorder_running`: the recorder program is alive. The
// meters keep the cameras' frame counts from one call to the next.
StatusFacts gather_status(Board& board, const Card& card, bool recorder_running,
                          StatusMeters& meters);

// Of a card's data directory: the recording file written last ("" when there is none).
std::string newest_recording(const std::filesystem::path& data_dir);

// The processor's clock in parking mode (the PLL slowed down) rather than in driving mode.
bool parking_clock(Board& board);

}  // namespace simboard
