// Frames a recording lost, from the sensor frame numbers of its video records (frame_number.hpp)
// taken in recording order: per camera channel, every number skipped between two recorded
// frames is a lost frame. A gap across two files is counted apart, as a frame lost to the file
// change (the record that ends a file opens the next one, so none should go there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

namespace benchframe {

struct GapCount {
    size_t frames = 0;          // video records seen
    size_t unnumbered = 0;      // without a frame number
    size_t repeated = 0;        // a number not above the one before (the same picture again)
    uint64_t lostInFile = 0;    // numbers skipped between two frames of one file
    uint64_t lostAtChange = 0;  // numbers skipped between the last frame of a file and the next
    uint64_t expected = 0;      // numbers from each channel's first frame to its last

    uint64_t lost() const { return lostInFile + lostAtChange; }
};

class FrameGaps {
  public:
    // One video record of `channel` in file `file` (files numbered in recording order).
    void add(int channel, size_t file, std::optional<uint64_t> number) {
        ++count_.frames;
        if (!number) {
            ++count_.unnumbered;
            return;
        }
        Channel& c = channels_[channel];
        if (!c.last) {
            c.first = *number;
        } else if (*number <= *c.last) {
            ++count_.repeated;
        } else {
            const uint64_t skipped = *number - *c.last - 1;
            (file != c.file ? count_.lostAtChange : count_.lostInFile) += skipped;
        }
        if (!c.last || *number > *c.last) c.last = number;
        c.file = file;
    }

    GapCount count() const {
        GapCount out = count_;
        for (const auto& [channel, c] : channels_) {
            if (c.last) out.expected += *c.last - c.first + 1;
        }
        return out;
    }

  private:
    struct Channel {
        std::optional<uint64_t> last;
        uint64_t first = 0;
        size_t file = 0;
    };
    std::map<int, Channel> channels_;
    GapCount count_;
};

}  // namespace benchframe
