// The recording index: loading, repair, saving through a power cut, the ring with locked files,
// events, rotation, the end of post-recording and the erase key.
#include "le.hpp"
#include "storage_fixture.hpp"

using namespace storagetest;

namespace {

std::vector<uint8_t> index_bytes(uint32_t next, uint32_t lockCount,
                                 std::initializer_list<std::pair<int, uint32_t>> entries = {},
                                 size_t size = RECINFO_SIZE) {
    std::vector<uint8_t> b(RECINFO_SIZE, 0);
    std::span<uint8_t> s(b);
    le::put_u32(s, 0, next);
    le::put_u32(s, 4, lockCount);
    for (auto [file, entry] : entries) le::put_u32(s, 8 + 4 * file, entry);
    b.resize(size);
    return b;
}

class RecinfoTest : public StorageTest {
  protected:
    std::filesystem::path recinfo() const { return board.host("/mnt/mmcblk0p1/data/recinfo"); }
    std::filesystem::path bak() const { return board.host("/mnt/mmcblk0p1/data/recinfo.bak"); }
    void put(const std::filesystem::path& p, const std::vector<uint8_t>& b) {
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
    }
    uint32_t stored_word(int word) { return u32_at(read_bytes(recinfo()), 4 * word); }
};

TEST_F(RecinfoTest, MissingIndexIsCreatedZeroFilled) {
    EXPECT_EQ(check_recinfo(), 0);
    auto b = read_bytes(recinfo());
    ASSERT_EQ(b.size(), 5608u);
    EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_FALSE(std::filesystem::exists(recinfo().string() + ".tmp"));
}

TEST_F(RecinfoTest, LoadsAndClampsTheLockCount) {
    g_maxLockCount = 6;
    put(recinfo(), index_bytes(17, 9, {{3, 0x10002}}));
    EXPECT_EQ(check_recinfo(), 0);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 17u);
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 6u);
    EXPECT_EQ(lock_entry(3), 0x10002u);
}

TEST_F(RecinfoTest, NextIndexOutOfRangeIsRepairedFromTheBackup) {
    g_maxFileCount = 90;
    put(recinfo(), index_bytes(90, 0));
    EXPECT_EQ(check_recinfo(), -2);
    put(bak(), index_bytes(5, 1, {{4, 0x00001}}));
    EXPECT_EQ(replace_recinfo(), 0);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 5u);
    EXPECT_EQ(read_bytes(recinfo()), read_bytes(bak()));
    EXPECT_EQ(check_recinfo(), 0);
    EXPECT_EQ(lock_entry(4), 1u);
}

TEST_F(RecinfoTest, ShortIndexIsDamagedAndRepaired) {
    put(recinfo(), index_bytes(3, 0, {}, 5607));
    EXPECT_EQ(check_recinfo(), -2);
    // No backup: one is created zero-filled and copied over the index.
    EXPECT_EQ(replace_recinfo(), 0);
    EXPECT_EQ(std::filesystem::file_size(bak()), 5608u);
    EXPECT_EQ(read_bytes(recinfo()), read_bytes(bak()));
    EXPECT_EQ(check_recinfo(), 0);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);
}

TEST_F(RecinfoTest, BackupOutOfRangeToo) {
    g_maxLockCount = 6;
    put(recinfo(), index_bytes(200, 0));
    put(bak(), index_bytes(1, 7));  // lock count above the maximum
    testing::internal::CaptureStdout();
    EXPECT_EQ(replace_recinfo(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("****** recinfo, recinfo.bak crash... *******\n"), std::string::npos);
    EXPECT_EQ(read_bytes(bak()), read_bytes(recinfo()));
    auto b = read_bytes(recinfo());
    ASSERT_EQ(b.size(), 5608u);
    EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);
}

