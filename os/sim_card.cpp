// The card half of the simulated os seam.
//
// The SD card is the directory "<root>/mnt/mmcblk0p1" with a virtual capacity and a state that
// the board changes at run time, both in "<root>/run/card" (sim_card.h), mapped here. Every call
// on a card file consults the state; every change of the card keeps the count of the space its
// files take, so that a write past the capacity fails with ENOSPC as on a real card without
// walking the directory. The first statfs of a process walks it and sets the count (the mount);
// later ones read the count, as a FAT driver keeps its free-space count. Shell commands and the
// board's own card operations count the card again after they changed it; files put there from
// outside (recount()) are counted at the next statfs.
//
// On a crash-faithful card (durability kFaithful) every change is journaled before it is made,
// with what it takes to take it back (sim_card_journal.h): the bytes a write overwrites, the size
// before a truncation, the inode a removal, a rename or an O_TRUNC open drops (kept by a hard link
// in the undo store). A new file is made in the undo store and moved into place once journaled,
// so that the journal always knows its inode. fsync journals that the file is flushed; sync
// empties the journal and the undo store. The board applies the journal at a power cut.
//
// Changes of one process are serialised by a mutex (the journal's order is the order of the
// changes), those of different processes by an exclusive flock(2) of the journal.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim_card.h"
#include "sim_card_io.h"
#include "sim_card_journal.h"

static_assert(std::endian::native == std::endian::little,
              "the card state file is read in place and is little-endian");
static_assert(os::cardlog::kHeadSize == 64 && os::cardlog::kListHead == 32);

