// The simulated SD card: the directory <root>/mnt/mmcblk0p1 with a virtual capacity, and its
// state file <root>/run/card (layout in os/sim_card.h), which the programs' os seam maps and
// consults on statfs and on every read or write of a card file.
//
// The card is crash-faithful by default: the seam journals what was not flushed yet, and a
// power cut (power off, power cycle, a watchdog reset, the board stopping, taking the card out)
// keeps only a share of it, drawn from the card's seed (card_crash.hpp). A reboot that the shell
// command or the operator asks for flushes first, as the box's reboot does. With durability
// "host" everything written stays.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "../../os/sim_card.h"
#include "card_crash.hpp"

namespace simboard {

// "8G", "512M", "1000K", "4096": bytes, with binary K/M/G suffixes. Empty when malformed, zero
// or above 1 TiB.
std::optional<uint64_t> parse_size(std::string_view text);
// "7.5 GiB", "512.0 MiB", "100 B".
std::string format_size(uint64_t bytes);
std::string_view state_name(os::simcard::CardState state);

enum class Durability { kFaithful, kHost };

// A trigger at the Nth card operation of some classes (os/sim_card.h).
struct CardTrigger {
    uint32_t count = 0;
    uint32_t classes = os::simcard::kOpAny;
    os::simcard::Trigger action = os::simcard::kTriggerCut;
};
// "3 index cut", "1 names full": {count, class (any, index, names, recording), action (cut,
// full, failing, remove)}. "" or what is wrong.
std::string parse_trigger(const std::vector<std::string>& words, CardTrigger& out);

class Card {
  public:
    Card() = default;
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // Writes the state file for a healthy card of `capacity` bytes and maps it. A card that was
    // left removed (by an earlier run of the board) is put back first: a board start is a fresh
    // insertion. What an earlier run left unflushed (a board that was killed) meets its power
    // cut now.
    bool open(const std::filesystem::path& root, uint64_t capacity, Durability durability,
              uint64_t seed, std::string& error);

    uint64_t capacity() const { return capacity_; }
    Durability durability() const { return durability_; }
    uint64_t seed() const { return seed_; }
    os::simcard::CardState state() const;
    // Bytes the card's files take: the count the programs keep as they change the card.
    uint64_t used_bytes() const;
    // Counts them again from the card's directory.
    void recount();

    // Each returns "" or why it cannot be done.
    std::string set_state(os::simcard::CardState state);  // OK, FULL or FAILING
    std::string remove();  // open files fail with EIO, the card's directory is gone
    std::string insert();
    // The seam set the state to removed when a trigger fired: the card goes now.
    std::string finish_remove();
    std::string arm(const CardTrigger& trigger);
    void disarm();

    // Where the card's console lines go (power cuts).
    void set_log(std::function<void(std::string_view line)> log) { log_ = std::move(log); }
    // The power goes: what was not flushed meets the cut. The console's line about it (also
    // logged; "" when the card keeps everything); each change is told in <root>/log/card.log.
    std::string power_cut(std::string_view cause);
    // Everything written so far reaches the card (a sync; a clean reboot's too).
    void flush();
    // Unflushed changes the programs journaled so far.
    size_t unflushed() const;

    // Calls `sink` on a thread of its own with each message of a program's fired trigger
    // ("cut write data/rec00000003.asd", "remove ..."), until the card is destroyed.
    bool listen(std::function<void(std::string message)> sink, std::string& error);
    void stop_listening();

    const std::filesystem::path& dir() const { return dir_; }
    std::string describe() const;             // "12.0 MiB of 8.0 GiB used, ok"
    std::string describe_durability() const;  // "crash-faithful, seed 7, 3 unflushed changes"

  private:
    void store_state(os::simcard::CardState state);
    void store32(size_t offset, uint32_t value);
    CardPaths paths() const;
    std::string take_out();

    std::filesystem::path root_;
    std::filesystem::path dir_;      // the card as the programs see it
    std::filesystem::path removed_;  // where a removed card is kept
    std::filesystem::path lost_;     // where files written to the empty mount point go
    uint64_t capacity_ = 0;
    Durability durability_ = Durability::kFaithful;
    uint64_t seed_ = 0;
    unsigned cuts_ = 0;
    uint8_t* map_ = nullptr;
    std::function<void(std::string_view)> log_;
    int fifo_fd_ = -1;
    int stop_fd_ = -1;
    std::thread listener_;
};

}  // namespace simboard
