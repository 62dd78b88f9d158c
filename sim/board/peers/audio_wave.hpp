// WAV files: the header of a RIFF/WAVE file of PCM samples, as the board's sound reads it (the
// prompt files played, a capture source).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace simboard::peers {

struct WaveFormat {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;
    uint32_t byte_rate = 0;  // rate * channels * bits / 8
    size_t data_offset = 0;  // where the samples start
    size_t data_size = 0;    // bytes of samples (as the header says)
    size_t total_size = 0;   // the whole file as its RIFF header says (8 + RIFF size)
};

// Reads the header of a RIFF/WAVE file of PCM samples (8 or 16 bits, 1 or 2 channels). Nothing
// when `bytes` holds no such header (yet), with the reason in `error` when given; `incomplete`
// is set when more bytes could still make it one.
std::optional<WaveFormat> parse_wave(std::span<const uint8_t> bytes, std::string* error = nullptr,
                                     bool* incomplete = nullptr);

}  // namespace simboard::peers
