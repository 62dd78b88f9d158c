// Shared set-up of the storage tests: a fresh board root with the card's directories, every
// global of the recording core back at its start value, and an error halt that closes the file
// as the program's does and then throws instead of looping.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "board_root.hpp"
#include "capture.h"
#include "cardfile.h"
#include "clock.h"
#include "config.h"
#include "halt.h"
#include "recfile.h"
#include "recinfo.h"
#include "recstate.h"
#include "rotation.h"
#include "sim_card.h"
#include "sim_card_io.h"
#include "snapshot.h"
#include "storage.h"

namespace storagetest {

struct HaltEntered {
    int code;
};

inline void throwing_halt(int code) {
    throw HaltEntered{code};
}

// Runs `body`, which is to end in the error halt, with its console captured (into `console` when
// given). Returns the halt's code, or -1 when there was no halt.
template <typename Body>
int HaltCode(Body body, std::string* console = nullptr) {
    int code = -1;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    try {
        body();
    } catch (const HaltEntered& h) {
        code = h.code;
    }
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    if (console != nullptr) *console = out;
    return code;
}

// Every global of the recording core back at its start value, each file through its own reset.
// The card's settings are then the tests' usual ones: time zone GMT+0000.
inline void reset_globals() {
    reset_config_globals();
    g_exFileHeader.tzIndex = 14;
    reset_recstate_globals();
    reset_recfile_globals();
    reset_recinfo_globals();
    reset_rotation_globals();
    reset_storage_globals();
    reset_clock_globals();
    reset_snapshot_globals();
    reset_halt_globals();
    cardfile::reset_globals();
}

inline std::vector<uint8_t> read_bytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_text(const std::filesystem::path& p, const std::string& text) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

inline uint32_t u32_at(const std::vector<uint8_t>& b, size_t off) {
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) |
           (static_cast<uint32_t>(b[off + 3]) << 24);
}

class StorageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_globals();
        set_halt_close_step(stop_record);
        set_halt_hook(throwing_halt);
        for (const char* d :
             {"/mnt/mmcblk0p1/data", "/mnt/mmcblk0p1/configs", "/mnt/mmcblk0p1/snapshot"}) {
            std::filesystem::create_directories(board.host(d));
        }
        write_text(board.host("/mnt/mmcblk0p1/Firmware_version.txt"),
                   "FW_VERSION : Firmware 2.75W");
    }
    void TearDown() override {
        reset_recfile_globals();
        reset_halt_globals();
        cardfile::reset_globals();
    }

    // Writes the board's card state file: a card of `capacity` bytes with `block`-byte blocks.
    void set_card(uint64_t capacity, uint32_t block, uint32_t state = os::simcard::CARD_OK) {
        std::vector<uint8_t> f(os::simcard::kFileSize, 0);
        std::memcpy(f.data(), os::simcard::kMagic, 8);
        std::memcpy(f.data() + os::simcard::kOffCapacity, &capacity, 8);
        std::memcpy(f.data() + os::simcard::kOffBlockSize, &block, 4);
        std::memcpy(f.data() + os::simcard::kOffState, &state, 4);
        std::ofstream(board.root() / "run/card", std::ios::binary)
            .write(reinterpret_cast<const char*>(f.data()), static_cast<long>(f.size()));
        os::init();  // map the new file
    }

    // Changes the card's state in place, as the board does.
    void set_card_state(uint32_t state) {
        int fd = ::open((board.root() / "run/card").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, &state, 4, os::simcard::kOffState), 4);
        ::close(fd);
    }

    // A file of `bytes` on the card that takes space without taking the PC's disk. It is put
    // there behind the file system, so the seam counts the card again.
    void fill_card(const std::string& name, uint64_t bytes) {
        std::filesystem::path p = board.card() / name;
        std::ofstream(p).close();
        std::filesystem::resize_file(p, bytes);
        os::simcardio::recount();
    }

    std::filesystem::path rec_path(int index) const {
        char name[32];
        std::snprintf(name, sizeof name, "rec%08d.asd", index);
        return board.host("/mnt/mmcblk0p1/data") / name;
    }

    testsupport::BoardRoot board;
};

}  // namespace storagetest
