// One clip to share: both cameras in one picture with a strip of facts burned in, and the cabin
// audio, in an MP4 file (H.264 and AAC) that browsers, phones and players open.
//
// This is the one export that is re-encoded: each output frame shows, for each camera, the latest
// recorded frame at or before its time (decoded from the JPEG and scaled into its place), at a
// constant rate from the clip's start to its last recorded frame, so that the clip lasts as long
// as the recording. The strip at the bottom shows
// the box's date and time, speed and heading from the GPS, the accelerometer's X, Y and Z as
// bars, the clip's time line with the plan's marks, and a mark's label while it is near.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "video_plan.hpp"

namespace asd::video {

enum class Layout {
    SideBySide,  // front left, rear right: 1280 x 480
    Inset,       // front, the rear small in its top right corner: 640 x 480
};

struct CombinedOptions {
    Layout layout = Layout::SideBySide;
    int quality = 23;  // H.264 constant rate factor: 0 (best) .. 51, 23 a good default
    int fps = 15;      // output frames a second, 1..60
};

// The size of a layout's picture.
struct Size {
    int width, height;
};
Size layout_size(Layout layout);

// How long a mark's label shows either side of its moment.
constexpr int64_t kLabelNear = 1'500'000;

struct CombinedFile {
    std::filesystem::path path;
    Size size{};
    size_t frames = 0;
    int64_t audioSamples = 0;
    size_t undecodable = 0;  // recorded frames that did not decode (the picture before stays)
};

constexpr const char* kCombinedName = "combined.mp4";

// Writes combined.mp4 into `dir`. "" or why not; a file that could not be finished is removed.
std::string write_combined(const Plan& plan, const CombinedOptions& options,
                           const std::filesystem::path& dir, CombinedFile& written);

// The number of output frames of a clip: one every 1/fps second from its start to its last
// recorded frame (the last output frame shows the last recorded frames).
size_t combined_frames(const Plan& plan, int fps);

}  // namespace asd::video
