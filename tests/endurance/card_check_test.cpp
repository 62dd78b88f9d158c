// The torture's judge: which index the card's locks are read from, and how a card state is
// compared with the one before (rotation, lost locks, overwritten locked files, damage).
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "card_check.hpp"
#include "card_index.hpp"
#include "files.hpp"
#include "le.hpp"

namespace {

namespace fs = std::filesystem;
using endurance::CardState;
using endurance::Checker;

// A card state with events given as {generation, type, files}, each file recorded at start time
// 1000 + its index unless `starts` says otherwise.
struct Ev {
    uint16_t generation;
    uint8_t type;
    std::vector<int> files;
};

CardState state(const std::vector<Ev>& events, const std::map<int, uint32_t>& starts = {}) {
    CardState s;
    s.indexSource = "recinfo";
    s.ring = 23;
    for (int f = 0; f < 23; ++f) {
        endurance::FileState file;
        file.size = 1000;
        file.ending = asd::Ending::Closed;
        const auto given = starts.find(f);
        file.start = asd::Time{given != starts.end() ? given->second : 1000u + f, 0};
        s.files[f] = file;
    }
    for (const Ev& e : events) {
        for (const int f : e.files) s.locks[f] = {e.generation, e.type};
    }
    return s;
}

TEST(Checker, RotationDropsTheOldestEventsOnly) {
    Checker c;
    const std::vector<Ev> full = {{1, 1, {0, 1}}, {2, 0, {3, 4}}, {3, 1, {6}},
                                  {4, 2, {8, 9}}, {5, 1, {11}},   {6, 0, {13, 14}}};
    EXPECT_TRUE(c.check(state(full)).empty());
    // Two new events: the two oldest go, the others move down by two.
    const std::vector<Ev> rotated = {{1, 1, {6}},      {2, 2, {8, 9}},   {3, 1, {11}},
                                     {4, 0, {13, 14}}, {5, 1, {16, 17}}, {6, 2, {19}}};
    EXPECT_TRUE(c.check(state(rotated)).empty());
    EXPECT_EQ(c.counts().locksSeen, 8u);
    EXPECT_EQ(c.counts().locksLost, 0u);
    // A post-recording that goes on adds files to the newest event.
    auto grown = rotated;
    grown[5].files.push_back(20);
    EXPECT_TRUE(c.check(state(grown)).empty());
    EXPECT_EQ(c.counts().locksSeen, 8u);
}

TEST(Checker, LocksThatDisappearOtherwiseAreLost) {
    Checker c;
    c.check(state({{1, 1, {0, 1}}, {2, 0, {3, 4}}, {3, 2, {6}}}));
    // The middle event vanishes while an older one stays.
    auto problems = c.check(state({{1, 1, {0, 1}}, {3, 2, {6}}}));
    EXPECT_EQ(c.counts().locksLost, 1u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("files 3 4"), std::string::npos) << problems[0];
    // Every lock gone without a new event: the index was started afresh.
    problems = c.check(state({}));
    EXPECT_EQ(c.counts().locksLost, 3u);
    // An event losing one of its files counts as lost too.
    Checker d;
    d.check(state({{1, 1, {0, 1}}}));
    d.check(state({{1, 1, {0}}}));
    EXPECT_EQ(d.counts().locksLost, 1u);
    // More events dropped than new ones came.
    Checker e;
    e.check(state({{1, 1, {0}}, {2, 1, {2}}, {3, 1, {4}}}));
    e.check(state({{1, 1, {4}}, {2, 0, {6}}}));
    EXPECT_EQ(e.counts().locksLost, 1u);
}

// A file change with every file of the ring locked drops the oldest event without a new one.
TEST(Checker, AFileChangeMayRotateOutTheOldestOnlyWhenEveryFileWasLocked) {
    const std::vector<Ev> full = {{1, 1, {0, 1, 2, 3, 4}},
                                  {2, 0, {5, 6, 7, 8, 9}},
                                  {3, 1, {10, 11, 12, 13, 14}},
                                  {4, 2, {15, 16, 17, 18, 19}},
                                  {5, 1, {20, 21, 22}}};
    const std::vector<Ev> after = {{1, 0, {5, 6, 7, 8, 9}},
                                   {2, 1, {10, 11, 12, 13, 14}},
                                   {3, 2, {15, 16, 17, 18, 19}},
                                   {4, 1, {20, 21, 22}}};
    Checker c;
    c.check(state(full));
    EXPECT_TRUE(c.check(state(after, {{0, 7000}})).empty());
    EXPECT_EQ(c.counts().locksLost, 0u);
    EXPECT_EQ(c.counts().lockedOverwritten, 0u);
    // Three files were still free: the oldest had no reason to go.
    auto partial = full;
    partial.pop_back();
    auto shifted = after;
    shifted.pop_back();
    Checker d;
    d.check(state(partial));
    const auto problems = d.check(state(shifted, {{0, 7000}}));
    EXPECT_EQ(d.counts().locksLost, 1u);
    EXPECT_EQ(d.counts().lockedOverwritten, 1u);
    EXPECT_EQ(problems.size(), 2u);
}

TEST(Checker, ALockedFileMustKeepItsRecording) {
    Checker c;
    c.check(state({{1, 1, {0, 1}}}));
    const auto problems = c.check(state({{1, 1, {0, 1}}}, {{1, 5000}}));
    EXPECT_EQ(c.counts().lockedOverwritten, 1u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("rec00000001.asd overwritten"), std::string::npos);
    // Once rotated out, a file may be recorded again.
    Checker r;
    r.check(state({{1, 1, {0}}, {2, 1, {2}}}));
    EXPECT_TRUE(r.check(state({{1, 1, {2}}, {2, 0, {4}}}, {{0, 7000}})).empty());
}

TEST(Checker, DamageIsToldOncePerRecording) {
    Checker c;
    CardState s = state({});
    s.files[3].damage = asd::Damage{500, "garbage"};
    s.files[4].ending = asd::Ending::NotClosed;
    s.files[4].damage = asd::Damage{900, "garbage"};
    EXPECT_EQ(c.check(s).size(), 2u);
    EXPECT_TRUE(c.check(s).empty());
    EXPECT_EQ(c.counts().closedDamaged, 1u);
    EXPECT_EQ(c.counts().openDamaged, 1u);
    s.files[3].start = asd::Time{9000, 0};  // recorded again, damaged again
    c.check(s);
    EXPECT_EQ(c.counts().closedDamaged, 2u);
}

// ---- the index the locks are read from ----

class Reader : public ::testing::Test {
  protected:
    void index(const std::string& name, uint32_t next, const std::map<int, uint32_t>& locks,
               size_t size = asd::kIndexBytes) {
        std::vector<uint8_t> b(asd::kIndexBytes, 0);
        le::put_u32(b, 0, next);
        le::put_u32(b, 4, static_cast<uint32_t>(locks.size()));
        for (const auto& [f, entry] : locks) le::put_u32(b, 8 + 4 * f, entry);
        b.resize(size);
        fs::create_directories(dir_.path() / "data");
        std::ofstream(dir_.path() / "data" / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }
    CardState read() { return endurance::CardReader(23).read(dir_.path()); }
    testsupport::TempDir dir_{"cardcheck"};
};

TEST_F(Reader, TheIndexIsTheOneTheRecorderStartsFrom) {
    index("recinfo", 2, {{0, 0x10001}});
    index("recinfo.tmp", 3, {{0, 0x10001}, {1, 0x2}});
    index("recinfo.bak", 1, {});
    EXPECT_EQ(read().indexSource, "recinfo");
    EXPECT_EQ(read().locks.size(), 1u);
    // Short, or naming a file beyond the ring: the interrupted save, then the backup.
    index("recinfo", 2, {{0, 0x10001}}, 5607);
    EXPECT_EQ(read().indexSource, "recinfo.tmp");
    EXPECT_EQ(read().locks.at(1).type, 0);
    index("recinfo.tmp", 23, {});
    EXPECT_EQ(read().indexSource, "recinfo.bak");
    fs::remove(dir_.path() / "data/recinfo.bak");
    EXPECT_EQ(read().indexSource, "");
}

TEST_F(Reader, FilesAreReadAsTheRecordingReaderSeesThem) {
    index("recinfo", 0, {});
    std::ofstream(dir_.path() / "data/rec00000000.asd");  // opened, never written
    std::ofstream(dir_.path() / "data/rec00000001.asd") << "not a recording";
    std::ofstream(dir_.path() / "data/other.asd") << "ignored";
    const CardState s = read();
    ASSERT_EQ(s.files.size(), 2u);
    EXPECT_EQ(s.files.at(0).ending, asd::Ending::Empty);
    EXPECT_FALSE(s.files.at(0).damage);
    EXPECT_TRUE(s.files.at(1).damage);
    EXPECT_FALSE(s.files.at(1).start);
}

}  // namespace
