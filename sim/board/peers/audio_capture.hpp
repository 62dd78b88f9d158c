// What the board's microphone hears: the capture sources of /dev/dsp (a cabin-noise signal,
// silence, or a WAV file played in a loop).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace simboard::peers {

class CaptureSource {
  public:
    virtual ~CaptureSource() = default;
    // Sample `index` at `rate` samples a second, in -1..1.
    virtual double sample(uint64_t index, unsigned rate) const = 0;
    virtual std::string describe() const = 0;
};

// The cabin of a car on the road: engine hum, road rumble and a little hiss.
std::shared_ptr<const CaptureSource> cabin_noise();
std::shared_ptr<const CaptureSource> silence();
// A WAV file, played in a loop; nothing (with the reason) when it cannot be used.
std::shared_ptr<const CaptureSource> wave_source(const std::filesystem::path& path,
                                                 std::string& error);

}  // namespace simboard::peers
