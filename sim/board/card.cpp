#include "card.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>

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

std::string parse_trigger(const std::vector<std::string>& words, CardTrigger& out) {
    if (words.size() != 3) return "expected COUNT CLASS ACTION, such as: 3 index cut";
    unsigned count = 0;
    const auto [end, ec] =
        std::from_chars(words[0].data(), words[0].data() + words[0].size(), count);
    if (ec != std::errc() || end != words[0].data() + words[0].size() || count == 0)
        return "'" + words[0] + "': expected a count of operations from 1";
    static const std::array<std::pair<const char*, uint32_t>, 4> kClasses = {{
        {"any", os::simcard::kOpAny},
        {"index", os::simcard::kOpIndex},
        {"names", os::simcard::kOpNames},
        {"recording", os::simcard::kOpRecording},
    }};
    static const std::array<std::pair<const char*, os::simcard::Trigger>, 4> kActions = {{
        {"cut", os::simcard::kTriggerCut},
        {"full", os::simcard::kTriggerFull},
        {"failing", os::simcard::kTriggerFailing},
        {"remove", os::simcard::kTriggerRemove},
    }};
    CardTrigger t;
    t.count = count;
    bool class_found = false, action_found = false;
    for (const auto& [name, bits] : kClasses) {
        if (words[1] == name) {
            t.classes = bits;
            class_found = true;
        }
    }
    for (const auto& [name, action] : kActions) {
        if (words[2] == name) {
            t.action = action;
            action_found = true;
        }
    }
    if (!class_found) return "'" + words[1] + "': expected any, index, names or recording";
    if (!action_found) return "'" + words[2] + "': expected cut, full, failing or remove";
    out = t;
    return "";
}

Card::~Card() {
    stop_listening();
    if (map_ != nullptr) ::munmap(map_, os::simcard::kFileSize);
}

void Card::stop_listening() {
    if (listener_.joinable()) {
        const uint64_t one = 1;
        if (::write(stop_fd_, &one, sizeof one) < 0) { /* the thread also ends at a closed fd */
        }
        listener_.join();
    }
    if (fifo_fd_ >= 0) ::close(fifo_fd_);
    if (stop_fd_ >= 0) ::close(stop_fd_);
    fifo_fd_ = stop_fd_ = -1;
}

bool Card::open(const fs::path& root, uint64_t capacity, Durability durability, uint64_t seed,
                std::string& error) {
    if (map_ != nullptr) ::munmap(map_, os::simcard::kFileSize);
    map_ = nullptr;
    root_ = root;
    dir_ = root / "mnt/mmcblk0p1";
    removed_ = root / "mnt/.mmcblk0p1.removed";
    lost_ = root / "lost+found";
    capacity_ = capacity;
    durability_ = durability;
    seed_ = seed;
    std::error_code ec;
    if (fs::exists(removed_, ec)) {
        if (const std::string why = insert(); !why.empty()) {
            error = "cannot put the removed card back: " + why;
            return false;
        }
    }
    fs::create_directories(paths().undo, ec);
    // A board that was killed left its card with what it had not flushed.
    if (journal_entries(paths()) > 0) {
        const CutOutcome out = apply_power_cut(paths(), seed_);
        std::ofstream log(root_ / "log/card.log", std::ios::app);
        log << "# power cut left by an earlier run (seed " << seed_ << ")\n";
        for (const auto& line : out.lines) log << line << "\n";
    }
    drop_journal(paths());

    std::array<uint8_t, os::simcard::kFileSize> bytes{};
    std::memcpy(bytes.data(), os::simcard::kMagic, sizeof os::simcard::kMagic);
    le::put_u32(bytes, os::simcard::kOffCapacity, static_cast<uint32_t>(capacity));
    le::put_u32(bytes, os::simcard::kOffCapacity + 4, static_cast<uint32_t>(capacity >> 32));
    le::put_u32(bytes, os::simcard::kOffBlockSize, os::simcard::kDefaultBlockSize);
    le::put_u32(bytes, os::simcard::kOffState, os::simcard::CARD_OK);
    le::put_u32(bytes, os::simcard::kOffDurability,
                durability == Durability::kFaithful ? os::simcard::kFaithful : os::simcard::kHost);

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
    recount();
    return true;
}

CardPaths Card::paths() const {
    const bool out = state() == os::simcard::CARD_REMOVED && fs::exists(removed_);
    return {out ? removed_ : dir_, root_ / "run" / os::simcard::kJournalName,
            root_ / "run" / os::simcard::kUndoDirName};
}

CardState Card::state() const {
    if (map_ == nullptr) return os::simcard::CARD_OK;
    auto* word = reinterpret_cast<uint32_t*>(map_ + os::simcard::kOffState);
    // The file's bytes are little-endian, as is every host the board runs on.
    static_assert(std::endian::native == std::endian::little);
    return static_cast<CardState>(std::atomic_ref<uint32_t>(*word).load());
}

void Card::store32(size_t offset, uint32_t value) {
    if (map_ == nullptr) return;
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(map_ + offset)).store(value);
}

