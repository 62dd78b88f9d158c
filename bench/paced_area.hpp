// The frame area that bench_board's paced frame source shares with paced_writer: per camera two
// slots of kSlotBytes, each a u32 frame length (little-endian) and then the frame.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pacedarea {

constexpr size_t kFrameBytes = 204800;  // the largest frame a camera delivers
constexpr size_t kSlotBytes = 4 + kFrameBytes;
constexpr size_t kAreaBytes = 2 * 2 * kSlotBytes;
constexpr size_t kHeadBytes = 26;  // a video record's head on the card

constexpr size_t slot_offset(int camera, int slot) {
    return (static_cast<size_t>(camera) * 2 + static_cast<size_t>(slot)) * kSlotBytes;
}

}  // namespace pacedarea
