// The recording index: loading, repair, saving through a power cut, the ring with locked files,
// events, rotation, the end of post-recording and the erase key.
#include "le.hpp"
#include "link_test_support.hpp"
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

// --- The repair keeps every lock that can still be read ------------------------------------

// A type-0 card with two events kept: files 4 and 5 locked (an impact, then the button), the
// ring at file 7.
class RecinfoRepair : public RecinfoTest {
  protected:
    void SetUp() override {
        RecinfoTest::SetUp();
        g_maxFileCount = 23;
        g_maxLockCount = 6;
    }
    static constexpr uint32_t kImpact1 = 0x00010001;
    static constexpr uint32_t kButton2 = 0x00000002;
    static std::vector<uint8_t> two_locks(uint32_t next = 7, uint32_t count = 2,
                                          size_t size = RECINFO_SIZE) {
        return index_bytes(next, count, {{4, kImpact1}, {5, kButton2}}, size);
    }
    // Loads as start-up does; the console.
    std::string start_up() {
        return linktest::Console([] {
            if (check_recinfo() == -2) replace_recinfo();
        });
    }
    // Both locks in memory and on the card, in the index and in its backup, which are whole and
    // equal; the next index in range and free.
    void expect_both_locks(uint32_t next) {
        EXPECT_EQ(lock_entry(4), kImpact1);
        EXPECT_EQ(lock_entry(5), kButton2);
        EXPECT_GE(g_recinfo[RECINFO_LOCKCOUNT], 2u);
        EXPECT_LE(g_recinfo[RECINFO_LOCKCOUNT], 6u);
        EXPECT_EQ(g_recinfo[RECINFO_NEXT], next);
        ASSERT_TRUE(std::filesystem::is_regular_file(recinfo()));
        ASSERT_TRUE(std::filesystem::is_regular_file(bak()));
        const auto stored = read_bytes(recinfo());
        ASSERT_EQ(stored.size(), 5608u);
        EXPECT_EQ(read_bytes(bak()), stored);
        EXPECT_EQ(u32_at(stored, 0), next);
        EXPECT_EQ(u32_at(stored, 8 + 4 * 4), kImpact1);
        EXPECT_EQ(u32_at(stored, 8 + 4 * 5), kButton2);
    }
};

