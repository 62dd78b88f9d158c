// The sound of one recording as a WAV file laid on the recording's own time line: sample n of
// the data plays n / 8000 s after the recording's start, so the browser's audio clock is the
// recording's clock.
//
// The recorder writes an audio record when a block of samples has been read from the device, so
// a block ends at its record's time. Blocks follow each other without a gap while the device
// runs; where the recording has none (parking mode, the audio switched off, a lost block) the
// track holds silence, and a block that began before the recording's start is cut at it. The
// track is a list of pieces over the recording's own buffers: nothing is copied or written out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace asd::view {

struct AudioBlock {
    int64_t endUs = 0;  // when the block ended, after the recording's start
    std::span<const uint8_t> samples;
};

class WavTrack {
  public:
    static constexpr uint32_t kRate = 8000;            // 8-bit mono samples a second
    static constexpr int64_t kGapSamples = kRate / 4;  // a later block after this is a gap
    static constexpr uint64_t kMaxSamples = uint64_t{kRate} * 4 * 3600;  // four hours

    // `blocks` in the order recorded; `durationUs` the recording's length, which the track
    // covers at least (silence after the last block).
    static WavTrack layout(std::span<const AudioBlock> blocks, int64_t durationUs);

    uint64_t size() const { return 44 + padded(); }  // the whole file
    uint64_t samples() const { return samples_; }
    double seconds() const { return static_cast<double>(samples_) / kRate; }
    // Bytes [offset, offset + out.size()) of the file; the range must lie within size().
    void read(uint64_t offset, std::span<uint8_t> out) const;

  private:
    struct Piece {
        uint64_t at = 0;  // first sample
        uint64_t length = 0;
        const uint8_t* samples = nullptr;  // nullptr: silence
    };
    void append(const uint8_t* samples, uint64_t length);
    uint64_t padded() const { return samples_ + (samples_ % 2); }  // RIFF chunks end even

    std::vector<Piece> pieces_;
    uint64_t samples_ = 0;
};

}  // namespace asd::view
