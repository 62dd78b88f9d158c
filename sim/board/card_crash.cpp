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

namespace simboard {

namespace fs = std::filesystem;
using os::cardlog::Entry;
using os::cardlog::Kind;
using os::cardlog::ListedFile;

namespace {

constexpr uint64_t kSector = os::cardlog::kSectorSize;
// A directory a shell command removed: not a journal kind, made when its changes are read.
constexpr Kind kRmdir = static_cast<Kind>(100);
// The kernel writes back on its own what stayed dirty for dirty_expire_centisecs (30 s), at its
// next flusher pass (every 5 s): what is older than this is on the card, flushed or not.
constexpr uint64_t kWritebackNs = 35ull * 1000000000u;

uint64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// "data/recinfo" -> "data"; "x" -> "".
std::string parent_of(const std::string& rel) {
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

uint64_t size_after(const Entry& e) {
    return e.kind == Kind::kWrite ? std::max(e.sizeBefore, e.offset + e.length) : e.offset;
}

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

struct Op {
    Entry e;
    bool forced = false;  // a later fsync of its file made it durable
};

std::vector<uint8_t> read_all(int fd) {
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        bytes.insert(bytes.end(), buf, buf + n);
    }
    return bytes;
}

std::vector<Entry> decode_all(const std::vector<uint8_t>& bytes) {
    std::vector<Entry> entries;
    size_t at = 0;
    while (auto e = os::cardlog::decode(bytes, at)) entries.push_back(std::move(*e));
    return entries;
}

uint64_t ctime_ns(const struct stat& st) {
    return static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
           static_cast<uint64_t>(st.st_ctim.tv_nsec);
}

void list_card(const fs::path& dir, const std::string& rel, std::vector<ListedFile>& out) {
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const fs::path path = dir / name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) continue;
        ListedFile f;
        f.path = rel.empty() ? name : rel + "/" + name;
        f.ino = st.st_ino;
        f.size = static_cast<uint64_t>(st.st_size);
        f.ctimeNs = ctime_ns(st);
        f.dir = S_ISDIR(st.st_mode);
        out.push_back(f);
        if (f.dir) list_card(path, f.path, out);
    }
}

const ListedFile* find_path(const std::vector<ListedFile>& files, const std::string& path) {
    for (const auto& f : files) {
        if (f.path == path) return &f;
    }
    return nullptr;
}

Entry make(Kind kind, const std::string& path, uint64_t ino) {
    Entry e;
    e.kind = kind;
    e.path = path;
    e.ino = ino;
    return e;
}

Entry whole_write(uint64_t ino, uint64_t size) {
    Entry e = make(Kind::kWrite, "", ino);
    e.length = size;
    return e;
}

// The changes a shell command made, from the card's listings before and after it, as the
// changes the seam journals for its own calls.
void shell_changes(const std::vector<ListedFile>& before, const std::vector<ListedFile>& after,
                   uint64_t time_ns, std::vector<Op>& out) {
    std::vector<Entry> dirs_made, files, removed, dirs_removed;
    for (const auto& a : after) {
        const ListedFile* b = find_path(before, a.path);
        if (a.dir) {
            if (b == nullptr || !b->dir) dirs_made.push_back(make(Kind::kMkdir, a.path, 0));
            continue;
        }
        if (b == nullptr || b->dir) {
            files.push_back(make(Kind::kCreate, a.path, a.ino));
            files.push_back(whole_write(a.ino, a.size));
        } else if (b->ino != a.ino) {
            Entry r = make(Kind::kReplace, a.path, a.ino);
            r.ino2 = b->ino;
            r.sizeBefore = b->size;
            files.push_back(r);
            files.push_back(whole_write(a.ino, a.size));
        } else if (b->size != a.size || b->ctimeNs != a.ctimeNs) {
            if (b->hasContent) {
                // Rewritten in place (cp onto an existing file): cut to nothing, written anew.
                Entry t = make(Kind::kTruncate, "", a.ino);
                t.offset = 0;
                t.sizeBefore = b->size;
                t.data = b->content;
                files.push_back(t);
                files.push_back(whole_write(a.ino, a.size));
            } else {
                // Too big to have been kept: what the command wrote stays.
                Entry f = make(Kind::kFsync, "", a.ino);
                f.length = a.size;
                files.push_back(f);
            }
        }
    }
    for (const auto& b : before) {
        const ListedFile* a = find_path(after, b.path);
        if (a != nullptr && a->dir == b.dir) continue;
        if (b.dir) {
            dirs_removed.push_back(make(kRmdir, b.path, 0));
        } else {
            removed.push_back(make(Kind::kUnlink, b.path, b.ino));
        }
    }
    // Deepest directories are removed first.
    std::sort(dirs_removed.begin(), dirs_removed.end(),
              [](const Entry& x, const Entry& y) { return x.path > y.path; });
    for (auto* group : {&dirs_made, &files, &removed, &dirs_removed}) {
        for (auto& e : *group) {
            e.timeNs = time_ns;
            out.push_back({std::move(e), false});
        }
    }
}

// The journal's entries as changes: shell commands expanded, short writes made short, and the
// changes that a later fsync flushed marked.
std::vector<Op> changes_of(const std::vector<Entry>& entries, const fs::path& card,
                           uint64_t now_ns) {
    std::vector<Op> ops;
    std::optional<std::vector<ListedFile>> shell_before;
    uint64_t shell_time = 0;
    for (const Entry& e : entries) {
        switch (e.kind) {
            case Kind::kWrote:
                for (auto it = ops.rbegin(); it != ops.rend(); ++it) {
                    if (it->e.kind == Kind::kWrite && it->e.ino == e.ino) {
                        it->e.length = std::min(it->e.length, e.length);
                        break;
                    }
                }
                break;
            case Kind::kShell:
                shell_before = os::cardlog::decode_listing(e.data);
                shell_time = e.timeNs;
                break;
            case Kind::kShellEnd:
                if (shell_before) {
                    if (auto after = os::cardlog::decode_listing(e.data))
                        shell_changes(*shell_before, *after, e.timeNs, ops);
                }
                shell_before.reset();
                break;
            default:
                ops.push_back({e, false});
                break;
        }
    }
    if (shell_before) {  // the power went during the command: it left the card as it is now
        std::vector<ListedFile> now;
        list_card(card, "", now);
        shell_changes(*shell_before, now, shell_time, ops);
    }
    // Directory entries that stayed dirty that long were written back by the kernel.
    for (Op& op : ops) {
        if (op.e.timeNs + kWritebackNs <= now_ns) op.forced = true;
    }
    for (size_t i = 0; i < ops.size(); ++i) {
        if (ops[i].e.kind == Kind::kFsyncDir) {
            // Every entry of the directory is on the card.
            const std::string& dir = ops[i].e.path;
            for (size_t k = 0; k < i; ++k) {
                const Entry& e = ops[k].e;
                if (parent_of(e.path) == dir ||
                    (e.kind == Kind::kRename && parent_of(e.path2) == dir))
                    ops[k].forced = true;
            }
            continue;
        }
        if (ops[i].e.kind != Kind::kFsync) continue;
        const uint64_t ino = ops[i].e.ino;
        for (size_t k = 0; k < i; ++k) {
            const Kind kind = ops[k].e.kind;
            if ((kind == Kind::kCreate || kind == Kind::kReplace || kind == Kind::kRename) &&
                ops[k].e.ino == ino)
                ops[k].forced = true;
        }
    }
    return ops;
}

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