namespace os::simcardio {

namespace {

using cardlog::Entry;
using cardlog::Kind;

constexpr std::string_view kCardBox = "/mnt/mmcblk0p1";

// Per-descriptor flags, a flat table so that the check on every read and write of any
// descriptor takes no lock.
constexpr int kMaxTrackedFd = 65536;
constexpr uint8_t kFdCard = 1;
constexpr uint8_t kFdAppend = 2;
constexpr uint8_t kFdIndex = 4;
constexpr uint8_t kFdRecording = 8;
std::array<std::atomic<uint8_t>, kMaxTrackedFd> g_fdFlags{};

std::string g_root;
std::string g_cardDir;  // host path of the card
std::string g_undoDir;  // host path of the undo store
std::atomic<uint8_t*> g_map{nullptr};
alignas(8) uint64_t g_localUsed = 0;  // the count when the board wrote no state file
// Whether this process counted the card's use since it started or was told the card changed
// behind its back: as a FAT driver reads the free space once at the mount and then keeps it,
// later free-space queries take the running count.
std::atomic<bool> g_counted{false};

std::mutex g_mutex;  // serialises this process's card changes; guards what follows
int g_journalFd = -1;
unsigned g_newFiles = 0;  // names of files made in the undo store

// ---- the state file ----

uint8_t* state_map() {
    uint8_t* map = g_map.load(std::memory_order_acquire);
    if (map != nullptr) return map;
    const int fd = ::open((g_root + "/run/card").c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    void* p = MAP_FAILED;
    if (::fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= simcard::kFileSize) {
        p = ::mmap(nullptr, simcard::kFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    ::close(fd);
    if (p == MAP_FAILED) return nullptr;
    auto* fresh = static_cast<uint8_t*>(p);
    if (std::memcmp(fresh, simcard::kMagic, sizeof simcard::kMagic) != 0) {
        ::munmap(p, simcard::kFileSize);
        return nullptr;
    }
    uint8_t* expected = nullptr;
    if (!g_map.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
        ::munmap(p, simcard::kFileSize);  // another thread mapped it first
        return expected;
    }
    return fresh;
}

template <typename T>
std::atomic_ref<T> word(uint8_t* map, size_t offset) {
    return std::atomic_ref<T>(*reinterpret_cast<T*>(map + offset));
}

uint32_t load32(size_t offset, uint32_t fallback) {
    uint8_t* map = state_map();
    return map == nullptr ? fallback : word<uint32_t>(map, offset).load();
}

uint32_t card_state() {
    return load32(simcard::kOffState, simcard::CARD_OK);
}

bool faithful() {
    return load32(simcard::kOffDurability, simcard::kHost) == simcard::kFaithful;
}

struct Geometry {
    uint64_t capacity;
    uint64_t block;
};

Geometry geometry() {
    uint8_t* map = state_map();
    if (map == nullptr) return {simcard::kDefaultCapacity, simcard::kDefaultBlockSize};
    Geometry g{word<uint64_t>(map, simcard::kOffCapacity).load(),
               word<uint32_t>(map, simcard::kOffBlockSize).load()};
    if (g.block == 0) g.block = simcard::kDefaultBlockSize;
    return g;
}

std::atomic_ref<uint64_t> used_count() {
    uint8_t* map = state_map();
    return map == nullptr ? std::atomic_ref<uint64_t>(g_localUsed)
                          : word<uint64_t>(map, simcard::kOffUsed);
}

uint64_t round_up(uint64_t bytes, uint64_t block) {
    return (bytes + block - 1) / block * block;
}

void release(uint64_t bytes) {
    if (bytes == 0) return;
    auto used = used_count();
    uint64_t now = used.load();
    while (!used.compare_exchange_weak(now, now > bytes ? now - bytes : 0)) {
    }
}

void add_used(uint64_t bytes) {
    used_count().fetch_add(bytes);
}

// Takes the blocks that growing a file of `size` bytes to `want_end` bytes needs, as far as the
// card's free space goes; the end it may grow to (`size` or more, at most `want_end`).
uint64_t reserve(uint64_t size, uint64_t want_end) {
    if (want_end <= size) return want_end;
    const Geometry g = geometry();
    const uint64_t old_alloc = round_up(size, g.block);
    if (want_end <= old_alloc) return want_end;
    auto used = used_count();
    uint64_t now = used.load();
    for (;;) {
        const uint64_t free = g.capacity > now ? g.capacity - now : 0;
        const uint64_t end = std::min(want_end, old_alloc + free / g.block * g.block);
        const uint64_t need = end > old_alloc ? round_up(end, g.block) - old_alloc : 0;
        if (need == 0) return std::max(size, std::min(end, old_alloc));
        if (used.compare_exchange_weak(now, now + need)) return end;
    }
}

// Gives back what reserve() took for `granted_end` beyond what a file of `size` bytes now ending
// at `actual_end` takes.
void unreserve(uint64_t size, uint64_t granted_end, uint64_t actual_end) {
    const uint64_t block = geometry().block;
    const uint64_t granted = round_up(std::max(size, granted_end), block);
    const uint64_t actual = round_up(std::max(size, actual_end), block);
    if (granted > actual) release(granted - actual);
}

// Space the files under `dir` take on a card with `block` bytes per block: every file's size
// rounded up to whole blocks, every directory one block.
uint64_t space_used(const std::string& dir, uint64_t block) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return 0;
    uint64_t used = 0;
    while (const dirent* e = ::readdir(d)) {
        std::string_view name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + e->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            used += block + space_used(path, block);
        } else {
            used += round_up(static_cast<uint64_t>(st.st_size), block);
        }
    }
    ::closedir(d);
    return used;
}

// -1 with errno set when the card's state forbids I/O on a card descriptor.
int state_check(bool writing) {
    switch (card_state()) {
        case simcard::CARD_REMOVED:
        case simcard::CARD_FAILING:
            errno = EIO;
            return -1;
        case simcard::CARD_FULL:
            if (writing) {
                errno = ENOSPC;
                return -1;
            }
            return 0;
        default:
            return 0;
    }
}

uint8_t fd_flags(int fd) {
    if (fd < 0 || fd >= kMaxTrackedFd) return 0;
    return g_fdFlags[fd].load(std::memory_order_relaxed);
}

// What a write needs of its descriptor's file (inode, size, the descriptor's position), kept
// from the descriptor's last write so that the next one need not ask the kernel twice. It holds
// while this process made no other change to the card: every change ends by moving g_epoch on,
// a write then remembers its file as of the new epoch. A read, a seek or a new descriptor under
// the same number forgets it.
struct Known {
    uint64_t epoch = 0;
    uint64_t ino = 0;
    uint64_t size = 0;
    uint64_t pos = 0;
};
std::atomic<uint64_t> g_epoch{1};
std::mutex g_knownMutex;  // taken after g_mutex when both are held
std::unordered_map<int, Known> g_known;

void forget(int fd) {
    std::lock_guard lock(g_knownMutex);
    g_known.erase(fd);
}

std::optional<Known> known(int fd) {
    std::lock_guard lock(g_knownMutex);
    const auto it = g_known.find(fd);
    if (it == g_known.end() || it->second.epoch != g_epoch.load()) return std::nullopt;
    return it->second;
}

void remember(int fd, const Known& k) {
    std::lock_guard lock(g_knownMutex);
    g_known[fd] = k;
}

void track(int fd, uint8_t flags) {
    if (fd >= 0 && fd < kMaxTrackedFd) g_fdFlags[fd].store(flags);
    if (fd >= 0) forget(fd);
}

// ---- paths ----

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// "/mnt/mmcblk0p1/data/recinfo" -> "data/recinfo"; the card itself -> "".
std::string relative(std::string_view box) {
    box.remove_prefix(kCardBox.size());
    while (!box.empty() && box.front() == '/') box.remove_prefix(1);
    while (!box.empty() && box.back() == '/') box.remove_suffix(1);
    return std::string(box);
}

uint8_t class_flags(std::string_view rel) {
    const size_t slash = rel.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? rel : rel.substr(slash + 1);
    uint8_t flags = 0;
    if (starts_with(name, "recinfo")) flags |= kFdIndex;
    if (starts_with(name, "rec") && name.ends_with(".asd")) flags |= kFdRecording;
    return flags;
}

uint32_t op_classes(uint8_t flags) {
    uint32_t classes = simcard::kOpAny;
    if (flags & kFdIndex) classes |= simcard::kOpIndex;
    if (flags & kFdRecording) classes |= simcard::kOpRecording;
    return classes;
}

std::string kept_path(uint64_t ino) {
    return g_undoDir + "/" + std::to_string(ino);
}

// Keeps the inode of `host` in the undo store (a hard link named after the inode). False when
// it could not be kept.
bool keep(const std::string& host, uint64_t ino) {
    if (::link(host.c_str(), kept_path(ino).c_str()) == 0 || errno == EEXIST) return true;
    if (errno != ENOENT) return false;
    ::mkdir(g_undoDir.c_str(), 0755);
    return ::link(host.c_str(), kept_path(ino).c_str()) == 0 || errno == EEXIST;
}

// ---- the journal ----

// Appends one entry (the caller holds the journal). A journal that cannot be written only makes
// the card keep what it would have lost: the change itself goes ahead.
void append(const Entry& entry, std::span<const uint8_t> data) {
    if (g_journalFd < 0) return;
    Entry e = entry;
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    e.timeNs = static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
    const std::vector<uint8_t> bytes = cardlog::encode(e, data);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(g_journalFd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
}

void append(const Entry& e) {
    append(e, e.data);
}

bool read_at(int fd, std::vector<uint8_t>& out, uint64_t offset, size_t count) {
    out.resize(count);
    ssize_t n = ::pread(fd, out.data(), count, static_cast<off_t>(offset));
    if (n < 0 && errno == EBADF) {  // opened for writing only: read through a second open
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int rfd = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
        if (rfd < 0) return false;
        n = ::pread(rfd, out.data(), count, static_cast<off_t>(offset));
        ::close(rfd);
    }
    if (n < 0) return false;
    out.resize(static_cast<size_t>(n));
    return true;
}

void notify_board(const std::string& text) {
    const std::string fifo = g_root + "/run/" + simcard::kTriggerFifoName;
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    const std::string line = text + "\n";
    if (::write(fd, line.data(), line.size()) < 0) { /* the board is gone: nothing to tell */
    }
    ::close(fd);
}

std::string fd_name(int fd) {
    char target[512];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(self.c_str(), target, sizeof target - 1);
    if (n <= 0) return "descriptor " + std::to_string(fd);
    std::string path(target, static_cast<size_t>(n));
    if (starts_with(path, g_cardDir + "/")) path = path.substr(g_cardDir.size() + 1);
    return path;
}

// One change of the card: holds the process's card mutex and, on a crash-faithful card, the
// journal; counts the change against the armed trigger. A kFull, kFailing or kRemove trigger
// takes effect before the change (which then fails as it would on such a card); kCut after it,
// when the destructor freezes the program.
class Change {
  public:
    Change(uint32_t classes, const char* verb, std::string_view what, int fd = -1)
        : lock_(g_mutex), verb_(verb), what_(what), fd_(fd) {
        journal_ = faithful();
        if (journal_ && g_journalFd < 0) {
            const std::string path = g_root + "/run/" + simcard::kJournalName;
            g_journalFd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        }
        if (journal_ && g_journalFd >= 0) {
            while (::flock(g_journalFd, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
        count(classes);
    }
    ~Change() {
        if (cut_) freeze();
        if (journal_ && g_journalFd >= 0) ::flock(g_journalFd, LOCK_UN);
        ++g_epoch;  // what a descriptor knew of its file may be out of date now
    }
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;

    bool journal() const { return journal_ && g_journalFd >= 0; }

  private:
    std::string describe() const {
        return std::string(verb_) + " " + (fd_ >= 0 ? fd_name(fd_) : what_);
    }

    void count(uint32_t classes) {
        uint8_t* map = state_map();
        if (map == nullptr) return;
        if ((word<uint32_t>(map, simcard::kOffTriggerClasses).load() & classes) == 0) return;
        auto left = word<uint32_t>(map, simcard::kOffTriggerCountdown);
        uint32_t now = left.load();
        while (now > 0 && !left.compare_exchange_weak(now, now - 1)) {
        }
        if (now != 1) return;
        const uint32_t action = word<uint32_t>(map, simcard::kOffTriggerAction).load();
        word<uint32_t>(map, simcard::kOffTriggerClasses).store(0);
        switch (action) {
            case simcard::kTriggerFull:
                word<uint32_t>(map, simcard::kOffState).store(simcard::CARD_FULL);
                break;
            case simcard::kTriggerFailing:
                word<uint32_t>(map, simcard::kOffState).store(simcard::CARD_FAILING);
                break;
            case simcard::kTriggerRemove:
                word<uint32_t>(map, simcard::kOffState).store(simcard::CARD_REMOVED);
                notify_board("remove " + describe());
                break;
            default:
                cut_ = true;
                break;
        }
    }

    // The power goes during this change: nothing of this process reaches the card any more
    // (its card mutex stays held) until the board has ended it. The journal is let go, so that
    // the board can apply it whatever it does first.
    [[noreturn]] void freeze() {
        if (journal_ && g_journalFd >= 0) ::flock(g_journalFd, LOCK_UN);
        notify_board("cut " + describe());
        for (;;) ::pause();
    }

    std::unique_lock<std::mutex> lock_;
    const char* verb_;
    std::string what_;
    int fd_;
    bool journal_ = false;
    bool cut_ = false;
};

std::string make_new_name() {
    return g_undoDir + "/new-" + std::to_string(::getpid()) + "-" + std::to_string(++g_newFiles);
}

// ---- shell commands ----

struct ShellState {
    std::vector<cardlog::ListedFile> before;
    std::vector<uint64_t> links;  // inodes this command's listing kept in the undo store
    std::unique_ptr<Change> change;
};
ShellState g_shell;  // guarded by g_mutex (held by its Change while a command runs)

void list_dir(const std::string& host, const std::string& rel, bool content,
              std::vector<cardlog::ListedFile>& out) {
    DIR* d = ::opendir(host.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = host + "/" + name;
        const std::string sub = rel.empty() ? name : rel + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        cardlog::ListedFile f;
        f.path = sub;
        f.ino = st.st_ino;
        f.size = static_cast<uint64_t>(st.st_size);
        f.ctimeNs = static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
                    static_cast<uint64_t>(st.st_ctim.tv_nsec);
        f.dir = S_ISDIR(st.st_mode);
        if (!f.dir && !S_ISREG(st.st_mode)) continue;
        if (content && !f.dir && f.size <= cardlog::kShellKeepContentBelow) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                f.hasContent = read_at(fd, f.content, 0, f.size) && f.content.size() == f.size;
                ::close(fd);
            }
            if (!f.hasContent) f.content.clear();
        }
        out.push_back(f);
        if (f.dir) list_dir(path, sub, content, out);
    }
}

}  // namespace

void init(const std::string& root) {
    std::lock_guard lock(g_mutex);
    g_root = root;
    g_cardDir = root + std::string(kCardBox);
    g_undoDir = root + "/run/" + simcard::kUndoDirName;
    if (uint8_t* map = g_map.exchange(nullptr)) ::munmap(map, simcard::kFileSize);
    if (g_journalFd >= 0) ::close(g_journalFd);
    g_journalFd = -1;
    std::atomic_ref<uint64_t>(g_localUsed).store(0);
    g_counted.store(false);
    state_map();
}

void recount() {
    g_counted.store(false);
}

bool is_card_path(std::string_view box) {
    if (!starts_with(box, kCardBox)) return false;
    return box.size() == kCardBox.size() || box[kCardBox.size()] == '/';
}

// ---- calls on paths ----

int open(std::string_view box, const std::string& host, int flags, mode_t mode) {
    const std::string rel = relative(box);
    const uint8_t fdflags = kFdCard | ((flags & O_APPEND) ? kFdAppend : 0) | class_flags(rel);
    const bool writable = (flags & O_ACCMODE) != O_RDONLY;
    struct stat st {};
    const bool exists = ::stat(host.c_str(), &st) == 0;
    const bool create = (flags & O_CREAT) != 0 && !exists;
    const bool truncate = exists && S_ISREG(st.st_mode) && (flags & O_TRUNC) != 0 && writable &&
                          (flags & O_EXCL) == 0 && st.st_size > 0;
    if (!create && !truncate) {
        const int fd = ::open(host.c_str(), flags | O_CLOEXEC, mode);
        track(fd, fdflags);
        return fd;
    }
    Change change(op_classes(fdflags) | simcard::kOpNames, create ? "create" : "truncate", rel);
    const uint64_t old_alloc = truncate ? round_up(st.st_size, geometry().block) : 0;
    int fd = -1;
    if (change.journal()) {
        // Made in the undo store, journaled with its inode, then moved into place.
        std::string fresh = make_new_name();
        const int fresh_flags = (flags & ~(O_TRUNC | O_EXCL)) | O_CREAT | O_EXCL | O_CLOEXEC;
        fd = ::open(fresh.c_str(), fresh_flags, mode);
        if (fd < 0 && errno == ENOENT && ::mkdir(g_undoDir.c_str(), 0755) == 0)
            fd = ::open(fresh.c_str(), fresh_flags, mode);
        struct stat nst {};
        if (fd >= 0 && ::fstat(fd, &nst) == 0) {
            Entry e;
            e.path = rel;
            e.ino = nst.st_ino;
            int rc;
            if (create) {
                e.kind = Kind::kCreate;
                append(e);
                rc = ::renameat2(AT_FDCWD, fresh.c_str(), AT_FDCWD, host.c_str(), RENAME_NOREPLACE);
            } else {
                e.kind = Kind::kReplace;
                e.ino2 = st.st_ino;
                e.sizeBefore = static_cast<uint64_t>(st.st_size);
                if (!keep(host, st.st_ino)) e.ino2 = 0;
                append(e);
                rc = ::rename(fresh.c_str(), host.c_str());
            }
            if (rc != 0) {
                const int err = errno;
                ::close(fd);
                ::unlink(fresh.c_str());
                fd = -1;
                // Raced by another creation, or a card on another file system than the undo
                // store: opened below as it is.
                if (err != EEXIST && err != EXDEV) {
                    errno = err;
                    return -1;
                }
            }
        } else if (fd >= 0) {
            ::close(fd);
            ::unlink(fresh.c_str());
            fd = -1;
        }
    }
    if (fd < 0) fd = ::open(host.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0 && truncate) release(old_alloc);
    track(fd, fdflags);
    return fd;
}

int unlink(std::string_view box, const std::string& host) {
    const std::string rel = relative(box);
    Change change(op_classes(class_flags(rel)) | simcard::kOpNames, "unlink", rel);
    struct stat st {};
    const bool file = ::lstat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    if (file && change.journal() && keep(host, st.st_ino)) {
        Entry e;
        e.kind = Kind::kUnlink;
        e.path = rel;
        e.ino = st.st_ino;
        append(e);
    }
    const int rc = ::unlink(host.c_str());
    if (rc == 0 && file) release(round_up(st.st_size, geometry().block));
    return rc;
}

int rename(std::string_view box_from, const std::string& host_from, std::string_view box_to,
           const std::string& host_to) {
    const std::string from = relative(box_from);
    const std::string to = relative(box_to);
    Change change(op_classes(class_flags(from) | class_flags(to)) | simcard::kOpNames, "rename",
                  from + " " + to);
    struct stat src {};
    struct stat dst {};
    const bool moved = ::lstat(host_from.c_str(), &src) == 0;
    const bool replaced = ::lstat(host_to.c_str(), &dst) == 0 && S_ISREG(dst.st_mode) &&
                          (!moved || dst.st_ino != src.st_ino);
    if (moved && change.journal()) {
        Entry e;
        e.kind = Kind::kRename;
        e.path = from;
        e.path2 = to;
        e.ino = src.st_ino;
        if (replaced && keep(host_to, dst.st_ino)) e.ino2 = dst.st_ino;
        append(e);
    }
    const int rc = ::rename(host_from.c_str(), host_to.c_str());
    if (rc == 0 && replaced) release(round_up(dst.st_size, geometry().block));
    return rc;
}

int mkdir(std::string_view box, const std::string& host, mode_t mode) {
    const std::string rel = relative(box);
    Change change(simcard::kOpAny | simcard::kOpNames, "mkdir", rel);
    struct stat st {};
    if (change.journal() && ::lstat(host.c_str(), &st) != 0) {
        Entry e;
        e.kind = Kind::kMkdir;
        e.path = rel;
        append(e);
    }
    const int rc = ::mkdir(host.c_str(), mode);
    if (rc == 0) add_used(geometry().block);
    return rc;
}

int statfs(const std::string& host_card, struct statfs* out) {
    const Geometry g = geometry();
    struct stat st {};
    if (::stat(host_card.c_str(), &st) != 0) return -1;  // card removed: ENOENT as an unmount
    uint64_t used;
    if (!g_counted.exchange(true)) {
        // Counted afresh, with no change of this process in between.
        std::lock_guard lock(g_mutex);
        used = space_used(host_card, g.block);
        used_count().store(used);
    } else {
        used = used_count().load();
    }
    const uint64_t blocks = g.capacity / g.block;
    const uint64_t used_blocks = used / g.block;
    uint64_t free_blocks = used_blocks < blocks ? blocks - used_blocks : 0;
    if (card_state() == simcard::CARD_FULL) free_blocks = 0;
    std::memset(out, 0, sizeof *out);
    out->f_type = 0x4d44;  // MSDOS_SUPER_MAGIC: the card is FAT
    out->f_bsize = static_cast<long>(g.block);
    out->f_frsize = static_cast<long>(g.block);
    out->f_blocks = blocks;
    out->f_bfree = free_blocks;
    out->f_bavail = free_blocks;
    out->f_namelen = 255;
    return 0;
}

// ---- calls on descriptors ----

int read_check(int fd) {
    if ((fd_flags(fd) & kFdCard) == 0) return 0;
    forget(fd);  // the read moves the position
    return state_check(false);
}

void seeked(int fd) {
    if ((fd_flags(fd) & kFdCard) != 0) forget(fd);
}

void closed(int fd) {
    track(fd, 0);
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt, bool& handled) {
    const uint8_t flags = fd_flags(fd);
    handled = (flags & kFdCard) != 0;
    if (!handled) return 0;
    if (iovcnt < 0 || iovcnt > IOV_MAX) {
        errno = EINVAL;
        return -1;
    }
    size_t count = 0;
    for (int i = 0; i < iovcnt; ++i) count += iov[i].iov_len;
    Change change(op_classes(flags), "write", "", fd);
    if (state_check(true) < 0) return -1;
    Known file;
    if (const auto k = known(fd)) {
        file = *k;
    } else {
        struct stat st {};
        if (::fstat(fd, &st) != 0) return -1;
        const off_t pos = (flags & kFdAppend) ? st.st_size : ::lseek(fd, 0, SEEK_CUR);
        if (pos < 0) return -1;
        file = {0, static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
                static_cast<uint64_t>(pos)};
    }
    const uint64_t size = file.size;
    const uint64_t offset = (flags & kFdAppend) ? size : file.pos;
    const uint64_t granted = reserve(size, offset + count);
    const size_t n =
        granted > offset ? static_cast<size_t>(std::min<uint64_t>(count, granted - offset)) : 0;
    if (n == 0 && count > 0) {
        errno = ENOSPC;
        return -1;
    }
    if (change.journal()) {
        Entry e;
        e.kind = Kind::kWrite;
        e.ino = file.ino;
        e.offset = offset;
        e.length = n;
        e.sizeBefore = size;
        std::vector<uint8_t> overwritten;
        if (offset < size) read_at(fd, overwritten, offset, std::min<uint64_t>(n, size - offset));
        append(e, overwritten);
    }
    // The buffers cut at what the card has room for (all of them, as a rule: then as they are).
    std::vector<struct iovec> room;
    const struct iovec* out = iov;
    int outCount = iovcnt;
    if (n < count) {
        size_t left = 0;
        for (int i = 0; i < iovcnt && left < n; ++i) {
            const size_t take = std::min(iov[i].iov_len, n - left);
            room.push_back({iov[i].iov_base, take});
            left += take;
        }
        out = room.data();
        outCount = static_cast<int>(room.size());
    }
    const ssize_t written = n == 0 ? 0 : ::writev(fd, out, outCount);
    const int err = errno;
    if (change.journal() && written != static_cast<ssize_t>(n)) {
        Entry e;
        e.kind = Kind::kWrote;
        e.ino = file.ino;
        e.length = written > 0 ? static_cast<uint64_t>(written) : 0;
        append(e);
    }
    const uint64_t end = offset + (written > 0 ? static_cast<uint64_t>(written) : 0);
    unreserve(size, granted, end);
    if (written >= 0) {
        // As of the epoch this change ends with (no other change of this process can come in
        // between: the change holds g_mutex until then).
        remember(fd, {g_epoch.load() + 1, file.ino, std::max(size, end), end});
    } else {
        forget(fd);
    }
    errno = err;
    return written;
}

ssize_t write(int fd, const void* buf, size_t count, bool& handled) {
    const struct iovec one { const_cast<void*>(buf), count };
    return writev(fd, &one, 1, handled);
}

int ftruncate(int fd, off_t length, bool& handled) {
    const uint8_t flags = fd_flags(fd);
    handled = (flags & kFdCard) != 0;
    if (!handled) return 0;
    Change change(op_classes(flags), "truncate", "", fd);
    if (state_check(true) < 0) return -1;
    struct stat st {};
    if (length < 0 || ::fstat(fd, &st) != 0) {
        if (length < 0) errno = EINVAL;
        return -1;
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    const auto want = static_cast<uint64_t>(length);
    const uint64_t granted = reserve(size, want);
    if (granted < want) {
        unreserve(size, granted, size);
        errno = ENOSPC;
        return -1;
    }
    if (change.journal()) {
        Entry e;
        e.kind = Kind::kTruncate;
        e.ino = st.st_ino;
        e.offset = want;
        e.sizeBefore = size;
        if (want < size) read_at(fd, e.data, want, size - want);
        append(e);
    }
    const int rc = ::ftruncate(fd, length);
    if (rc != 0) {
        unreserve(size, granted, size);
    } else if (want < size) {
        const uint64_t block = geometry().block;
        release(round_up(size, block) - round_up(want, block));
    }
    return rc;
}

int fsync(int fd, bool& handled) {
    const uint8_t flags = fd_flags(fd);
    handled = (flags & kFdCard) != 0;
    if (!handled) return 0;
    // What a flush writes has its blocks already: a full card flushes too.
    if (state_check(false) < 0) return -1;
    if (!faithful()) return ::fcntl(fd, F_GETFD) < 0 ? -1 : 0;
    // Nothing to write out on the PC: the journal now holds the file as flushed.
    Change change(op_classes(flags), "fsync", "", fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) return -1;
    if (change.journal()) {
        Entry e;
        e.ino = st.st_ino;
        if (S_ISDIR(st.st_mode)) {  // the directory's entries
            e.kind = Kind::kFsyncDir;
            e.path = fd_name(fd);
            if (e.path == g_cardDir) e.path.clear();
        } else {
            e.kind = Kind::kFsync;
            e.length = static_cast<uint64_t>(st.st_size);
        }
        append(e);
    }
    return 0;
}

void sync() {
    if (!faithful()) return;
    Change change(simcard::kOpAny, "sync", "");
    if (!change.journal()) return;
    if (::ftruncate(g_journalFd, 0) != 0) return;
    DIR* d = ::opendir(g_undoDir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string_view name = e->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(d);
    for (const std::string& name : names) ::unlink((g_undoDir + "/" + name).c_str());
}

// ---- shell commands ----

ShellChanges::ShellChanges(std::string_view box_command) {
    if (box_command.find(kCardBox) == std::string_view::npos || !faithful()) return;
    auto change = std::make_unique<Change>(simcard::kOpAny | simcard::kOpNames, "shell",
                                           std::string(box_command));
    if (!change->journal()) return;
    active_ = true;
    g_shell.change = std::move(change);
    g_shell.before.clear();
    g_shell.links.clear();
    // Every file's inode is kept before the command, so that what it removes or replaces can be
    // taken back; small files also keep their content, for what it changes in place.
    std::vector<cardlog::ListedFile> files;
    list_dir(g_cardDir, "", false, files);
    for (const auto& f : files) {
        if (f.dir) continue;
        if (::link((g_cardDir + "/" + f.path).c_str(), kept_path(f.ino).c_str()) == 0)
            g_shell.links.push_back(f.ino);
    }
    list_dir(g_cardDir, "", true, g_shell.before);
    Entry e;
    e.kind = Kind::kShell;
    append(e, cardlog::encode_listing(g_shell.before));
}

ShellChanges::~ShellChanges() {
    if (!active_) return;
    std::vector<cardlog::ListedFile> after;
    list_dir(g_cardDir, "", false, after);
    Entry e;
    e.kind = Kind::kShellEnd;
    append(e, cardlog::encode_listing(after));
    // Inodes still at their place need no keeping.
    for (const auto& b : g_shell.before) {
        if (b.dir) continue;
        const bool kept_here =
            std::find(g_shell.links.begin(), g_shell.links.end(), b.ino) != g_shell.links.end();
        const bool in_place = std::any_of(after.begin(), after.end(), [&](const auto& a) {
            return a.path == b.path && a.ino == b.ino;
        });
        if (kept_here && in_place) ::unlink(kept_path(b.ino).c_str());
    }
    used_count().store(space_used(g_cardDir, geometry().block));
    g_shell.before.clear();
    g_shell.links.clear();
    g_shell.change.reset();
}

}  // namespace os::simcardio
