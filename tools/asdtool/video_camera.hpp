// One playable video file per camera, by stream copy: front.mkv and rear.mkv (Matroska).
//
// Each JPEG frame goes in as it was recorded (Motion JPEG, never decoded), at the time the plan
// gives it, so the file plays at the pace it was recorded. The front camera's file carries the
// cabin audio (8 kHz unsigned 8-bit mono PCM) in step with it; both carry the GPS and
// accelerometer as a subtitle track (SubRip text, one cue per GPS record) that players show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "video_plan.hpp"

namespace asd::video {

struct CameraFile {
    std::filesystem::path path;
    size_t channel = 0;  // 0 rear, 1 front
    size_t frames = 0;
    int64_t audioSamples = 0;  // with the silence in pauses
    size_t cues = 0;
    int64_t length = 0;  // microseconds from the clip's start to the end of the last frame
};

// "front.mkv" or "rear.mkv".
const char* camera_file_name(size_t channel);

// Writes the file of every camera that has frames into `dir` (which exists). "" or why not; a
// file that could not be finished is removed.
std::string write_camera_files(const Plan& plan, const std::filesystem::path& dir,
                               std::vector<CameraFile>& written);

}  // namespace asd::video
