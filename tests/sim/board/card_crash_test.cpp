// The crash-faithful card: what the programs write through the os seam, and what a power cut
// leaves of it. Each case runs its changes again for many seeds and checks every outcome against
// what a FAT card behind a write-back cache may keep.
#include <fcntl.h>
#include <signal.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>

#include "card.hpp"
#include "card_crash.hpp"
#include "files.hpp"
#include "os.h"
#include "root.hpp"

namespace {

namespace fs = std::filesystem;
using simboard::Durability;
using testsupport::read_file;
using testsupport::TempDir;

constexpr int kSeeds = 60;

std::string pattern(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7 % 61);
    return s;
}

class CrashCard : public ::testing::Test {
  protected:
    void SetUp() override { open(Durability::kFaithful, 1ull << 30); }

    void open(Durability durability, uint64_t capacity) {
        std::string error;
        ASSERT_TRUE(simboard::prepare_root(tmp_.path(), simboard::Model::kTK700, error)) << error;
        ::setenv("SIMBOARD_ROOT", tmp_.path().c_str(), 1);
        ::unsetenv("SIMBOARD_SOCKET");
        ASSERT_TRUE(card_.open(tmp_.path(), capacity, durability, 7, error)) << error;
        os::init();
    }

    fs::path card() const { return tmp_.path() / "mnt/mmcblk0p1"; }
    simboard::CardPaths paths() const {
        return {card(), tmp_.path() / "run/card.journal", tmp_.path() / "run/card-undo"};
    }
    static std::string box(const std::string& name) { return "/mnt/mmcblk0p1/" + name; }

    // A fresh card holding `files`, all flushed.
    void start_with(const std::map<std::string, std::string>& files) {
        os::sync();
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(card())) fs::remove_all(e.path(), ec);
        for (const auto& [name, text] : files) write(name, text, O_CREAT | O_TRUNC);
        os::sync();
    }

    // Through the seam: `text` written at the descriptor's position (or its end with O_APPEND).
    static void write(const std::string& name, const std::string& text, int flags,
                      bool flush = false) {
        const int fd = os::open(box(name).c_str(), O_RDWR | flags, 0644);
        ASSERT_GE(fd, 0) << name;
        ASSERT_EQ(os::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        if (flush) {
            ASSERT_EQ(os::fsync(fd), 0);
        }
        os::close(fd);
    }
    static void overwrite(const std::string& name, off_t at, const std::string& text) {
        const int fd = os::open(box(name).c_str(), O_RDWR);
        ASSERT_GE(fd, 0) << name;
        ASSERT_EQ(os::lseek(fd, at, SEEK_SET), at);
        ASSERT_EQ(os::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        os::close(fd);
    }

    simboard::CutOutcome cut(uint64_t seed, uint64_t now_ns = 0) {
        return simboard::apply_power_cut(paths(), seed, now_ns);
    }

    bool has(const std::string& name) const { return fs::exists(card() / name); }
    std::string text(const std::string& name) const { return read_file(card() / name); }

    // The card's files and their contents.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const auto& e : fs::recursive_directory_iterator(card())) {
            files[fs::relative(e.path(), card()).string()] =
                e.is_directory() ? "<dir>" : read_file(e.path());
        }
        return files;
    }

    TempDir tmp_{"crashcard"};
    simboard::Card card_;
};