// A power cut between the flushed temporary file and its rename leaves the old index whole.
TEST_F(RecinfoTest, PowerCutBeforeRenameKeepsTheOldIndex) {
    put(recinfo(), index_bytes(7, 2, {{5, 0x20001}, {6, 0x10002}}));
    ASSERT_EQ(check_recinfo(), 0);
    g_recinfo[RECINFO_NEXT] = 8;
    lock_entry(5) = 0;
    struct PowerCut {};
    cardfile::before_rename = [](const char*) { throw PowerCut{}; };
    EXPECT_THROW(write_recinfo(), PowerCut);
    cardfile::before_rename = nullptr;

    EXPECT_TRUE(std::filesystem::exists(recinfo().string() + ".tmp"));
    g_recinfo.fill(0);
    ASSERT_EQ(check_recinfo(), 0);  // the old index, complete
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 7u);
    EXPECT_EQ(lock_entry(5), 0x20001u);

    g_recinfo[RECINFO_NEXT] = 9;
    ASSERT_EQ(write_recinfo(), 0);  // the stale temporary file is simply replaced
    EXPECT_FALSE(std::filesystem::exists(recinfo().string() + ".tmp"));
    EXPECT_EQ(stored_word(RECINFO_NEXT), 9u);
    EXPECT_EQ(std::filesystem::file_size(recinfo()), 5608u);
}

TEST_F(RecinfoTest, RingWrapsAndSkipsLockedFiles) {
    g_maxFileCount = 6;
    g_recinfo[RECINFO_NEXT] = 3;
    lock_entry(4) = 0x10001;
    lock_entry(5) = 0x00002;
    EXPECT_EQ(check_nextfile(), 0);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);  // 4 and 5 locked: wrapped to 0
    EXPECT_EQ(stored_word(RECINFO_NEXT), 0u);

    for (int i = 0; i < 6; ++i) lock_entry(i) = 1;
    lock_entry(0) = 0;
    EXPECT_EQ(check_nextfile(), 0);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);  // the last candidate is the current index itself

    lock_entry(0) = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_nextfile(), -1);
    EXPECT_NE(
        testing::internal::GetCapturedStdout().find("*** We don't find  available next file....\n"),
        std::string::npos);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);
}

TEST_F(RecinfoTest, HistoryKeepsTheNewestAtDepth) {
    g_recHistoryDepth = 2;
    for (int i : {10, 11, 12}) saveRecHistory(i);
    EXPECT_EQ(g_recHistory[0], 11);
    EXPECT_EQ(g_recHistory[1], 12);
    EXPECT_EQ(g_recHistory[2], -1);
}

TEST_F(RecinfoTest, LockFileEncodesTypeAndGeneration) {
    lock_file(3, LOCK_ALARM, 0x12345);
    EXPECT_EQ(lock_entry(3), 0x00022345u);
    lock_file(-1, LOCK_IMPACT, 1);  // nothing
    lock_file(1400, LOCK_IMPACT, 1);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);
}

// Rotation releases generation 1, renumbers the rest and keeps each lock's whole type.
TEST_F(RecinfoTest, RotationKeepsTheLockType) {
    g_maxLockCount = 6;
    lock_entry(0) = 0x00010001;  // impact, oldest
    lock_entry(1) = 0x00020002;  // alarm
    lock_entry(2) = 0x00010006;
    lock_entry(3) = 0x00000007;  // generation above the maximum: invalid
    lock_entry(4) = 0x00020000;  // generation 0: left alone
    RotationLockInfomation();
    EXPECT_EQ(lock_entry(0), 0u);
    EXPECT_EQ(lock_entry(1), 0x00020001u);
    EXPECT_EQ(lock_entry(2), 0x00010005u);
    EXPECT_EQ(lock_entry(3), 0u);
    EXPECT_EQ(lock_entry(4), 0x00020000u);
}

class EventTest : public RecinfoTest {
  protected:
    void SetUp() override {
        RecinfoTest::SetUp();
        g_maxFileCount = 20;
        g_maxLockCount = 6;
        g_recHistoryDepth = 2;
        ASSERT_EQ(check_recinfo(), 0);
        start_record();  // file 0
    }
    void record_at(uint32_t sec) {
        std::array<uint8_t, gpsrec::SIZE> gps{};
        le::put_u32(gps, gpsrec::RECV_SEC, sec);
        write_gpsframe(gps.data());
    }
    // Changes files the way a full file does.
    void next_file() {
        const int before = g_currentRecIndex;
        write_size = static_cast<int>(recfmt::MAX_FILE_SIZE);
        record_at(static_cast<uint32_t>(g_lock_time));
        ASSERT_NE(g_currentRecIndex, before);
    }
};

