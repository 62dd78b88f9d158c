// What bench_board reads of a running board: a process's times, its environment, the locks of
// the recording index, and the percentiles of the impact row.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "board_probe.hpp"

namespace {

using benchprobe::has_env_entry;
using benchprobe::locked_files;
using benchprobe::parse_stat;
using benchprobe::percentile;

// A /proc/PID/stat line of `name` with utime 11, stime 22, cutime 33 and cstime 44.
std::string stat_line(const std::string& name) {
    return "4242 (" + name +
           ") S 1 4242 4242 0 -1 4194560 1200 0 0 0 11 22 33 44 20 0 11 0 500 1000 300 "
           "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0";
}

TEST(ProcStat, TimesAfterTheCommandName) {
    for (const std::string name : {"recorder", "a b", "x) S 9 9 9 (y", ")", "(("}) {
        const auto t = parse_stat(stat_line(name));
        ASSERT_TRUE(t) << name;
        EXPECT_EQ(t->utime, 11u) << name;
        EXPECT_EQ(t->stime, 22u) << name;
        EXPECT_EQ(t->cutime, 33u) << name;
        EXPECT_EQ(t->cstime, 44u) << name;
    }
}

TEST(ProcStat, NothingFromALineCutShortOrGarbled) {
    EXPECT_FALSE(parse_stat(""));
    EXPECT_FALSE(parse_stat("4242 (recorder"));
    EXPECT_FALSE(parse_stat("4242 (recorder)"));
    EXPECT_FALSE(parse_stat("4242 (recorder) S 1 4242 4242 0 -1 4194560 1200 0 0 0 11 22 33"));
    std::string line = stat_line("recorder");
    line.replace(line.find(" 22 "), 4, " -2 ");
    EXPECT_FALSE(parse_stat(line)) << "a negative time is no time";
}

TEST(Environment, OnlyTheWholeEntryMatches) {
    using namespace std::string_literals;
    const std::string env = "HOME=/root\0SIMBOARD_ROOT=/tmp/bench-cpu/board\0TERM=xterm"s;
    EXPECT_TRUE(has_env_entry(env, "SIMBOARD_ROOT=/tmp/bench-cpu/board"));
    EXPECT_TRUE(has_env_entry(env, "HOME=/root"));
    EXPECT_TRUE(has_env_entry(env, "TERM=xterm")) << "the last entry has no NUL after it";
    EXPECT_TRUE(has_env_entry(env + '\0', "TERM=xterm"));
    // Another board's root that begins with this one's, or this one's inside another's.
    EXPECT_FALSE(has_env_entry(env, "SIMBOARD_ROOT=/tmp/bench-cpu/boar"));
    EXPECT_FALSE(has_env_entry("SIMBOARD_ROOT=/tmp/bench-cpu/board2"s,
                               "SIMBOARD_ROOT=/tmp/bench-cpu/board"));
    EXPECT_FALSE(has_env_entry("", "HOME=/root"));
}

TEST(RecordingIndex, LockedFilesAreTheEntriesThatAreNotZero) {
    std::vector<uint8_t> index(8 + 1400 * 4, 0);
    index[0] = 7;  // the next file
    index[4] = 3;  // three events: neither is a lock entry
    EXPECT_EQ(locked_files(index), 0u);
    index[8 + 0 * 4 + 0] = 1;        // file 0, generation 1
    index[8 + 5 * 4 + 2] = 1;        // file 5, only the type byte set
    index[8 + 1399 * 4 + 3] = 0x80;  // the last file, the highest byte
    EXPECT_EQ(locked_files(index), 3u);
    // An index cut inside an entry counts its whole entries only.
    index.resize(8 + 5 * 4 + 3);
    EXPECT_EQ(locked_files(index), 1u);
    index.resize(5);
    EXPECT_EQ(locked_files(index), 0u);
}

TEST(Percentile, InterpolatedBetweenTheNearestRanks) {
    EXPECT_TRUE(std::isnan(percentile({}, 0.5)));
    EXPECT_DOUBLE_EQ(percentile({42}, 0.99), 42);
    EXPECT_DOUBLE_EQ(percentile({10, 20}, 0.5), 15);
    std::vector<double> fifty;
    for (int i = 1; i <= 50; ++i) fifty.push_back(i);
    EXPECT_DOUBLE_EQ(percentile(fifty, 0.5), 25.5);
    // p99 of 50 lies between the two largest: 49 + 0.51, not the largest alone.
    EXPECT_NEAR(percentile(fifty, 0.99), 49.51, 1e-9);
    EXPECT_DOUBLE_EQ(percentile(fifty, 0), 1);
    EXPECT_DOUBLE_EQ(percentile(fifty, 1), 50);
    EXPECT_DOUBLE_EQ(percentile(fifty, 1.5), 50) << "a share above one is the largest";
}

}  // namespace
