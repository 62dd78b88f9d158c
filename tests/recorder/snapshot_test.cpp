// Snapshot sets, the index file, and what happens when a picture cannot be saved. Four pictures to
// a set, the fifth refused, are shown on the whole board.
#include "storage_fixture.hpp"

using namespace storagetest;

namespace {

class SnapshotTest : public StorageTest {
  protected:
    std::filesystem::path dir() const { return board.host("/mnt/mmcblk0p1/snapshot"); }
    int32_t stored_index() {
        auto b = read_bytes(dir() / "index");
        EXPECT_EQ(b.size(), 4u);
        return b.size() == 4 ? static_cast<int32_t>(u32_at(b, 0)) : -1;
    }
    void frame(uint8_t fill = 0xAB, int length = 300) {
        std::vector<uint8_t> jpeg(static_cast<size_t>(length), fill);
        MakeSnapShot(jpeg.data(), length);
    }
};

TEST_F(SnapshotTest, NothingWithoutARequest) {
    frame();
    EXPECT_FALSE(std::filesystem::exists(dir() / "001-1.jpg"));
    request_snapshot();
    MakeSnapShot(nullptr, 0);  // an empty frame does not serve the request
    EXPECT_EQ(g_meterEvent, 1);
}

TEST_F(SnapshotTest, EndOfSetAfterTwoPicturesMovesOn) {
    request_snapshot();
    frame();
    request_snapshot();
    frame();
    end_snapshot_set();
    EXPECT_EQ(g_snapIndex, 1);
    EXPECT_EQ(g_snapCnt, 0);
    end_snapshot_set();  // a set without pictures does not move on
    EXPECT_EQ(g_snapIndex, 1);
    request_snapshot();
    frame();
    EXPECT_TRUE(std::filesystem::exists(dir() / "002-1.jpg"));
}

TEST_F(SnapshotTest, SetNumbersWrapAfter100) {
    g_snapIndex = 99;
    request_snapshot();
    frame();
    EXPECT_TRUE(std::filesystem::exists(dir() / "100-1.jpg"));
    EXPECT_EQ(stored_index(), 0);
    end_snapshot_set();
    EXPECT_EQ(g_snapIndex, 0);
    request_snapshot();
    frame();
    EXPECT_TRUE(std::filesystem::exists(dir() / "001-1.jpg"));
}

TEST_F(SnapshotTest, IndexIsLoadedAtStartUp) {
    auto store = [&](int32_t index) {
        std::ofstream(dir() / "index", std::ios::binary)
            .write(reinterpret_cast<const char*>(&index), 4);
    };
    store(42);
    check_recinfo();
    EXPECT_EQ(g_snapIndex, 42);
    store(1000);  // not a set number
    load_snapIndex();
    EXPECT_EQ(g_snapIndex, 0);
}

// A picture that cannot be created leaves the set and the index as they were.
TEST_F(SnapshotTest, UncreatableSnapshotChangesNothing) {
    request_snapshot();
    frame();
    ASSERT_EQ(stored_index(), 1);
    std::filesystem::remove_all(dir());
    request_snapshot();
    testing::internal::CaptureStdout();
    frame();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("cannot be created - No such file or directory"), std::string::npos) << out;
    EXPECT_EQ(g_snapCnt, 1);
    EXPECT_EQ(g_snapIndex, 0);
    EXPECT_EQ(g_snapComp, 0);
    EXPECT_EQ(g_meterEvent, 0);

    std::filesystem::create_directories(dir());
    request_snapshot();
    frame();
    EXPECT_TRUE(std::filesystem::exists(dir() / "001-2.jpg"));
}

TEST_F(SnapshotTest, PictureTheFullCardRefusesIsRemoved) {
    set_card(8ull << 30, 512, os::simcard::CARD_FULL);
    request_snapshot();
    frame();
    EXPECT_FALSE(std::filesystem::exists(dir() / "001-1.jpg"));
    EXPECT_FALSE(std::filesystem::exists(dir() / "index"));
    EXPECT_EQ(g_snapCnt, 0);
}

}  // namespace
