#include "audio_capture.hpp"

#include <cmath>
#include <vector>

#include "../../../common/le.hpp"
#include "../input_file.hpp"
#include "audio_wave.hpp"

namespace simboard::peers {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxWaveSource = 64u << 20;

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class CabinNoise : public CaptureSource {
  public:
    double sample(uint64_t index, unsigned rate) const override {
        const double t = static_cast<double>(index) / rate;
        // Engine at about 1900 rpm (four cylinders: 63 Hz firing) with its harmonic, swelling
        // slowly with the road; a little hiss on top.
        const double swell = 0.75 + 0.25 * std::sin(2 * M_PI * 0.15 * t);
        const double engine =
            0.10 * std::sin(2 * M_PI * 63 * t) + 0.04 * std::sin(2 * M_PI * 126 * t + 0.7);
        const double hiss =
            (static_cast<double>(mix(index) >> 11) / static_cast<double>(1ull << 53) - 0.5) * 0.06;
        return swell * engine + hiss;
    }
    std::string describe() const override { return "cabin noise"; }
};

class Silence : public CaptureSource {
  public:
    double sample(uint64_t, unsigned) const override { return 0.0; }
    std::string describe() const override { return "silence"; }
};

class WaveSource : public CaptureSource {
  public:
    WaveSource(std::vector<float> samples, unsigned rate, std::string name)
        : samples_(std::move(samples)), rate_(rate), name_(std::move(name)) {}
    double sample(uint64_t index, unsigned rate) const override {
        const auto at = static_cast<uint64_t>(static_cast<double>(index) * rate_ / rate);
        return samples_[at % samples_.size()];
    }
    std::string describe() const override { return name_; }

  private:
    std::vector<float> samples_;
    unsigned rate_;
    std::string name_;
};

}  // namespace

std::shared_ptr<const CaptureSource> cabin_noise() {
    static const auto source = std::make_shared<const CabinNoise>();
    return source;
}

std::shared_ptr<const CaptureSource> silence() {
    static const auto source = std::make_shared<const Silence>();
    return source;
}

std::shared_ptr<const CaptureSource> wave_source(const fs::path& path, std::string& error) {
    std::string text;
    if (!read_input_file(path, kMaxWaveSource, text, error)) return nullptr;
    const std::vector<uint8_t> bytes(text.begin(), text.end());
    std::string why;
    const auto w = parse_wave(std::span<const uint8_t>(bytes), &why);
    if (!w) {
        error = path.string() + ": " + why;
        return nullptr;
    }
    const size_t end = std::min(bytes.size(), w->data_offset + w->data_size);
    const size_t frame = w->channels * (w->bits / 8u);
    std::vector<float> samples;
    for (size_t at = w->data_offset; at + frame <= end; at += frame) {
        // The channels mixed to one, as the cabin microphone is one.
        double sum = 0;
        for (unsigned c = 0; c < w->channels; ++c) {
            const size_t p = at + c * (w->bits / 8u);
            sum += w->bits == 8 ? (bytes[p] - 128) / 128.0
                                : le::get_i16(std::span<const uint8_t>(bytes), p) / 32768.0;
        }
        samples.push_back(static_cast<float>(sum / w->channels));
    }
    if (samples.empty()) {
        error = path.string() + ": no samples";
        return nullptr;
    }
    return std::make_shared<const WaveSource>(std::move(samples), w->rate,
                                              path.filename().string());
}

}  // namespace simboard::peers
