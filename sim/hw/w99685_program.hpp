// The W99685 coprocessor program image as the chip's boot loader checks it before it starts
// the program (little-endian):
//
//   offset  size  field
//        0     4  magic "W685"
//        4     2  image length in bytes (16209 for the image camcore carries)
//        6     1  program version, minor
//        7     1  program version, major
//        8     4  CRC-32 (IEEE 802.3) of bytes 12 to the end of the image
//       12     4  entry address
//       16   ...  program body
//
// The host sends the image in 4-byte records; the last record is padded with zero bytes. A
// damaged image (magic, length, padding or CRC wrong) never starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hw::w99685_program {

constexpr size_t kHeaderSize = 16;
constexpr size_t kImageSize = 16209;

struct Version {
    uint8_t major = 0;
    uint8_t minor = 0;
};

uint32_t crc32(std::span<const uint8_t> bytes);

// Checks the bytes the boot loader received (whole records); the version on success,
// otherwise nothing and `why` says what is wrong.
std::optional<Version> check(std::span<const uint8_t> received, std::string& why);

// A valid image of `size` bytes with the given version (the form camcore's image has).
std::vector<uint8_t> build(Version version, size_t size = kImageSize);

}  // namespace hw::w99685_program