TEST_F(CrashCard, FlushedDataSurvivesEveryCut) {
    const std::string flushed = pattern(3000, 'a');
    const std::string synced = pattern(700, 's');
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({{"synced", synced}});
        write("f", flushed, O_CREAT | O_TRUNC, true);
        // Later changes are not flushed: the flushed part must survive them all.
        write("f", pattern(2000, 'b'), O_APPEND);
        overwrite("synced", 100, pattern(300, 'x'));
        os::rename(box("synced").c_str(), box("renamed").c_str());
        cut(static_cast<uint64_t>(seed));
        const std::string f = text("f");
        ASSERT_GE(f.size(), flushed.size()) << seed;
        EXPECT_EQ(f.substr(0, flushed.size()), flushed) << seed;
        // Either name; the bytes of every sector old or new.
        const std::string s = has("synced") ? text("synced") : text("renamed");
        ASSERT_EQ(s.size(), synced.size()) << seed;
        EXPECT_NE(has("synced"), has("renamed")) << seed;
    }
    // A sync flushes everything: a cut after it changes nothing.
    start_with({});
    write("a", pattern(5000, 'q'), O_CREAT | O_TRUNC);
    os::rename(box("a").c_str(), box("b").c_str());
    os::mkdir(box("dir").c_str(), 0755);
    os::sync();
    const auto before = snapshot();
    for (int seed = 0; seed < 10; ++seed) {
        const auto out = cut(static_cast<uint64_t>(seed));
        EXPECT_EQ(out.changes, 0u);
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(CrashCard, AnUnflushedAppendIsLostKeptOrTornAtSectorBounds) {
    const std::string head = pattern(1000, 'h');
    const std::string tail = pattern(5000, 't');
    std::set<std::string> seen;
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({});
        write("f", head, O_CREAT | O_TRUNC, true);
        write("f", tail.substr(0, 1500), O_APPEND);
        write("f", tail.substr(1500, 2000), O_APPEND);
        write("f", tail.substr(3500), O_APPEND);
        cut(static_cast<uint64_t>(seed));
        const std::string f = text("f");
        ASSERT_GE(f.size(), head.size()) << seed;
        ASSERT_LE(f.size(), head.size() + tail.size()) << seed;
        // No stale bytes: what the size covers was written.
        EXPECT_EQ(f, (head + tail).substr(0, f.size())) << seed;
        const size_t n = f.size();
        const bool at_write_end = n == 1000 || n == 2500 || n == 4500 || n == 6000;
        EXPECT_TRUE(at_write_end || n % 512 == 0) << "size " << n << ", seed " << seed;
        seen.insert(n == 1000 ? "lost" : n == 6000 ? "kept" : "torn");
    }
    EXPECT_EQ(seen, (std::set<std::string>{"lost", "kept", "torn"}));
}

TEST_F(CrashCard, AnOverwriteInPlaceKeepsEachSectorOldOrNew) {
    const std::string old = pattern(4096, 'o');
    const std::string fresh = pattern(1500, 'n');
    std::set<bool> mixed;
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({{"f", old}});
        overwrite("f", 300, fresh);
        cut(static_cast<uint64_t>(seed));
        std::string now = old;
        now.replace(300, fresh.size(), fresh);
        const std::string f = text("f");
        ASSERT_EQ(f.size(), old.size()) << seed;
        std::set<bool> sectors;
        for (size_t s = 0; s < 4096; s += 512) {
            const std::string got = f.substr(s, 512);
            const bool is_new = got == now.substr(s, 512);
            EXPECT_TRUE(is_new || got == old.substr(s, 512)) << "sector " << s / 512;
            if (now.substr(s, 512) != old.substr(s, 512)) sectors.insert(is_new);
        }
        mixed.insert(sectors.size() == 2);
    }
    EXPECT_EQ(mixed, (std::set<bool>{false, true}));  // some cuts tear the write
}

TEST_F(CrashCard, ARenameWithoutALaterFlushMayBeUndone) {
    std::set<std::string> seen;
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({{"idx", "old index"}});
        write("idx.tmp", "new index", O_CREAT | O_TRUNC, true);
        ASSERT_EQ(os::rename(box("idx.tmp").c_str(), box("idx").c_str()), 0);
        cut(static_cast<uint64_t>(seed));
        const std::string idx = has("idx") ? text("idx") : "-";
        const std::string tmp = has("idx.tmp") ? text("idx.tmp") : "-";
        const std::string outcome = idx + " / " + tmp;
        // Done, undone, or (FAT) the target removed with the source still in place; the
        // flushed source is whole wherever it is.
        EXPECT_TRUE(outcome == "new index / -" || outcome == "old index / new index" ||
                    outcome == "- / new index")
            << outcome << ", seed " << seed;
        seen.insert(outcome);
    }
    EXPECT_EQ(seen.size(), 3u);

    // A sync, or a flush of the directory, puts the rename on the card.
    for (const bool whole_card : {true, false}) {
        for (int seed = 0; seed < 10; ++seed) {
            start_with({{"idx", "old index"}});
            os::mkdir(box("d").c_str(), 0755);
            write("d/idx", "old", O_CREAT | O_TRUNC, true);
            os::sync();
            write("idx.tmp", "new index", O_CREAT | O_TRUNC, true);
            ASSERT_EQ(os::rename(box("idx.tmp").c_str(), box("idx").c_str()), 0);
            write("d/idx.tmp", "new", O_CREAT | O_TRUNC, true);
            ASSERT_EQ(os::rename(box("d/idx.tmp").c_str(), box("d/idx").c_str()), 0);
            if (whole_card) {
                os::sync();
            } else {
                const int dir = os::open("/mnt/mmcblk0p1", O_RDONLY | O_DIRECTORY);
                ASSERT_GE(dir, 0);
                ASSERT_EQ(os::fsync(dir), 0);
                os::close(dir);
            }
            cut(static_cast<uint64_t>(seed));
            EXPECT_EQ(text("idx"), "new index");
            EXPECT_FALSE(has("idx.tmp"));
            if (!whole_card) seen.insert(text("d/idx"));  // another directory: not flushed
        }
    }
    EXPECT_TRUE(seen.count("old")) << "the rename in d/ was never undone";
}