void Card::store_state(CardState state) {
    store32(os::simcard::kOffState, state);
}

uint64_t Card::used_bytes() const {
    if (map_ == nullptr) return 0;
    return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(map_ + os::simcard::kOffUsed))
        .load();
}

// Every file's size rounded up to whole blocks, every directory one block: what statfs of the
// programs' seam counts.
void Card::recount() {
    if (map_ == nullptr) return;
    const uint64_t block = os::simcard::kDefaultBlockSize;
    uint64_t used = 0;
    std::error_code ec;
    for (fs::recursive_directory_iterator
             it(dir_, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            used += block;
        } else {
            used += (static_cast<uint64_t>(st.st_size) + block - 1) / block * block;
        }
    }
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(map_ + os::simcard::kOffUsed))
        .store(used);
}

std::string Card::set_state(CardState state) {
    if (this->state() == os::simcard::CARD_REMOVED) return "the card is removed";
    store_state(state);
    return "";
}

std::string Card::remove() {
    if (state() == os::simcard::CARD_REMOVED) return "the card is already removed";
    store_state(os::simcard::CARD_REMOVED);
    return take_out();
}

std::string Card::finish_remove() {
    if (state() != os::simcard::CARD_REMOVED || fs::exists(removed_)) return "";
    return take_out();
}

// The card leaves its slot, and its power with it: what was not flushed meets a power cut.
std::string Card::take_out() {
    power_cut("the card was taken out");
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
    recount();
    return "";
}

std::string Card::arm(const CardTrigger& trigger) {
    if (map_ == nullptr) return "the card is not open";
    store32(os::simcard::kOffTriggerClasses, 0);
    store32(os::simcard::kOffTriggerAction, trigger.action);
    store32(os::simcard::kOffTriggerCountdown, trigger.count);
    store32(os::simcard::kOffTriggerClasses, trigger.classes);
    return "";
}

void Card::disarm() {
    store32(os::simcard::kOffTriggerClasses, 0);
    store32(os::simcard::kOffTriggerCountdown, 0);
}

std::string Card::power_cut(std::string_view cause) {
    if (durability_ == Durability::kHost) {
        drop_journal(paths());
        return "";
    }
    ++cuts_;
    // Each cut of a run draws from its own numbers: a run replays cut by cut.
    const uint64_t seed = seed_ ^ (0x9E3779B97F4A7C15ull * cuts_);
    const CutOutcome out = apply_power_cut(paths(), seed);
    recount();
    std::ofstream log(root_ / "log/card.log", std::ios::app);
    log << "# cut " << cuts_ << " (" << cause << "), seed " << seed_ << ": " << out.changes
        << " unflushed change" << (out.changes == 1 ? "" : "s") << "\n";
    for (const auto& line : out.lines) log << line << "\n";
    std::string line = "card: power cut " + std::to_string(cuts_) + ": ";
    if (out.changes == 0) {
        line += "all flushed";
    } else {
        line += std::to_string(out.changes) + " unflushed change" + (out.changes == 1 ? "" : "s") +
                ", " + std::to_string(out.kept) + " kept, " + std::to_string(out.lost) + " lost, " +
                std::to_string(out.torn) + " torn (log/card.log)";
    }
    if (log_) log_(line);
    return line;
}

void Card::flush() {
    drop_journal(paths());
}

size_t Card::unflushed() const {
    return journal_entries(paths());
}

bool Card::listen(std::function<void(std::string message)> sink, std::string& error) {
    const fs::path fifo = root_ / "run" / os::simcard::kTriggerFifoName;
    std::error_code ec;
    fs::remove(fifo, ec);
    // Opened for reading and writing, the FIFO never reports an end when a program closes it.
    if (::mkfifo(fifo.c_str(), 0600) != 0 ||
        (fifo_fd_ = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC)) < 0 ||
        (stop_fd_ = ::eventfd(0, EFD_CLOEXEC)) < 0) {
        error = "cannot make " + fifo.string() + ": " + std::strerror(errno);
        return false;
    }
    listener_ = std::thread([this, sink = std::move(sink)] {
        std::string pending;
        for (;;) {
            pollfd fds[2] = {{fifo_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            char buf[4096];
            const ssize_t n = ::read(fifo_fd_, buf, sizeof buf);
            if (n <= 0) continue;
            pending.append(buf, static_cast<size_t>(n));
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                sink(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
        }
    });
    return true;
}

std::string Card::describe() const {
    const CardState s = state();
    if (s == os::simcard::CARD_REMOVED) return "removed";
    return format_size(used_bytes()) + " of " + format_size(capacity_) + " used, " +
           std::string(state_name(s));
}

std::string Card::describe_durability() const {
    if (durability_ == Durability::kHost) return "host (keeps everything written)";
    const size_t n = unflushed();
    return "crash-faithful, seed " + std::to_string(seed_) + ", " + std::to_string(n) +
           " unflushed change" + (n == 1 ? "" : "s");
}

}  // namespace simboard
