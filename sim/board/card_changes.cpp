#include "card_changes.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

namespace simboard::cardchanges {

namespace fs = std::filesystem;

uint64_t monotonic_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

std::string parent_of(const std::string& rel) {
    const size_t slash = rel.rfind('/');
    return slash == std::string::npos ? std::string() : rel.substr(0, slash);
}

uint64_t size_after(const Entry& e) {
    return e.kind == Kind::kWrite ? std::max(e.sizeBefore, e.offset + e.length) : e.offset;
}

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

namespace {

uint64_t ctime_ns(const struct stat& st) {
    return static_cast<uint64_t>(st.st_ctim.tv_sec) * 1000000000u +
           static_cast<uint64_t>(st.st_ctim.tv_nsec);
}

}  // namespace

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

namespace {

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
}  // namespace

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

}  // namespace simboard::cardchanges