TEST_F(CrashCard, UnflushedCreationsRemovalsAndTruncationsMayBeUndone) {
    const std::string old = pattern(10000, 'r');
    std::set<std::string> seen;
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({{"gone", "removed"}, {"ring", old}});
        os::mkdir(box("data").c_str(), 0755);
        write("data/made", "created", O_CREAT | O_TRUNC);
        ASSERT_EQ(os::unlink(box("gone").c_str()), 0);
        write("ring", pattern(2000, 'w'), O_CREAT | O_TRUNC);  // O_TRUNC: the ring reused
        cut(static_cast<uint64_t>(seed));
        if (has("gone")) {
            EXPECT_EQ(text("gone"), "removed");
        }
        const std::string ring = text("ring");
        const bool ring_old = ring == old;
        if (!ring_old) {
            EXPECT_EQ(ring, pattern(2000, 'w').substr(0, ring.size())) << seed;
        }
        seen.insert(std::string(has("gone") ? "gone back" : "gone removed") + ", " +
                    (has("data/made") ? "made" : "not made") + ", " +
                    (ring_old ? "ring old" : "ring new"));
    }
    for (const char* want :
         {"gone back", "gone removed", "not made", "made", "ring old", "ring new"}) {
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](const std::string& s) {
            return s.find(want) != s.npos;
        })) << want;
    }
}

TEST_F(CrashCard, ShellCommandChangesMayBeUndone) {
    std::set<std::string> seen;
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({{"bak", "backup copy"}, {"idx", "damaged"}, {"old", "old file"}});
        ASSERT_EQ(os::system("cp -a /mnt/mmcblk0p1/bak /mnt/mmcblk0p1/idx && "
                             "rm -rf /mnt/mmcblk0p1/old"),
                  0);
        ASSERT_EQ(text("idx"), "backup copy");
        cut(static_cast<uint64_t>(seed));
        const std::string idx = text("idx");
        // Copied in place: the old bytes, or the new ones as far as the size goes.
        EXPECT_TRUE(idx == "damaged" || std::string("backup copy").starts_with(idx)) << idx;
        if (has("old")) {
            EXPECT_EQ(text("old"), "old file");
        }
        EXPECT_EQ(text("bak"), "backup copy");
        seen.insert((idx == "backup copy" ? "copied" : "not copied") +
                    std::string(has("old") ? ", old back" : ", old removed"));
    }
    EXPECT_GE(seen.size(), 3u);
}

TEST_F(CrashCard, TheSeedReplaysTheSameCard) {
    const auto run = [this](uint64_t seed) {
        start_with({{"a", pattern(3000, 'a')}, {"b", "b"}});
        write("a", pattern(9000, 'c'), O_APPEND);
        overwrite("a", 10, pattern(900, 'd'));
        write("c", pattern(1200, 'e'), O_CREAT | O_TRUNC);
        os::rename(box("c").c_str(), box("b").c_str());
        os::unlink(box("a").c_str());
        write("d", pattern(100, 'f'), O_CREAT | O_TRUNC, true);
        cut(seed);
        return snapshot();
    };
    std::set<std::map<std::string, std::string>> cards;
    for (uint64_t seed : {11, 12, 13, 14, 15, 16}) {
        const auto first = run(seed);
        EXPECT_EQ(run(seed), first) << seed;
        cards.insert(first);
    }
    EXPECT_GT(cards.size(), 1u);
}

