// Sounds played on the board, paced as they sound: the prompt files they are recognised by,
// a stream of played bytes cut into sounds, and the playback log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio_wave.hpp"
#include "serial_link.hpp"

namespace simboard::peers {

// The prompt files of the flash, to recognise what is played.
class PromptLibrary {
  public:
    explicit PromptLibrary(std::filesystem::path wave_dir) : dir_(std::move(wave_dir)) {}
    // The name of the prompt file whose bytes are exactly `bytes`, if any.
    std::optional<std::string> match(std::span<const uint8_t> bytes);

  private:
    struct Entry {
        std::filesystem::file_time_type mtime;
        std::vector<uint8_t> bytes;
    };
    std::filesystem::path dir_;
    std::mutex mutex_;
    std::map<std::string, Entry> cache_;
};

struct PlayedSound {
    std::string name;  // "074.wav", "unknown-wave", "unknown-sound"
    unsigned length_ms = 0;
    size_t bytes = 0;
    std::string via;  // "shell", "device"
};

// One stream of played bytes (one FIFO writer after another, or one open of the device), cut
// into sounds: a WAV ends where its RIFF header says, anything else at the end of the stream.
class PlaybackStream {
  public:
    using Sink = std::function<void(const PlayedSound&)>;
    // `header_rate`: a WAV plays at its own rate (the FIFO); otherwise at `device_byte_rate`.
    PlaybackStream(PromptLibrary& library, Sink sink, std::string via, bool header_rate,
                   uint32_t device_byte_rate);

    void feed(std::span<const uint8_t> bytes);
    void finish();  // the stream ended: what is left is one sound
    // Bytes a second at which what comes next plays.
    uint32_t byte_rate() const;
    void set_device_byte_rate(uint32_t rate) { device_rate_ = rate; }

  private:
    void complete(size_t size);  // the first `size` bytes of the current sound are one sound

    static constexpr size_t kKeepForMatching = 1u << 20;
    PromptLibrary& library_;
    Sink sink_;
    std::string via_;
    bool header_rate_;
    uint32_t device_rate_;
    std::vector<uint8_t> current_;  // bytes of the sound being played (up to kKeepForMatching)
    size_t current_size_ = 0;       // all its bytes so far
    std::optional<WaveFormat> wave_;
    bool not_wave_ = false;
};

// The playback log file and the console line of each sound.
class PlaybackLog {
  public:
    bool open(const std::filesystem::path& path, std::string& error);
    void close();
    void add(const PlayedSound& sound);
    std::optional<PlayedSound> last() const;
    unsigned count() const;

  private:
    Transcript file_;
    mutable std::mutex mutex_;
    std::optional<PlayedSound> last_;
    unsigned count_ = 0;
};

}  // namespace simboard::peers
