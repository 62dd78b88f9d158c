#include "card.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "../../common/le.hpp"

namespace simboard {

namespace fs = std::filesystem;
using os::simcard::CardState;

std::optional<uint64_t> parse_size(std::string_view text) {
    if (text.empty()) return std::nullopt;
    uint64_t unit = 1;
    switch (text.back()) {
        case 'K':
        case 'k':
            unit = 1ull << 10;
            break;
        case 'M':
        case 'm':
            unit = 1ull << 20;
            break;
        case 'G':
        case 'g':
            unit = 1ull << 30;
            break;
        default:
            break;
    }
    if (unit != 1) text.remove_suffix(1);
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
    constexpr uint64_t kMax = 1ull << 40;
    if (value > kMax / unit) return std::nullopt;
    return value * unit;
}

std::string format_size(uint64_t bytes) {
    static constexpr std::array<const char*, 4> kUnits = {"B", "KiB", "MiB", "GiB"};
    double v = static_cast<double>(bytes);
    size_t u = 0;
    while (v >= 1024.0 && u + 1 < kUnits.size()) {
        v /= 1024.0;
        ++u;
    }
    char text[32];
    if (u == 0) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", v, kUnits[u]);
    }
    return text;
}

std::string_view state_name(CardState state) {
    switch (state) {
        case os::simcard::CARD_OK:
            return "ok";
        case os::simcard::CARD_FULL:
            return "full";
        case os::simcard::CARD_FAILING:
            return "failing";
        case os::simcard::CARD_REMOVED:
            return "removed";
    }
    return "unknown";
}

Card::~Card() {
    if (map_ != nullptr) ::munmap(map_, os::simcard::kFileSize);
}

bool Card::open(const fs::path& root, uint64_t capacity, std::string& error) {
    dir_ = root / "mnt/mmcblk0p1";
    removed_ = root / "mnt/.mmcblk0p1.removed";
    lost_ = root / "lost+found";
    capacity_ = capacity;
    std::error_code ec;
    if (fs::exists(removed_, ec)) {
        if (const std::string why = insert(); !why.empty()) {
            error = "cannot put the removed card back: " + why;
            return false;
        }
    }
    std::array<uint8_t, os::simcard::kFileSize> bytes{};
    std::memcpy(bytes.data(), os::simcard::kMagic, sizeof os::simcard::kMagic);
    le::put_u32(bytes, os::simcard::kOffCapacity, static_cast<uint32_t>(capacity));
    le::put_u32(bytes, os::simcard::kOffCapacity + 4, static_cast<uint32_t>(capacity >> 32));
    le::put_u32(bytes, os::simcard::kOffBlockSize, os::simcard::kDefaultBlockSize);
    le::put_u32(bytes, os::simcard::kOffState, os::simcard::CARD_OK);
    static_assert(os::simcard::kOffState + 4 <= os::simcard::kFileSize);

    const fs::path file = root / "run/card";
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, os::simcard::kFileSize) < 0 ||
        ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size())) {
        error = "cannot write " + file.string() + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    void* map = ::mmap(nullptr, os::simcard::kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (map == MAP_FAILED) {
        error = "cannot map " + file.string() + ": " + std::strerror(errno);
        return false;
    }
    map_ = static_cast<uint8_t*>(map);
    return true;
}

CardState Card::state() const {
    if (map_ == nullptr) return os::simcard::CARD_OK;
    auto* word = reinterpret_cast<uint32_t*>(map_ + os::simcard::kOffState);
    // The file's bytes are little-endian, as is every host the board runs on.
    static_assert(std::endian::native == std::endian::little);
    return static_cast<CardState>(std::atomic_ref<uint32_t>(*word).load());
}

void Card::store_state(CardState state) {
    if (map_ == nullptr) return;
    auto* word = reinterpret_cast<uint32_t*>(map_ + os::simcard::kOffState);
    std::atomic_ref<uint32_t>(*word).store(state);
    ::msync(map_, os::simcard::kFileSize, MS_ASYNC);
}

uint64_t Card::used_bytes() const {
    uint64_t used = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(dir_, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            used += static_cast<uint64_t>(st.st_blocks) * 512;
        }
    }
    return used;
}

std::string Card::set_state(CardState state) {
    if (this->state() == os::simcard::CARD_REMOVED) return "the card is removed";
    store_state(state);
    return "";
}

std::string Card::remove() {
    if (state() == os::simcard::CARD_REMOVED) return "the card is already removed";
    store_state(os::simcard::CARD_REMOVED);
    std::error_code ec;
    fs::rename(dir_, removed_, ec);
    if (ec) {
        store_state(os::simcard::CARD_OK);
        return "cannot move " + dir_.string() + " away: " + ec.message();
    }
    // What is left is the bare mount point, as after an unmount.
    fs::create_directory(dir_, ec);
    return "";
}

std::string Card::insert() {
    std::error_code ec;
    if (!fs::exists(removed_, ec)) return "the card is not removed";
    // Files written to the bare mount point while the card was out would be hidden under the
    // mounted card; keep them aside instead of mixing them into the card.
    if (fs::exists(dir_, ec) && !fs::is_empty(dir_, ec)) {
        fs::create_directories(lost_, ec);
        fs::path aside;
        for (int n = 1;; ++n) {
            aside = lost_ / ("mmcblk0p1-mountpoint." + std::to_string(n));
            if (!fs::exists(aside, ec)) break;
        }
        fs::rename(dir_, aside, ec);
        if (ec) return "cannot clear the mount point " + dir_.string() + ": " + ec.message();
    } else {
        fs::remove(dir_, ec);
    }
    fs::rename(removed_, dir_, ec);
    if (ec) return "cannot put the card back: " + ec.message();
    store_state(os::simcard::CARD_OK);
    return "";
}

std::string Card::describe() const {
    const CardState s = state();
    if (s == os::simcard::CARD_REMOVED) return "removed";
    return format_size(used_bytes()) + " of " + format_size(capacity_) + " used, " +
           std::string(state_name(s));
}

}  // namespace simboard