TEST_F(CrashCard, WhatStayedDirtyLongEnoughWasWrittenBackByTheKernel) {
    const auto later = [](int seconds) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<uint64_t>(now.tv_sec + seconds) * 1000000000u +
               static_cast<uint64_t>(now.tv_nsec);
    };
    std::set<bool> whole_at_30s;
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({{"idx", "old"}});
        write("f", pattern(3000, 'k'), O_CREAT | O_TRUNC);
        write("idx.tmp", "new", O_CREAT | O_TRUNC);
        os::rename(box("idx.tmp").c_str(), box("idx").c_str());
        // 40 s later: written back whole, names and data.
        cut(static_cast<uint64_t>(seed), seed % 2 == 0 ? later(40) : later(30));
        if (seed % 2 == 0) {
            EXPECT_EQ(text("f"), pattern(3000, 'k')) << seed;
            EXPECT_EQ(text("idx"), "new") << seed;
            EXPECT_FALSE(has("idx.tmp")) << seed;
        } else {
            whole_at_30s.insert(text("f") == pattern(3000, 'k') && text("idx") == "new");
        }
    }
    EXPECT_EQ(whole_at_30s, (std::set<bool>{false, true}));  // 30 s may not be enough
}

TEST_F(CrashCard, AHostCardKeepsEverything) {
    open(Durability::kHost, 1ull << 30);
    write("f", "written", O_CREAT | O_TRUNC);
    os::rename(box("f").c_str(), box("g").c_str());
    EXPECT_EQ(card_.power_cut("test"), "");
    EXPECT_EQ(text("g"), "written");
    EXPECT_EQ(card_.unflushed(), 0u);
}

TEST_F(CrashCard, ACleanRebootFlushesAndAPowerCutSaysWhatItDid) {
    write("f", "written", O_CREAT | O_TRUNC);
    EXPECT_GT(card_.unflushed(), 0u);
    card_.flush();
    EXPECT_EQ(card_.unflushed(), 0u);
    write("g", pattern(4000, 'g'), O_CREAT | O_TRUNC);
    const std::string line = card_.power_cut("test");
    EXPECT_TRUE(line.starts_with("card: power cut 1: ")) << line;
    EXPECT_TRUE(line.ends_with("(log/card.log)")) << line;
    EXPECT_EQ(text("f"), "written");
    EXPECT_NE(read_file(tmp_.path() / "log/card.log").find("create g: "), std::string::npos);
}

// ---- capacity --------------------------------------------------------------------------------

