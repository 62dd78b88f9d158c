#include "w99685_program.hpp"

#include <algorithm>
#include <array>

#include "le.hpp"

namespace hw::w99685_program {

namespace {

constexpr std::array<uint8_t, 4> kMagic{'W', '6', '8', '5'};
constexpr uint32_t kEntry = 0x100;

std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

}  // namespace

uint32_t crc32(std::span<const uint8_t> bytes) {
    static const std::array<uint32_t, 256> table = make_crc_table();
    uint32_t c = 0xFFFFFFFFu;
    for (uint8_t b : bytes) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

std::optional<Version> check(std::span<const uint8_t> received, std::string& why) {
    if (received.size() < kHeaderSize) {
        why = "image too short";
        return std::nullopt;
    }
    if (!std::equal(kMagic.begin(), kMagic.end(), received.begin())) {
        why = "no program magic";
        return std::nullopt;
    }
    const size_t length = le::get_u16(received, 4);
    if (length < kHeaderSize || (length + 3) / 4 * 4 != received.size()) {
        why = "length " + std::to_string(length) + " does not match the " +
              std::to_string(received.size()) + " bytes received";
        return std::nullopt;
    }
    for (size_t i = length; i < received.size(); ++i) {
        if (received[i] != 0) {
            why = "padding not zero";
            return std::nullopt;
        }
    }
    if (crc32(received.subspan(12, length - 12)) != le::get_u32(received, 8)) {
        why = "checksum mismatch";
        return std::nullopt;
    }
    return Version{received[7], received[6]};
}

std::vector<uint8_t> build(Version version, size_t size) {
    std::vector<uint8_t> image(size < kHeaderSize ? kHeaderSize : size, 0);
    std::copy(kMagic.begin(), kMagic.end(), image.begin());
    le::put_u16(image, 4, static_cast<uint16_t>(image.size()));
    image[6] = version.minor;
    image[7] = version.major;
    le::put_u32(image, 12, kEntry);
    uint32_t x = 0x6685;
    for (size_t i = kHeaderSize; i < image.size(); ++i) {
        x = (x * 1103515245u + 12345u) & 0x7FFFFFFFu;
        image[i] = static_cast<uint8_t>(x >> 16);
    }
    le::put_u32(image, 8, crc32(std::span<const uint8_t>(image).subspan(12)));
    return image;
}

}  // namespace hw::w99685_program
