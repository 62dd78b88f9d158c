#include "audio_wave.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "../../../common/le.hpp"

namespace simboard::peers {

std::optional<WaveFormat> parse_wave(std::span<const uint8_t> bytes, std::string* error,
                                     bool* incomplete) {
    const auto fail = [&](std::string why, bool more) -> std::optional<WaveFormat> {
        if (error != nullptr) *error = std::move(why);
        if (incomplete != nullptr) *incomplete = more;
        return std::nullopt;
    };
    static constexpr std::array<uint8_t, 4> kRiff = {'R', 'I', 'F', 'F'};
    static constexpr std::array<uint8_t, 4> kWave = {'W', 'A', 'V', 'E'};
    const size_t have_riff = std::min<size_t>(bytes.size(), 4);
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<long>(have_riff), kRiff.begin()))
        return fail("not a RIFF file", false);
    if (bytes.size() < 12) return fail("a RIFF header needs 12 bytes", true);
    if (!std::equal(bytes.begin() + 8, bytes.begin() + 12, kWave.begin()))
        return fail("a RIFF file, but not WAVE", false);
    WaveFormat w;
    w.total_size = 8 + static_cast<size_t>(le::get_u32(bytes, 4));
    bool have_fmt = false;
    size_t pos = 12;
    for (;;) {
        if (pos + 8 > bytes.size()) return fail("no data chunk (yet)", true);
        const auto id = bytes.subspan(pos, 4);
        const size_t size = le::get_u32(bytes, pos + 4);
        const auto is = [&](const char* name) { return std::memcmp(id.data(), name, 4) == 0; };
        if (is("fmt ")) {
            if (size < 16) return fail("fmt chunk too short", false);
            if (pos + 8 + 16 > bytes.size()) return fail("fmt chunk incomplete", true);
            const uint16_t tag = le::get_u16(bytes, pos + 8);
            w.channels = le::get_u16(bytes, pos + 10);
            w.rate = le::get_u32(bytes, pos + 12);
            w.bits = le::get_u16(bytes, pos + 22);
            if (tag != 1)
                return fail("not PCM samples (format " + std::to_string(tag) + ")", false);
            if (w.channels < 1 || w.channels > 2)
                return fail(std::to_string(w.channels) + " channels", false);
            if (w.bits != 8 && w.bits != 16)
                return fail(std::to_string(w.bits) + "-bit samples", false);
            if (w.rate < 1000 || w.rate > 192000)
                return fail(std::to_string(w.rate) + " samples a second", false);
            w.byte_rate = w.rate * w.channels * (w.bits / 8u);
            have_fmt = true;
        } else if (is("data")) {
            if (!have_fmt) return fail("data chunk before the fmt chunk", false);
            w.data_offset = pos + 8;
            w.data_size = size;
            // A header that says nothing sensible of the file's length: up to the data's end.
            if (w.total_size < w.data_offset || w.total_size == 8 + 0xFFFFFFFFu)
                w.total_size = w.data_offset + w.data_size;
            if (incomplete != nullptr) *incomplete = false;
            return w;
        }
        pos += 8 + size + (size & 1);
    }
}

}  // namespace simboard::peers