TEST_F(CrashCard, WritesPastTheCapacityFailWithEnospc) {
    open(Durability::kFaithful, 1 << 20);
    const int fd = os::open(box("big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string chunk(300000, 'x');
    EXPECT_EQ(os::write(fd, chunk.data(), chunk.size()), 300000);
    EXPECT_EQ(os::write(fd, chunk.data(), chunk.size()), 300000);
    EXPECT_EQ(os::write(fd, chunk.data(), chunk.size()), 300000);
    // What is left is a short write, then nothing.
    const ssize_t last = os::write(fd, chunk.data(), chunk.size());
    EXPECT_GT(last, 0);
    EXPECT_LT(last, 300000);
    errno = 0;
    EXPECT_EQ(os::write(fd, "y", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    struct statfs st {};
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &st), 0);
    EXPECT_LE(st.f_bfree, 1u);
    // The board's count and statfs agree.
    EXPECT_EQ(card_.used_bytes(), (st.f_blocks - st.f_bfree) * st.f_bsize);
    // Space given back is free again.
    ASSERT_EQ(os::ftruncate(fd, 0), 0);
    ASSERT_EQ(os::lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(os::write(fd, "y", 1), 1);
    os::close(fd);
    ASSERT_EQ(os::unlink(box("big").c_str()), 0);
    EXPECT_EQ(card_.used_bytes(), 0u);
}

// A record's head and payload in one vectored write: one change of the card, cut at the
// capacity and at sector bounds as a plain write is.
TEST_F(CrashCard, AVectoredWriteIsOneChangeCutAtTheCapacityAndAtSectorBounds) {
    const std::string head = pattern(1000, 'h');
    const std::string tail = pattern(5000, 't');
    std::set<std::string> seen;
    for (int seed = 0; seed < kSeeds; ++seed) {
        start_with({});
        write("f", head, O_CREAT | O_TRUNC, true);
        const int fd = os::open(box("f").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(fd, 0);
        char* t = const_cast<char*>(tail.data());
        const iovec parts[] = {{t, 1500}, {t + 1500, 2000}, {t + 3500, 1500}};
        ASSERT_EQ(os::writev(fd, parts, 3), 5000);
        os::close(fd);
        cut(static_cast<uint64_t>(seed));
        const std::string f = text("f");
        ASSERT_GE(f.size(), head.size()) << seed;
        EXPECT_EQ(f, (head + tail).substr(0, f.size())) << seed;
        const size_t n = f.size();
        EXPECT_TRUE(n == 1000 || n == 6000 || n % 512 == 0) << "size " << n << ", seed " << seed;
        seen.insert(n == 1000 ? "lost" : n == 6000 ? "kept" : "torn");
    }
    EXPECT_EQ(seen, (std::set<std::string>{"lost", "kept", "torn"}));

    open(Durability::kFaithful, 1 << 20);
    const int fd = os::open(box("big").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const std::string a(300000, 'a');
    const std::string b(300000, 'b');
    for (int i = 0; i < 3; ++i) ASSERT_EQ(os::write(fd, a.data(), a.size()), 300000);
    // The buffers in order up to what is left, then nothing.
    const iovec parts[] = {{const_cast<char*>(a.data()), 100000},
                           {const_cast<char*>(b.data()), 300000}};
    const ssize_t last = os::writev(fd, parts, 2);
    EXPECT_GT(last, 100000);
    EXPECT_LT(last, 400000);
    errno = 0;
    EXPECT_EQ(os::writev(fd, parts, 2), -1);
    EXPECT_EQ(errno, ENOSPC);
    os::close(fd);
    const std::string big = text("big");
    ASSERT_EQ(big.size(), 900000u + static_cast<size_t>(last));
    EXPECT_EQ(big.substr(900000, 100000), std::string(100000, 'a'));
    EXPECT_EQ(big.substr(1000000), std::string(big.size() - 1000000, 'b'));
    struct statfs st {};
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &st), 0);
    EXPECT_EQ(card_.used_bytes(), (st.f_blocks - st.f_bfree) * st.f_bsize);
}

TEST_F(CrashCard, SpaceTakenBehindTheProgramsBackCountsAtTheNextStatfs) {
    open(Durability::kFaithful, 1 << 20);
    std::ofstream(card() / "behind", std::ios::binary) << std::string(900000, 'z');
    struct statfs st {};
    ASSERT_EQ(os::statfs("/mnt/mmcblk0p1", &st), 0);
    EXPECT_EQ(card_.used_bytes(), (st.f_blocks - st.f_bfree) * st.f_bsize);
    const int fd = os::open(box("f").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string chunk(300000, 'x');
    EXPECT_LT(os::write(fd, chunk.data(), chunk.size()), 300000);
    EXPECT_EQ(os::write(fd, chunk.data(), chunk.size()), -1);
    os::close(fd);
}

// ---- the trigger -------------------------------------------------------------------------------

TEST_F(CrashCard, ATriggerCutsThePowerAtTheNthOperation) {
    std::mutex m;
    std::condition_variable cv;
    std::string heard;
    std::string error;
    ASSERT_TRUE(card_.listen(
        [&](std::string message) {
            std::lock_guard lock(m);
            heard = message;
            cv.notify_all();
        },
        error))
        << error;
    start_with({{"recinfo", "old"}});
    simboard::CardTrigger t;
    ASSERT_EQ(simboard::parse_trigger({"2", "index", "cut"}, t), "");
    ASSERT_EQ(card_.arm(t), "");
    const pid_t child = ::fork();
    if (child == 0) {
        os::init();  // a journal descriptor of its own, as a program has
        write("other", "not counted", O_CREAT | O_TRUNC);
        write("recinfo.tmp", "new", O_CREAT | O_TRUNC);  // 1: the creation, 2: the write
        write("after", "never", O_CREAT | O_TRUNC);      // the program is frozen before this
        ::_exit(0);
    }
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return !heard.empty(); }));
    }
    EXPECT_EQ(heard, "cut write recinfo.tmp");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(has("after"));
    card_.power_cut("test");
    EXPECT_EQ(text("recinfo"), "old");

    std::string why = simboard::parse_trigger({"0", "index", "cut"}, t);
    EXPECT_NE(why.find("count"), std::string::npos);
    EXPECT_NE(simboard::parse_trigger({"1", "files", "cut"}, t), "");
    EXPECT_NE(simboard::parse_trigger({"1", "any", "explode"}, t), "");
}

TEST_F(CrashCard, ATriggerCanFillTheCardAtTheNthOperation) {
    simboard::CardTrigger t;
    ASSERT_EQ(simboard::parse_trigger({"1", "names", "full"}, t), "");
    ASSERT_EQ(card_.arm(t), "");
    const int fd = os::open(box("f").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);  // its creation fills the card
    EXPECT_EQ(card_.state(), os::simcard::CARD_FULL);
    errno = 0;
    EXPECT_EQ(os::write(fd, "x", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    os::close(fd);
}

}  // namespace
