#include "card_index.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "le.hpp"

namespace asd {

namespace {

constexpr uint32_t kGenerationMask = 0xFFFF;
constexpr unsigned kTypeShift = 16;

}  // namespace

std::optional<Lock> CardIndex::lock_of(size_t index) const {
    if (index >= entries.size() || entries[index] == 0) return std::nullopt;
    const uint32_t entry = entries[index];
    return Lock{static_cast<uint16_t>(entry & kGenerationMask),
                static_cast<uint8_t>(entry >> kTypeShift)};
}

size_t CardIndex::locked_files() const {
    size_t n = 0;
    for (const uint32_t entry : entries) n += entry != 0 ? 1 : 0;
    return n;
}

std::optional<CardIndex> parse_index(std::span<const uint8_t> bytes, std::string& error) {
    if (bytes.size() != kIndexBytes) {
        error = "recording index of " + std::to_string(bytes.size()) + " bytes, not " +
                std::to_string(kIndexBytes);
        return std::nullopt;
    }
    CardIndex index;
    index.next = le::get_u32(bytes, 0);
    index.lockCount = le::get_u32(bytes, 4);
    for (size_t i = 0; i < kIndexFiles; ++i) index.entries[i] = le::get_u32(bytes, 8 + 4 * i);
    return index;
}

std::optional<CardIndex> read_index(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // One byte more than an index may hold tells an over-long file from a whole one.
    std::vector<uint8_t> bytes(kIndexBytes + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    if (bytes.size() > kIndexBytes) {
        error = path + ": recording index longer than " + std::to_string(kIndexBytes) + " bytes";
        return std::nullopt;
    }
    auto index = parse_index(bytes, error);
    if (!index) error = path + ": " + error;
    return index;
}

std::string lock_type_name(uint8_t type) {
    switch (type) {
        case 0:
            return "emergency button";
        case 1:
            return "impact";
        case 2:
            return "external alarm";
        default:
            return "lock type " + std::to_string(type);
    }
}

}  // namespace asd