TEST_F(EventTest, EventLocksCurrentAndPreviousFileAndTheFileAfter) {
    record_at(1000);
    next_file();  // file 1
    event_proc(LOCK_IMPACT);
    EXPECT_EQ(g_lock_status, 1);
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 1u);
    EXPECT_EQ(lock_entry(0), 0x00010001u);
    EXPECT_EQ(lock_entry(1), 0x00010001u);
    // Saved before event_proc returns, and the backup with it.
    EXPECT_EQ(stored_word(RECINFO_FIRST_ENTRY + 1), 0x00010001u);
    EXPECT_EQ(read_bytes(bak()), read_bytes(recinfo()));

    event_proc(LOCK_EMERGENCY);  // ignored while the event runs
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 1u);

    next_file();  // file 2: first change after the event
    EXPECT_EQ(g_lock_status, 1);
    EXPECT_EQ(lock_entry(2), 0u);
    testing::internal::CaptureStdout();
    next_file();  // second change: post-recording ends, file 2 is locked
    EXPECT_NE(testing::internal::GetCapturedStdout().find("end of post recording\n"),
              std::string::npos);
    EXPECT_EQ(g_lock_status, 0);
    EXPECT_EQ(lock_entry(2), 0x00010001u);
    EXPECT_EQ(lock_entry(3), 0u);
    EXPECT_EQ(stored_word(RECINFO_FIRST_ENTRY + 2), 0x00010001u);
    EXPECT_EQ(g_currentRecIndex, 3);
}

TEST_F(EventTest, PostRecordingEndsAfterSixtySecondsWithoutAFileChange) {
    record_at(5000);
    event_proc(LOCK_ALARM);
    EXPECT_EQ(g_lock_status, 2);
    EXPECT_EQ(lock_entry(0), 0x00020001u);
    const auto t0 = static_cast<uint32_t>(g_lock_time);
    record_at(t0 + 60);  // not yet: more than 60 seconds are needed
    EXPECT_EQ(g_currentRecIndex, 0);
    EXPECT_EQ(g_lock_status, 2);
    record_at(t0 + 61);  // ends the event's file early; nothing more is locked
    EXPECT_EQ(g_lock_status, 0);
    EXPECT_EQ(g_currentRecIndex, 1);
    EXPECT_EQ(lock_entry(1), 0u);
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 1u);
}

TEST_F(EventTest, TimeBeforeTheEventDoesNotEndIt) {
    record_at(5000);
    event_proc(LOCK_IMPACT);
    record_at(static_cast<uint32_t>(g_lock_time) - 100);
    EXPECT_EQ(g_lock_status, 1);
    EXPECT_EQ(g_currentRecIndex, 0);
}

TEST_F(EventTest, SeventhEventRotatesTheOldest) {
    for (int event = 1; event <= 7; ++event) {
        record_at(100);
        event_proc(event % 2 == 0 ? LOCK_ALARM : LOCK_IMPACT);
        record_at(static_cast<uint32_t>(g_lock_time) + 61);  // ends the event, next file
        ASSERT_EQ(g_lock_status, 0);
    }
    // Event k locked file k - 1 with generation k; the seventh released event 1's file.
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 6u);
    EXPECT_EQ(lock_entry(0), 0u);
    EXPECT_EQ(lock_entry(1), 0x00020001u);  // event 2 (alarm), now generation 1
    EXPECT_EQ(lock_entry(6), 0x00010006u);  // event 7, the newest generation
}

TEST_F(EventTest, EraseKeyClearsEveryLockAndRollsBackTheHistory) {
    record_at(100);
    next_file();  // file 1
    event_proc(LOCK_IMPACT);
    clear_all_locks();
    EXPECT_EQ(g_lock_status, 0);
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 0u);
    for (int i = 0; i < MAX_REC_FILES; ++i) ASSERT_EQ(lock_entry(i), 0u) << i;
    EXPECT_EQ(g_recHistory[0], 0);
    EXPECT_EQ(g_recHistory[1], 1);
    auto b = read_bytes(recinfo());
    EXPECT_TRUE(std::all_of(b.begin() + 4, b.end(), [](uint8_t v) { return v == 0; }));
    EXPECT_EQ(read_bytes(bak()), b);
}

}  // namespace