// The index one byte short: every lock entry is still readable.
TEST_F(RecinfoRepair, ShortIndexWithoutABackupKeepsItsLocks) {
    put(recinfo(), two_locks(7, 2, 5607));
    const std::string out = start_up();
    EXPECT_NE(out.find("recinfo is damaged: 5607 of 5608 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("create recinfo.bak file...\n"), std::string::npos) << out;
    expect_both_locks(7);
}

// The backup as older recorders left it, zero-filled and never updated, loses nothing either.
TEST_F(RecinfoRepair, ShortIndexBesideAZeroFilledBackupKeepsItsLocks) {
    put(recinfo(), two_locks(7, 2, 5607));
    put(bak(), index_bytes(0, 0));
    start_up();
    expect_both_locks(7);
}

// So short that only some entries read: those are kept, the backup gives the rest.
TEST_F(RecinfoRepair, IndexCutInsideItsEntriesTakesTheRestFromTheBackup) {
    put(recinfo(), index_bytes(7, 2, {{4, kImpact1}}, 8 + 4 * 5));
    put(bak(), index_bytes(6, 2, {{5, kButton2}}));
    start_up();
    expect_both_locks(7);
}

TEST_F(RecinfoRepair, NextIndexOutOfRangeWithoutABackupKeepsTheLocks) {
    put(recinfo(), two_locks(200));
    start_up();
    expect_both_locks(0);
}

TEST_F(RecinfoRepair, NextIndexOutOfRangeWithADirectoryForTheBackupKeepsTheLocks) {
    put(recinfo(), two_locks(23));
    std::filesystem::create_directories(bak() / "inside");
    start_up();
    expect_both_locks(0);
}

// The next index named a locked file: the ring goes on at the next free one.
TEST_F(RecinfoRepair, RepairedRingNeverStartsOnALockedFile) {
    put(recinfo(), two_locks(23));
    put(bak(), two_locks(4));
    start_up();
    expect_both_locks(6);
}

// Both files bad: what reads as a lock entry of the format is kept, from either file; what
// does not (bits above the type, an unknown type, a generation above the card's limit) is not.
TEST_F(RecinfoRepair, BothFilesDamagedKeepEveryValidEntry) {
    put(recinfo(), index_bytes(200, 2,
                               {{4, kImpact1},
                                {9, 0xFFFFFFFF},
                                {10, 0x00000007},
                                {11, 0x00030001},
                                {14, 0x01000001}}));
    put(bak(), index_bytes(3, 7, {{4, 0x00020002}, {5, kButton2}, {12, 0x00020003}}));
    const std::string out = start_up();
    EXPECT_NE(out.find("****** recinfo, recinfo.bak crash... *******\n"), std::string::npos);
    EXPECT_NE(out.find("Create recinfo,file..."), std::string::npos);
    expect_both_locks(3);
    EXPECT_EQ(lock_entry(12), 0x00020003u);
    for (int file : {9, 10, 11, 14}) EXPECT_EQ(lock_entry(file), 0u) << file;
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 3u);  // covers generation 3
}

TEST_F(RecinfoRepair, MissingIndexIsRestoredFromTheBackup) {
    put(bak(), two_locks(7));
    const std::string out = start_up();
    EXPECT_NE(out.find("recinfo is missing"), std::string::npos) << out;
    expect_both_locks(7);
}

// A power cut inside a save (on FAT the rename over the index is not atomic) leaves no index,
// or an old one cut short, beside the whole temporary file: that is the newest index.
TEST_F(RecinfoRepair, IndexIsRecoveredFromItsWholeTemporaryFile) {
    const std::filesystem::path tmp = recinfo().string() + ".tmp";
    for (const bool shortIndex : {false, true}) {
        SCOPED_TRACE(shortIndex ? "short index" : "no index");
        std::filesystem::remove(recinfo());
        if (shortIndex) put(recinfo(), index_bytes(3, 0, {}, 1000));
        put(bak(), index_bytes(6, 1, {{4, kImpact1}}));  // one save behind
        put(tmp, two_locks(7));
        std::string out;
        out = linktest::Console([] { EXPECT_EQ(check_recinfo(), 0); });
        EXPECT_NE(out.find("recinfo recovered from /mnt/mmcblk0p1/data/recinfo.tmp"),
                  std::string::npos)
            << out;
        EXPECT_FALSE(std::filesystem::exists(tmp));
        expect_both_locks(7);
    }
}

// A temporary file cut short, or out of range, is no index: the repair takes over.
TEST_F(RecinfoRepair, DamagedTemporaryFileIsNotTaken) {
    const std::filesystem::path tmp = recinfo().string() + ".tmp";
    put(bak(), two_locks(7));
    put(tmp, index_bytes(9, 0, {}, 5000));
    const std::string out = start_up();
    EXPECT_EQ(out.find("recovered"), std::string::npos) << out;
    expect_both_locks(7);
    put(tmp, index_bytes(23, 0));
    std::filesystem::remove(recinfo());
    start_up();
    expect_both_locks(7);
}

// The files cannot be replaced and the repair's removal is refused: the recorder goes on with
// a sane index in memory, records into file 0 of the ring and locks on an event.
TEST_F(RecinfoRepair, RefusedRemovalLeavesASaneIndexInMemory) {
    std::filesystem::create_directories(recinfo() / "inside");
    put(bak(), two_locks(0xFFFFFFFF));
    const std::filesystem::path bin = board.root() / "refusing-bin";
    write_text(bin / "rm", "#!/bin/sh\nexit 1\n");
    std::filesystem::permissions(bin / "rm", std::filesystem::perms::owner_all);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (bin.string() + ":" + path).c_str(), 1);
    int result = 0;
    const std::string out = linktest::Console([&] {
        EXPECT_EQ(check_recinfo(), -2);
        result = replace_recinfo();
    });
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(result, -1);
    EXPECT_NE(out.find("recinfo cannot be saved: recording goes on with the index in memory"),
              std::string::npos)
        << out;
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);
    EXPECT_EQ(lock_entry(4), kImpact1);
    EXPECT_EQ(lock_entry(5), kButton2);
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 2u);

    linktest::Console([] {
        start_record();
        event_proc(LOCK_EMERGENCY);
    });
    EXPECT_TRUE(std::filesystem::exists(rec_path(0)));
    EXPECT_EQ(lock_entry(0), 0x00000003u);
    EXPECT_EQ(lock_entry(4), kImpact1);
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
