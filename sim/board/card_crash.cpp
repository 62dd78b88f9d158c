#include "card_crash.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <map>
#include <optional>
#include <set>

#include "../../os/sim_card_journal.h"
#include "card_changes.hpp"

namespace simboard {

namespace fs = std::filesystem;
using namespace cardchanges;

namespace {

// splitmix64: the same numbers from the same seed on every host and build.
class Draw {
  public:
    explicit Draw(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1
    uint64_t below(uint64_t n) { return n == 0 ? 0 : next() % n; }
    bool coin() { return (next() & 1) != 0; }

  private:
    uint64_t state_;
};

class Cut {
  public:
    Cut(const CardPaths& paths, uint64_t seed, uint64_t now_ns)
        : paths_(paths), draw_(seed), now_ns_(now_ns) {}

    CutOutcome run(std::vector<Op> ops) {
        ops_ = std::move(ops);
        for (size_t k = ops_.size(); k-- > 0;) names(ops_[k]);
        contents();
        return std::move(out_);
    }

  private:
    fs::path card(const std::string& rel) const { return paths_.card / rel; }
    fs::path kept(uint64_t ino) const { return paths_.undo / std::to_string(ino); }

    static bool exists(const fs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0;
    }
    bool holds(const std::string& rel, uint64_t ino) const {
        struct stat st {};
        return ::lstat(card(rel).c_str(), &st) == 0 && st.st_ino == ino;
    }
    bool parent_exists(const std::string& rel) const {
        return fs::is_directory(card(rel).parent_path());
    }

    void note(const std::string& what, const char* outcome, size_t CutOutcome::*count) {
        ++out_.changes;
        ++(out_.*count);
        out_.lines.push_back(what + ": " + outcome);
    }

    // Takes back a change of the card's directory entries, or keeps it.
    void names(const Op& op) {
        const Entry& e = op.e;
        if (e.kind == kRmdir) {
            const std::string what = "rmdir " + e.path;
            if (!draw_.coin() || exists(card(e.path)) || !parent_exists(e.path)) {
                note(what, "kept", &CutOutcome::kept);
                return;
            }
            ::mkdir(card(e.path).c_str(), 0755);
            note(what, "undone", &CutOutcome::lost);
            return;
        }
        switch (e.kind) {
            case Kind::kCreate: {
                const std::string what = "create " + e.path;
                if (op.forced || !draw_.coin() || !holds(e.path, e.ino)) {
                    note(what, "kept", &CutOutcome::kept);
                    return;
                }
                if (exists(kept(e.ino))) {
                    ::unlink(card(e.path).c_str());
                } else {
                    ::rename(card(e.path).c_str(), kept(e.ino).c_str());
                }
                note(what, "undone", &CutOutcome::lost);
                return;
            }
            case Kind::kReplace: {
                const std::string what = "truncate " + e.path;
                if (op.forced || e.ino2 == 0 || !draw_.coin() || !holds(e.path, e.ino) ||
                    !exists(kept(e.ino2))) {
                    note(what, "kept", &CutOutcome::kept);
                    return;
                }
                ::rename(kept(e.ino2).c_str(), card(e.path).c_str());
                note(what, "undone (the old file is back)", &CutOutcome::lost);
                return;
            }
            case Kind::kUnlink: {
                const std::string what = "unlink " + e.path;
                if (!draw_.coin() || exists(card(e.path)) || !exists(kept(e.ino)) ||
                    !parent_exists(e.path)) {
                    note(what, "kept", &CutOutcome::kept);
                    return;
                }
                ::link(kept(e.ino).c_str(), card(e.path).c_str());
                note(what, "undone", &CutOutcome::lost);
                return;
            }
            case Kind::kRename: {
                const std::string what = "rename " + e.path + " " + e.path2;
                // 0 kept, 1 undone, 2 (over a file) the target removed and the source in place.
                const uint64_t way = draw_.below(e.ino2 != 0 ? 3 : 2);
                if (op.forced || way == 0 || !holds(e.path2, e.ino) || exists(card(e.path)) ||
                    !parent_exists(e.path)) {
                    note(what, "kept", &CutOutcome::kept);
                    return;
                }
                ::rename(card(e.path2).c_str(), card(e.path).c_str());
                if (way == 1 && e.ino2 != 0 && exists(kept(e.ino2))) {
                    ::rename(kept(e.ino2).c_str(), card(e.path2).c_str());
                }
                note(what, way == 1 ? "undone" : "undone, the file it replaced removed",
                     &CutOutcome::lost);
                return;
            }
            case Kind::kMkdir: {
                const std::string what = "mkdir " + e.path;
                std::error_code ec;
                if (!draw_.coin() || !fs::is_directory(card(e.path)) ||
                    !fs::is_empty(card(e.path), ec)) {
                    note(what, "kept", &CutOutcome::kept);
                    return;
                }
                ::rmdir(card(e.path).c_str());
                note(what, "undone", &CutOutcome::lost);
                return;
            }
            default:
                return;
        }
    }

