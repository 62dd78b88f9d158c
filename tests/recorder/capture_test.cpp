// Opening and closing recording files, and the error halt's entry.
#include "storage_fixture.hpp"

using namespace storagetest;

namespace {

class StartRecordTest : public StorageTest {};

TEST_F(StartRecordTest, OpensTheNextFileAndAdvances) {
    g_maxFileCount = 10;
    g_recinfo[RECINFO_NEXT] = 9;
    lock_entry(0) = 0x10001;
    testing::internal::CaptureStdout();
    EXPECT_EQ(start_record(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("rec file /mnt/mmcblk0p1/data/rec00000009.asd\n"), std::string::npos);
    EXPECT_NE(out.find("all 8192, used 0, free 8191\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(rec_path(9)));
    EXPECT_EQ(g_currentRecIndex, 9);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 1u);  // 0 is locked
    EXPECT_EQ(g_bRec, 1);
    EXPECT_EQ(g_recHistory[3], 9);
    stop_record();
    EXPECT_EQ(g_bRec, 0);
    EXPECT_EQ(rec_fd, -1);
}

TEST_F(StartRecordTest, ExistingFileIsTruncated) {
    write_text(rec_path(0), std::string(5000, 'x'));
    start_record();
    EXPECT_EQ(std::filesystem::file_size(rec_path(0)), 0u);
}

TEST_F(StartRecordTest, FileThatCannotBeOpenedHalts) {
    std::filesystem::remove_all(board.card() / "data");
    try {
        start_record();
        ADD_FAILURE() << "no halt";
    } catch (const HaltEntered& h) {
        EXPECT_EQ(h.code, 255);
    }
    EXPECT_EQ(g_bRec, 0);
}

TEST_F(StartRecordTest, HaltClosesAndCompletesTheOpenFile) {
    start_record();
    std::vector<uint8_t> jpeg(100, 1);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 100), 0);
    EXPECT_THROW(error_halt(HALT_FRONT_CAMERA, true), HaltEntered);
    EXPECT_EQ(rec_fd, -1);
    auto b = read_bytes(rec_path(0));
    EXPECT_EQ(u32_at(b, 8), 1u);
}

TEST_F(StartRecordTest, StorageErrorCheckCountsFailuresInARow) {
    for (int i = 1; i <= 4; ++i) {
        system_error();
        EXPECT_EQ(g_sdErrorCnt, i);
    }
    EXPECT_THROW(system_error(), HaltEntered);
}

}  // namespace
