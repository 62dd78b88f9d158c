#include "view_wav.hpp"

#include <algorithm>
#include <cstring>

#include "recording_export.hpp"

namespace asd::view {

namespace {

constexpr uint8_t kSilence = 0x80;  // unsigned 8-bit samples: the middle is silence

}  // namespace

void WavTrack::append(const uint8_t* samples, uint64_t length) {
    length = std::min(length, kMaxSamples - samples_);
    if (length == 0) return;
    pieces_.push_back({samples_, length, samples});
    samples_ += length;
}

WavTrack WavTrack::layout(std::span<const AudioBlock> blocks, int64_t durationUs) {
    WavTrack track;
    for (const AudioBlock& b : blocks) {
        const auto n = static_cast<int64_t>(b.samples.size());
        const int64_t start = b.endUs * kRate / 1000000 - n;
        int64_t skip = 0;
        if (start < 0) {
            skip = std::min(n, -start);  // the part before the recording's start
        } else if (start > static_cast<int64_t>(track.samples_) + kGapSamples) {
            track.append(nullptr, static_cast<uint64_t>(start) - track.samples_);
        }
        track.append(b.samples.data() + skip, static_cast<uint64_t>(n - skip));
    }
    const int64_t total = std::max<int64_t>(0, durationUs) * kRate / 1000000;
    if (total > static_cast<int64_t>(track.samples_)) {
        track.append(nullptr, static_cast<uint64_t>(total) - track.samples_);
    }
    return track;
}

void WavTrack::read(uint64_t offset, std::span<uint8_t> out) const {
    const auto header = wav_header(static_cast<uint32_t>(samples_));
    size_t done = 0;
    while (done < out.size() && offset + done < header.size()) {
        out[done] = header[offset + done];
        ++done;
    }
    // Data positions from here on.
    uint64_t pos = offset + done - header.size();
    auto piece = std::upper_bound(pieces_.begin(), pieces_.end(), pos,
                                  [](uint64_t p, const Piece& x) { return p < x.at; });
    if (piece != pieces_.begin()) --piece;
    while (done < out.size()) {
        while (piece != pieces_.end() && pos >= piece->at + piece->length) ++piece;
        if (piece == pieces_.end()) {
            out[done++] = 0;  // the pad byte after an odd count
            ++pos;
            continue;
        }
        const uint64_t inPiece = pos - piece->at;
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(piece->length - inPiece, out.size() - done));
        if (piece->samples == nullptr) {
            std::memset(out.data() + done, kSilence, n);
        } else {
            std::memcpy(out.data() + done, piece->samples + inPiece, n);
        }
        done += n;
        pos += n;
    }
}

}  // namespace asd::view
