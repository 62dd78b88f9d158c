#include "card_check.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "card_index.hpp"

namespace endurance {

namespace fs = std::filesystem;

namespace {

std::string file_name(int index) {
    char name[32];
    std::snprintf(name, sizeof name, "rec%08d.asd", index);
    return name;
}

// The index of "rec%08d.asd", or -1.
int recording_index(const std::string& name) {
    if (name.size() != 15 || name.rfind("rec", 0) != 0 || name.substr(11) != ".asd") return -1;
    for (size_t i = 3; i < 11; ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
    }
    return std::atoi(name.substr(3, 8).c_str());
}

std::string files_text(const std::set<int>& files) {
    std::string text;
    for (const int f : files) text += (text.empty() ? "" : " ") + std::to_string(f);
    return text;
}

uint64_t time_key(const asd::Time& t) {
    return static_cast<uint64_t>(t.sec) * 1000000 + t.usec;
}

}  // namespace

CardState CardReader::read(const fs::path& card) {
    CardState state;
    state.ring = ring_;
    const fs::path data = card / "data";
    // The files before the index: on a card that is being recorded, the recorder saves an index
    // that releases a lock before it records over the file, so a file read as recorded over is
    // never judged against a lock read before its release.
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(data, ec)) {
        const int index = recording_index(entry.path().filename().string());
        struct stat st {};
        if (index < 0 || ::stat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        const uint64_t mtime = static_cast<uint64_t>(st.st_mtim.tv_sec) * 1000000000u +
                               static_cast<uint64_t>(st.st_mtim.tv_nsec);
        Cached& c = cache_[index];
        if (c.ino != st.st_ino || c.size != static_cast<uint64_t>(st.st_size) || c.mtime != mtime) {
            const asd::Recording rec = asd::read_file(entry.path().string());
            c = {st.st_ino, static_cast<uint64_t>(st.st_size), mtime, {}};
            c.state.size = rec.fileSize;
            c.state.ending = rec.ending();
            c.state.damage = rec.damage;
            // The base header is whole: the start time names the recording.
            if (rec.fileSize >= 28 && !(rec.damage && rec.damage->offset < 28))
                c.state.start = rec.base.start;
        }
        state.files[index] = c.state;
    }
    for (const char* name : {"recinfo", "recinfo.tmp", "recinfo.bak"}) {
        std::string error;
        const auto index = asd::read_index((data / name).string(), error);
        if (!index || index->next >= static_cast<uint32_t>(ring_)) continue;
        state.indexSource = name;
        for (size_t i = 0; i < asd::kIndexFiles; ++i) {
            if (const auto lock = index->lock_of(i)) {
                state.locks[static_cast<int>(i)] = {lock->generation, lock->type};
            }
        }
        break;
    }
    return state;
}

std::vector<Checker::Event> Checker::events_of(const CardState& state) {
    std::map<uint16_t, Event> by_generation;
    for (const auto& [file, lock] : state.locks) {
        Event& e = by_generation[lock.generation];
        e.generation = lock.generation;
        e.type = lock.type;
        e.files.insert(file);
    }
    std::vector<Event> events;
    for (auto& [generation, e] : by_generation) events.push_back(std::move(e));
    return events;  // oldest first
}

std::vector<std::string> Checker::check(const CardState& now) {
    std::vector<std::string> problems;
    ++counts_.checks;
    for (const auto& [index, file] : now.files) {
        if (!file.damage) continue;
        const auto key = std::make_pair(index, file.start ? time_key(*file.start) : 0);
        if (!damaged_.insert(key).second) continue;  // told once
        const std::string what = file_name(index) + ": damaged at byte " +
                                 std::to_string(file.damage->offset) + ": " + file.damage->reason;
        if (file.ending == asd::Ending::Closed) {
            ++counts_.closedDamaged;
            problems.push_back("closed file " + what);
        } else {
            ++counts_.openDamaged;
            problems.push_back("open file " + what);
        }
    }

    const std::vector<Event> events = events_of(now);
    if (!last_) {
        counts_.locksSeen += events.size();
        last_ = now;
        return problems;
    }
    const std::vector<Event> before = events_of(*last_);
    // Each event of the last check: the event now whose files include all of its own.
    std::vector<std::optional<size_t>> match(before.size());
    std::vector<bool> matched(events.size(), false);
    std::map<int, size_t> shifts;  // generations the surviving events moved down by
    for (size_t i = 0; i < before.size(); ++i) {
        for (size_t j = 0; j < events.size(); ++j) {
            const bool contains = std::includes(events[j].files.begin(), events[j].files.end(),
                                                before[i].files.begin(), before[i].files.end());
            if (!matched[j] && events[j].type == before[i].type && contains &&
                events[j].generation <= before[i].generation) {
                match[i] = j;
                matched[j] = true;
                ++shifts[before[i].generation - events[j].generation];
                break;
            }
        }
    }
    // A new event locks files recorded since the last check; an event holding a file that was
    // locked then with the same recording is what is left of an older one.
    const auto same_recording = [&](int f) {
        const auto was = last_->files.find(f);
        const auto is = now.files.find(f);
        return was != last_->files.end() && is != now.files.end() && was->second.start &&
               is->second.start && *was->second.start == *is->second.start;
    };
    size_t fresh = 0;
    for (size_t j = 0; j < events.size(); ++j) {
        if (matched[j]) continue;
        const bool remnant =
            std::any_of(events[j].files.begin(), events[j].files.end(),
                        [&](int f) { return last_->locks.count(f) != 0 && same_recording(f); });
        if (!remnant) ++fresh;
    }
    counts_.locksSeen += fresh;
    // Rotation drops the oldest event for each new one once every lock is in use, and moves the
    // others down by as many generations. A file change drops the oldest too when every file of
    // the ring is locked: then the files of the events it dropped and those locked now are the
    // whole ring.
    size_t rotated = fresh;
    if (!shifts.empty()) {
        const auto common = std::max_element(shifts.begin(), shifts.end(),
                                             [](auto& a, auto& b) { return a.second < b.second; });
        const auto shift = static_cast<size_t>(common->first);
        rotated = std::min(shift, fresh);
        if (shift > rotated && now.ring > 0) {
            std::set<int> covered;
            for (const auto& [file, lock] : now.locks) covered.insert(file);
            for (size_t i = 0; i < before.size(); ++i) {
                if (!match[i] && before[i].generation <= shift)
                    covered.insert(before[i].files.begin(), before[i].files.end());
            }
            const auto in_ring =
                std::count_if(covered.begin(), covered.end(), [&](int f) { return f < now.ring; });
            if (in_ring == now.ring) rotated = shift;
        }
        for (size_t i = 0; i < before.size(); ++i) {
            if (match[i] && before[i].generation - events[*match[i]].generation != common->first) {
                ++counts_.locksLost;
                problems.push_back("event of generation " + std::to_string(before[i].generation) +
                                   " (files " + files_text(before[i].files) +
                                   ") moved out of the rotation's order");
            }
        }
    }
    std::set<int> still_locked;  // files whose lock is meant to be on the card now
    for (size_t i = 0; i < before.size(); ++i) {
        const Event& e = before[i];
        if (!match[i] && e.generation <= rotated) continue;  // rotated out
        still_locked.insert(e.files.begin(), e.files.end());
        if (match[i]) continue;
        ++counts_.locksLost;
        problems.push_back("lock lost: event of generation " + std::to_string(e.generation) +
                           ", type " + std::to_string(e.type) + ", files " + files_text(e.files) +
                           (now.indexSource.empty() ? " (no readable index)"
                                                    : " (index " + now.indexSource + ")"));
    }
    for (const int f : still_locked) {
        const auto was = last_->files.find(f);
        if (was == last_->files.end() || !was->second.start) continue;
        const auto is = now.files.find(f);
        const bool same =
            is != now.files.end() && is->second.start && *is->second.start == *was->second.start;
        if (same) continue;
        ++counts_.lockedOverwritten;
        problems.push_back("locked file " + file_name(f) + " overwritten" +
                           (is == now.files.end() ? " (removed)" : ""));
    }
    last_ = now;
    return problems;
}

}  // namespace endurance
