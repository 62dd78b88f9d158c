// Card sizing: the unsigned 32-bit size arithmetic, the card types' exclusive bounds, the limits
// and the free-space guard.
#include "link_test_support.hpp"
#include "storage_fixture.hpp"

using namespace storagetest;

namespace {

constexpr uint64_t MB = 1024 * 1024;

class StorageSizingTest : public StorageTest {
  protected:
    void sizes(int& total, int& used, int& freeSize) {
        ASSERT_EQ(getFreeSize(&total, &used, &freeSize, "/mnt/mmcblk0p1"), 0);
    }
};

TEST_F(StorageSizingTest, SmallCardMultipliesBeforeDividing) {
    // 10239 blocks of 4096 bytes: the first branch, total = T * b / 2^20.
    set_card(10239ull * 4096, 4096);
    fill_card("big", 10 * MB);
    int total = 0, used = 0, freeSize = 0;
    sizes(total, used, freeSize);
    EXPECT_EQ(total, 39);  // 41938944 / 1048576 = 39.99
    EXPECT_GE(used, 10);
    EXPECT_LE(total - freeSize - used, 1);
}

TEST_F(StorageSizingTest, ThirtyTwoGigabyteCardWith512ByteBlocksDoesNotOverflow) {
    const uint64_t capacity = 62333952ull * 512;  // a 32 GB card
    set_card(capacity, 512);
    int total = 0, used = 0, freeSize = 0;
    sizes(total, used, freeSize);
    EXPECT_EQ(total, 30436);  // (62333952 / 1024) * 512 / 1024
    EXPECT_EQ(freeSize, 30436);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(check_SD_type(), 6);
}

TEST_F(StorageSizingTest, UsedSpaceSwitchesToDivideFirstAt10240Blocks) {
    set_card(62333952ull * 512, 512);
    // The card's three directories and the version stamp take 4 blocks.
    fill_card("a", 10230ull * 512);  // 10234 used blocks: multiplied first
    int total = 0, used = 0, freeSize = 0;
    sizes(total, used, freeSize);
    EXPECT_EQ(used, 4);  // 10234 * 512 / 2^20 = 4.99
    // 20000 MB used: (T - F) * b would overflow 32 bits; divided first it is exact.
    fill_card("a", 20000 * MB);
    sizes(total, used, freeSize);
    EXPECT_EQ(used, 20000);
    EXPECT_EQ(freeSize, 10436);  // ((62333952 - 40960004) / 1024) * 512 / 1024
    EXPECT_EQ(total, 30436);
}

TEST_F(StorageSizingTest, StatfsFailureLeavesOutputsUnchanged) {
    std::filesystem::remove_all(board.card());
    int total = 7, used = 8, freeSize = 9;
    EXPECT_EQ(getFreeSize(&total, &used, &freeSize, "/mnt/mmcblk0p1"), -1);
    EXPECT_EQ(total, 7);
    EXPECT_EQ(used, 8);
    EXPECT_EQ(freeSize, 9);
}

TEST_F(StorageSizingTest, CardTypeBoundsAreExclusive) {
    struct Case {
        uint64_t mb;
        int type;  // -1: refused with the error halt
    };
    const Case cases[] = {{400, -1},   {401, 0},   {799, 0},    {800, -1},  {801, 1},
                          {1700, -1},  {2999, 2},  {3000, -1},  {7000, -1}, {7001, 4},
                          {13000, -1}, {13001, 5}, {20000, -1}, {39999, 6}, {40000, -1}};
    for (const Case& c : cases) {
        set_card(c.mb * MB, 512);
        int type = -1;
        const int halt = HaltCode([&] { type = check_SD_type(); });
        EXPECT_EQ(type, c.type) << c.mb << " MB";
        EXPECT_EQ(halt, c.type < 0 ? 255 : -1) << c.mb << " MB";
    }
}

TEST_F(StorageSizingTest, LimitsFollowTypeAndPreRecordCount) {
    set_card(2000 * MB, 512);
    g_preRecTime = 3;
    init_storage_limits();
    EXPECT_EQ(g_sdtype, 2);
    EXPECT_EQ(g_maxFileCount, 90);
    EXPECT_EQ(g_maxLockCount, 14);

    set_card(600 * MB, 512);
    g_preRecTime = 1;
    init_storage_limits();
    EXPECT_EQ(g_maxFileCount, 23);
    EXPECT_EQ(g_maxLockCount, 6);

    set_card(30000 * MB, 512);
    g_preRecTime = 2;
    init_storage_limits();
    EXPECT_EQ(g_sdtype, 6);
    EXPECT_EQ(g_maxFileCount, 1400);
    EXPECT_EQ(g_maxLockCount, 160);
}

// A card whose size reads as 0 gets the limits the recorder starts with, whatever a card
// measured before had set.
TEST_F(StorageSizingTest, UnreadableSizeFallsBackToTheStartingLimits) {
    set_card(30000 * MB, 512);
    init_storage_limits();
    set_card(0, 512);
    g_preRecTime = 2;
    std::string out;
    EXPECT_EQ(HaltCode(init_storage_limits, &out), -1);
    EXPECT_NE(out.find("SD size read fail...\n"), std::string::npos);
    EXPECT_NE(out.find("Max file count : 90, Max Lock Count 25\n"), std::string::npos);
    EXPECT_EQ(g_sdtype, 255);
}

// The guard only judges; the start of a file halts on its verdict, closing the file before.
TEST_F(StorageSizingTest, FreeSpaceGuard) {
    set_card(1000 * MB, 512);
    fill_card("filler", 960 * MB);
    std::string out = linktest::Console([] { EXPECT_TRUE(check_free_space()); });
    EXPECT_EQ(out, "all 1000, used 960, free 39\n");

    fill_card("filler", 971 * MB);
    EXPECT_EQ(HaltCode([] { EXPECT_FALSE(check_free_space()); }), -1);

    fill_card("filler", 960 * MB);
    start_record();
    fill_card("filler", 971 * MB);
    EXPECT_EQ(HaltCode(start_record), 255);
    EXPECT_EQ(rec_fd, -1);
    EXPECT_EQ(g_bRec, 0);
}

TEST_F(StorageSizingTest, FullCardStopsTheNextFile) {
    set_card(1000 * MB, 512, os::simcard::CARD_FULL);
    EXPECT_THROW(start_record(), HaltEntered);
    EXPECT_EQ(rec_fd, -1);
}

}  // namespace