    // Where each inode of the card is now.
    std::map<uint64_t, std::string> inode_paths() const {
        std::vector<ListedFile> files;
        list_card(paths_.card, "", files);
        std::map<uint64_t, std::string> where;
        for (const auto& f : files) {
            if (!f.dir) where.emplace(f.ino, f.path);
        }
        return where;
    }

    // The contents of the files that unflushed writes and truncations changed.
    void contents() {
        std::vector<uint64_t> order;
        std::map<uint64_t, std::vector<const Entry*>> pending;
        std::map<uint64_t, uint64_t> flushed_size;
        for (const Op& op : ops_) {
            const Entry& e = op.e;
            if (e.kind != Kind::kWrite && e.kind != Kind::kTruncate && e.kind != Kind::kFsync)
                continue;
            if (!pending.count(e.ino)) order.push_back(e.ino);
            auto& list = pending[e.ino];
            if (e.kind == Kind::kFsync) {
                list.clear();
                flushed_size[e.ino] = e.length;
            } else {
                list.push_back(&e);
            }
        }
        const auto where = inode_paths();
        for (const uint64_t ino : order) {
            const auto& list = pending[ino];
            const auto at = where.find(ino);
            if (list.empty() || at == where.end()) continue;
            const auto fsynced = flushed_size.find(ino);
            uint64_t size0 =
                fsynced != flushed_size.end() ? fsynced->second : list.front()->sizeBefore;
            // Dirtied by its first pending change, written back by the kernel that long after:
            // what came before then is on the card.
            size_t first = 0;
            while (first < list.size() && list[first]->timeNs + kWritebackNs <= now_ns_) {
                const uint64_t written_back = list[first]->timeNs + kWritebackNs;
                while (first < list.size() && list[first]->timeNs < written_back) {
                    size0 = size_after(*list[first]);
                    ++first;
                }
            }
            if (first == list.size()) continue;
            file(at->second,
                 std::vector<const Entry*>(list.begin() + static_cast<long>(first), list.end()),
                 size0);
        }
    }

    // The bytes of sector `s` as they were after the first `moment` changes of `ops`, from the
    // file's bytes now: `exists` marks the bytes the file had then.
    static void sector_at(uint64_t s, const std::vector<const Entry*>& ops, size_t moment,
                          std::vector<uint8_t>& bytes, std::vector<bool>& exists) {
        const uint64_t lo = s * kSector;
        const uint64_t hi = lo + kSector;
        for (size_t k = ops.size(); k-- > moment;) {
            const Entry& e = *ops[k];
            if (e.kind == Kind::kWrite) {
                const uint64_t from = std::max(lo, e.offset);
                const uint64_t to = std::min(hi, e.offset + e.length);
                for (uint64_t b = from; b < to; ++b) {
                    const uint64_t i = b - e.offset;
                    if (b < e.sizeBefore && i < e.data.size()) {
                        bytes[b - lo] = e.data[i];
                        exists[b - lo] = true;
                    } else if (b >= e.sizeBefore) {
                        exists[b - lo] = false;
                    }
                }
            } else if (e.offset < e.sizeBefore) {  // a truncation that cut bytes off
                const uint64_t from = std::max(lo, e.offset);
                const uint64_t to = std::min(hi, e.sizeBefore);
                for (uint64_t b = from; b < to; ++b) {
                    const uint64_t i = b - e.offset;
                    if (i < e.data.size()) {
                        bytes[b - lo] = e.data[i];
                        exists[b - lo] = true;
                    }
                }
            } else {  // a truncation that made the file longer
                const uint64_t from = std::max(lo, e.sizeBefore);
                const uint64_t to = std::min(hi, e.offset);
                for (uint64_t b = from; b < to; ++b) exists[b - lo] = false;
            }
        }
    }

