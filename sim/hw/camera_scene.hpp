// The picture a simulated camera sees, as a baseline JPEG file (libjpeg-turbo): a road scene
// that moves from frame to frame, with the camera's name and the frame number written large,
// so that a person looking at extracted frames tells front from rear and sees time pass. The
// frame number is also in a COM marker ("frame 123") right after the headers, for programs.
// The front camera looks ahead under a blue sky, the rear camera back under an evening sky.
//
// Rendering and encoding take a few milliseconds: callers run them outside the machine lock
// (the W99685 model does it on its own thread).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace hw::camera_scene {

struct Params {
    std::string label;   // "FRONT", "REAR"
    std::string sensor;  // shown small under the label: "OV7725"
    bool rear = false;   // the scene runs backwards, evening colours
    uint64_t frame = 0;  // the frame number shown and the position of the scene
    unsigned width = 640;
    unsigned height = 480;
    int quality = 75;            // libjpeg quality 1..100
    bool subsample_420 = false;  // chroma 4:2:0 (else 4:2:2)

    // What the sensor delivers, when it is not the picture above. The scene is drawn at the
    // sensor's frame size; the picture keeps its top-left part (a larger frame is cut, a smaller
    // one leaves the rest black). 0: the picture's own size.
    unsigned sensor_width = 0;
    unsigned sensor_height = 0;
    bool mirror = false;        // left and right exchanged
    bool flip = false;          // upside down
    bool test_pattern = false;  // eight vertical colour bars instead of the scene
    bool garbled = false;       // pixel data misread: wrong colours and brightness

    bool same_picture_settings(const Params& o) const {
        return label == o.label && sensor == o.sensor && rear == o.rear && width == o.width &&
               height == o.height && quality == o.quality && subsample_420 == o.subsample_420 &&
               sensor_width == o.sensor_width && sensor_height == o.sensor_height &&
               mirror == o.mirror && flip == o.flip && test_pattern == o.test_pattern &&
               garbled == o.garbled;
    }
};

std::vector<uint8_t> render_jpeg(const Params& params);
// The same picture as RGB pixels, 3 bytes each, row by row (the coprocessor's LCD preview).
std::vector<uint8_t> render_rgb(const Params& params);

// The JPEG files (by their SOI marker) of `dir`, sorted by name, at most `max_size` bytes each;
// "" or what is wrong (no such directory, no JPEG file in it). Files that are not JPEG or are
// too large are skipped and named in `skipped`.
std::string load_jpeg_dir(const std::filesystem::path& dir, size_t max_size,
                          std::vector<std::vector<uint8_t>>& frames, std::string& skipped);

}  // namespace hw::camera_scene
