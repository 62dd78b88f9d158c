// The simulated SD card: the directory <root>/mnt/mmcblk0p1 with a virtual capacity, and its
// state file <root>/run/card (layout in os/sim_card.h), which the programs' os seam maps and
// consults on statfs and on every read or write of a card file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "../../os/sim_card.h"

namespace simboard {

// "8G", "512M", "1000K", "4096": bytes, with binary K/M/G suffixes. Empty when malformed, zero
// or above 1 TiB.
std::optional<uint64_t> parse_size(std::string_view text);
// "7.5 GiB", "512.0 MiB", "100 B".
std::string format_size(uint64_t bytes);
std::string_view state_name(os::simcard::CardState state);

class Card {
  public:
    Card() = default;
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // Writes the state file for a healthy card of `capacity` bytes and maps it. A card that was
    // left removed (by an earlier run of the board) is put back first: a board start is a fresh
    // insertion.
    bool open(const std::filesystem::path& root, uint64_t capacity, std::string& error);

    uint64_t capacity() const { return capacity_; }
    os::simcard::CardState state() const;
    // Bytes the card's files take (their allocated blocks).
    uint64_t used_bytes() const;

    // Each returns "" or why it cannot be done.
    std::string set_state(os::simcard::CardState state);  // OK, FULL or FAILING
    std::string remove();  // open files fail with EIO, the card's directory is gone
    std::string insert();

    const std::filesystem::path& dir() const { return dir_; }
    std::string describe() const;  // "12.0 MiB of 8.0 GiB used, ok"

  private:
    void store_state(os::simcard::CardState state);

    std::filesystem::path dir_;      // the card as the programs see it
    std::filesystem::path removed_;  // where a removed card is kept
    std::filesystem::path lost_;     // where files written to the empty mount point go
    uint64_t capacity_ = 0;
    uint8_t* map_ = nullptr;
};

}  // namespace simboard
