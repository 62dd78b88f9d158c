// The sensor's frame number that the camera model writes into each JPEG, in a COM marker
// "frame N" among the headers (sim/hw/camera_scene.cpp). Frames recorded from the board carry
// it; a gap between two numbers of one camera is a frame the recording lost.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace benchframe {

// The number of the first "frame N" comment before the image data; nullopt when the JPEG has
// none or its headers are malformed.
inline std::optional<uint64_t> frame_number(std::span<const uint8_t> jpeg) {
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return std::nullopt;
    size_t pos = 2;
    while (pos + 4 <= jpeg.size()) {
        if (jpeg[pos] != 0xFF) return std::nullopt;
        const uint8_t marker = jpeg[pos + 1];
        if (marker == 0xDA || marker == 0xD9) return std::nullopt;  // image data: no more headers
        const size_t length = static_cast<size_t>(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (length < 2 || pos + 2 + length > jpeg.size()) return std::nullopt;
        if (marker == 0xFE) {
            const auto* text = reinterpret_cast<const char*>(jpeg.data() + pos + 4);
            const std::string_view comment(text, length - 2);
            constexpr std::string_view kPrefix = "frame ";
            if (comment.substr(0, kPrefix.size()) == kPrefix) {
                uint64_t n = 0;
                const char* first = comment.data() + kPrefix.size();
                const char* last = comment.data() + comment.size();
                const auto [end, ec] = std::from_chars(first, last, n);
                if (ec == std::errc() && end == last && end != first) return n;
            }
        }
        pos += 2 + length;
    }
    return std::nullopt;
}

}  // namespace benchframe
