#include "card_index.hpp"

#include <cstdio>
#include <utility>
#include <vector>

#include "asd_reader.hpp"
#include "le.hpp"

namespace asd {

namespace {

constexpr uint32_t kGenerationMask = 0xFFFF;
constexpr unsigned kTypeShift = 16;
constexpr uint32_t kUnusedBits = 0xFF000000;
constexpr uint8_t kLastLockType = 2;

// What in the index the recorder cannot have written; "" when nothing.
std::string damage_of(const CardIndex& index) {
    if (index.next >= kIndexFiles) {
        return "damaged: next file " + std::to_string(index.next) + ", beyond the ring's " +
               std::to_string(kIndexFiles) + " files";
    }
    if (index.lockCount > kMaxEvents) {
        return "damaged: " + std::to_string(index.lockCount) + " events kept, more than any card " +
               "keeps (" + std::to_string(kMaxEvents) + ")";
    }
    for (size_t i = 0; i < index.entries.size(); ++i) {
        const uint32_t entry = index.entries[i];
        if (entry == 0) continue;
        const uint32_t generation = entry & kGenerationMask;
        const uint32_t type = (entry >> kTypeShift) & 0xFF;
        const char* why = (entry & kUnusedBits) != 0 ? "bits 24..31 set"
                          : type > kLastLockType     ? "unknown lock type"
                          : generation == 0          ? "generation 0"
                          : generation > kMaxEvents  ? "generation beyond any card's events"
                                                     : nullptr;
        if (why != nullptr) {
            char text[96];
            std::snprintf(text, sizeof text, "damaged: lock entry of file %zu is 0x%08x (%s)", i,
                          entry, why);
            return text;
        }
    }
    return "";
}

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
    if (std::string why = damage_of(index); !why.empty()) {
        error = std::move(why);
        return std::nullopt;
    }
    return index;
}

std::optional<CardIndex> read_index(const std::string& path, std::string& error) {
    std::vector<uint8_t> bytes;
    if (std::string why = read_regular_file(path, kIndexBytes, "recording index", bytes);
        !why.empty()) {
        error = path + ": " + why;
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