    void file(const std::string& rel, const std::vector<const Entry*>& ops, uint64_t size0) {
        const size_t n = ops.size();
        std::vector<uint64_t> sizes(n + 1, size0);
        std::set<uint64_t> sectors;
        for (size_t j = 0; j < n; ++j) {
            const Entry& e = *ops[j];
            uint64_t lo, hi;
            if (e.kind == Kind::kWrite) {
                sizes[j + 1] = std::max(e.sizeBefore, e.offset + e.length);
                lo = e.offset;
                hi = e.offset + e.length;
            } else {
                sizes[j + 1] = e.offset;
                lo = std::min(e.offset, e.sizeBefore);
                hi = std::max(e.offset, e.sizeBefore);
            }
            for (uint64_t s = lo / kSector; s * kSector < hi; ++s) sectors.insert(s);
        }
        const std::string what =
            rel + " (" + std::to_string(n) + " unflushed change" + (n == 1 ? "" : "s") + ")";
        // Kept whole, lost whole, or torn: the size of some moment since the last flush (or a
        // sector bound inside a write that made the file longer), each sector of that moment
        // or a later one.
        const uint64_t mode = draw_.below(3);
        if (mode == 0) {
            note(what, "kept", &CutOutcome::kept);
            return;
        }
        size_t base = 0;
        uint64_t size = size0;
        if (mode == 2) {
            base = draw_.below(n + 1);
            size = sizes[base];
            if (base > 0 && ops[base - 1]->kind == Kind::kWrite && sizes[base] > sizes[base - 1] &&
                draw_.coin()) {
                const uint64_t first = sizes[base - 1] / kSector + 1;
                const uint64_t last = (sizes[base] - 1) / kSector;
                if (last >= first) size = (first + draw_.below(last - first + 1)) * kSector;
            }
        }
        const int fd = ::open(card(rel).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            note(what, "kept (cannot be opened)", &CutOutcome::kept);
            return;
        }
        struct stat st {};
        ::fstat(fd, &st);
        const auto now_size = static_cast<uint64_t>(st.st_size);
        size_t older = 0;
        for (const uint64_t s : sectors) {
            const uint64_t lo = s * kSector;
            if (lo >= size) break;
            const size_t moment = mode == 1 ? 0 : base + draw_.below(n - base + 1);
            std::vector<uint8_t> bytes(kSector, 0);
            std::vector<bool> exists(kSector, false);
            if (lo < now_size) {
                const ssize_t got = ::pread(fd, bytes.data(), kSector, static_cast<off_t>(lo));
                for (ssize_t i = 0; i < got; ++i) exists[static_cast<size_t>(i)] = true;
            }
            if (moment < n) ++older;
            sector_at(s, ops, moment, bytes, exists);
            const uint64_t end = std::min(kSector, size - lo);
            // Bytes the file did not have at that moment but its size covers hold what the
            // card had there before: the file's older content (a truncation does not wipe the
            // card), or stale bytes of something else.
            for (size_t earlier = moment; earlier-- > 0;) {
                if (std::all_of(exists.begin(), exists.begin() + static_cast<long>(end),
                                [](bool e) { return e; }))
                    break;
                std::vector<uint8_t> old_bytes = bytes;
                std::vector<bool> old_exists = exists;
                sector_at(s, ops, earlier, old_bytes, old_exists);
                for (uint64_t i = 0; i < end; ++i) {
                    if (!exists[i] && old_exists[i]) {
                        bytes[i] = old_bytes[i];
                        exists[i] = true;
                    }
                }
            }
            for (uint64_t i = 0; i < end; ++i) {
                if (!exists[i]) bytes[i] = static_cast<uint8_t>(draw_.next());
            }
            if (::pwrite(fd, bytes.data(), end, static_cast<off_t>(lo)) < 0) break;
        }
        if (::ftruncate(fd, static_cast<off_t>(size)) != 0) { /* left as it is */
        }
        ::close(fd);
        const std::string sizes_text =
            std::to_string(size) + " of " + std::to_string(sizes[n]) + " bytes";
        if (size == sizes[n] && older == 0) {
            note(what, ("kept, " + sizes_text).c_str(), &CutOutcome::kept);
        } else if (mode == 1) {
            note(what, ("lost, " + sizes_text).c_str(), &CutOutcome::lost);
        } else {
            note(what,
                 ("torn, " + sizes_text + ", " + std::to_string(older) + " sector" +
                  (older == 1 ? "" : "s") + " older")
                     .c_str(),
                 &CutOutcome::torn);
        }
    }

    const CardPaths& paths_;
    Draw draw_;
    uint64_t now_ns_;
    std::vector<Op> ops_;
    CutOutcome out_;
};

void clear_undo(const fs::path& undo) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(undo, ec)) fs::remove_all(entry.path(), ec);
}

// The journal, opened and locked against the programs' appends.
class LockedJournal {
  public:
    explicit LockedJournal(const fs::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~LockedJournal() {
        if (fd_ >= 0) ::close(fd_);
    }
    LockedJournal(const LockedJournal&) = delete;
    LockedJournal& operator=(const LockedJournal&) = delete;

    std::vector<Entry> entries() const {
        if (fd_ < 0) return {};
        ::lseek(fd_, 0, SEEK_SET);
        return decode_all(read_all(fd_));
    }
    void empty() {
        if (fd_ >= 0 && ::ftruncate(fd_, 0) != 0) { /* applied again at the next cut */
        }
    }

  private:
    int fd_ = -1;
};

}  // namespace

CutOutcome apply_power_cut(const CardPaths& paths, uint64_t seed, uint64_t now_ns) {
    LockedJournal journal(paths.journal);
    if (now_ns == 0) now_ns = monotonic_ns();
    CutOutcome out;
    if (fs::is_directory(paths.card)) {
        out = Cut(paths, seed, now_ns).run(changes_of(journal.entries(), paths.card, now_ns));
    }
    clear_undo(paths.undo);
    journal.empty();
    return out;
}

void drop_journal(const CardPaths& paths) {
    LockedJournal journal(paths.journal);
    clear_undo(paths.undo);
    journal.empty();
}

size_t journal_entries(const CardPaths& paths) {
    const int fd = ::open(paths.journal.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    const auto entries = decode_all(read_all(fd));
    ::close(fd);
    return entries.size();
}

}  // namespace simboard
