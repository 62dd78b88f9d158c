// `asdtool export`: what recordings hold, as files a person opens.
//
//   asdtool export FILE... DIR [VIDEO OPTIONS]
//   asdtool export CARD_DIR DIR --event N [VIDEO OPTIONS]
//
// DIR must be new or empty; nothing is written outside it. One file is exported into DIR itself
// (frames as JPEG files, CSV, GPX, WAV: recording_export.hpp), several into a directory each
// (DIR/rec00000003/, ...). With FFmpeg (ASDTOOL_VIDEO) the files also make one video per camera,
// front.mkv and rear.mkv, continuous across the files, and with --combined one clip of both
// cameras to share, combined.mp4 (--layout side|pip, --quality CRF, --fps N).
//
// --event N takes the files that event N of the card's recording index (data/recinfo) locked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace asd {

struct ExportArgs {
    std::vector<std::string> files;  // the recordings, or the card's directory with `event`
    std::optional<uint32_t> event;
    std::filesystem::path dir;
    bool combined = false;
    std::string layout = "side";  // "side" or "pip"
    int quality = 23;
    int fps = 15;
};

// Parses the words after "export"; "" or what is wrong with them.
std::string parse_export_args(const std::vector<std::string>& words, ExportArgs& args);

struct EventFiles {
    uint8_t type = 0;                  // the lock type: 0 button, 1 impact, 2 alarm
    std::vector<std::string> paths;    // the locked files on the card, by index
    std::vector<std::string> missing;  // locked files that are not on the card
};

// The files event `generation` of the card's recording index locked; nothing (and why in
// `error`) when the index cannot be read or holds no such event.
std::optional<EventFiles> event_files(const std::filesystem::path& card, uint32_t generation,
                                      std::string& error);

// Whether this asdtool writes videos (built with FFmpeg).
bool video_export_built();

// Runs the command: messages to `out`, errors to `err`; the exit status (0 done, 1 a file is
// damaged or the export failed).
int run_export(const ExportArgs& args, std::FILE* out, std::FILE* err);

}  // namespace asd
