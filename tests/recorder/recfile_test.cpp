// The record writer: header, the four record kinds, the previous-record chain, completing the
// header at close, the file change at 20 MiB, and short writes.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "le.hpp"
#include "sim_card_journal.h"
#include "storage_fixture.hpp"

using namespace storagetest;

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

class RecFileTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        g_qp = 3;
        std::strcpy(g_exFileHeader.vehicleNumber, "CAR 1");
        start_record();
        ASSERT_GE(rec_fd, 0);
    }
    std::vector<uint8_t> file(int index = 0) { return read_bytes(rec_path(index)); }
};

TEST_F(RecFileTest, HeaderIsWrittenWithTheFirstRecord) {
    EXPECT_EQ(std::filesystem::file_size(rec_path(0)), 0u);
    std::array<uint8_t, gpsrec::SIZE> gps{};
    le::put_u32(gps, gpsrec::RECV_SEC, 1300000000);
    le::put_u32(gps, gpsrec::RECV_USEC, 250);
    gps[gpsrec::STATUS] = 'A';
    ASSERT_EQ(write_gpsframe(gps.data()), 0);
    auto b = file();
    ASSERT_EQ(b.size(), 84u + 94u);
    EXPECT_EQ(b[0], 0x11);
    EXPECT_EQ(b[1], 0x08);
    EXPECT_EQ(b[6], 3);                     // quantiser
    EXPECT_EQ(u32_at(b, 8), 0u);            // completed at close
    EXPECT_EQ(u32_at(b, 12), 1300000000u);  // start time = first record's time
    EXPECT_EQ(u32_at(b, 16), 250u);
    EXPECT_EQ(u32_at(b, 20), 1300000000u);  // end = start until closed
    EXPECT_EQ(b[28 + 2], 14);               // time zone
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[28 + 14])), "CAR 1");
    EXPECT_EQ(b[28 + 53], 1);
    EXPECT_EQ(b[84], 0x02);
    EXPECT_EQ(b[85], 0xFF);
    EXPECT_EQ(u32_at(b, 86), 0u);  // first record: previous offset 0
    EXPECT_EQ(b[84 + 6], 'A');     // GPS record byte 4
    EXPECT_EQ(u32_at(b, 84 + 2 + 60), 1300000000u);
}

TEST_F(RecFileTest, RecordsChainBackwardsAndCloseCompletesTheHeader) {
    auto jpeg0 = pattern(1000, 1);
    auto jpeg1 = pattern(777, 2);
    auto audio = pattern(8192, 3);
    std::array<uint8_t, gsrec::SIZE> gs{};
    le::put_i16(gs, gsrec::X, -12);
    le::put_i16(gs, gsrec::Y, 300);
    le::put_i16(gs, gsrec::Z, -1000);
    le::put_i16(gs, gsrec::W, 255);

    ASSERT_EQ(write_videoframe(640, 480, 0, jpeg0.data(), 1000), 0);
    ASSERT_EQ(write_gsensorframe(gs.data()), 0);
    ASSERT_EQ(write_videoframe(640, 240, 1, jpeg1.data(), 777), 0);
    ASSERT_EQ(write_audioframe(audio.data(), 8192), 0);
    EXPECT_EQ(g_totalVFrame, 2);
    const RecTime end = g_endtime;
    stop_record();

    auto b = file();
    const size_t v0 = 84, g0 = v0 + 1026, v1 = g0 + 22, a0 = v1 + 803;
    ASSERT_EQ(b.size(), a0 + 18 + 8192);
    EXPECT_EQ(u32_at(b, v0 + 2), 0u);
    EXPECT_EQ(u32_at(b, g0 + 2), v0);
    EXPECT_EQ(u32_at(b, v1 + 2), g0);
    EXPECT_EQ(u32_at(b, a0 + 2), v1);

    std::span<const uint8_t> s(b);
    EXPECT_EQ(le::get_u16(s, v0 + 6), 640);
    EXPECT_EQ(le::get_u16(s, v0 + 8), 480);
    EXPECT_EQ(b[v0 + 10], 0);
    EXPECT_EQ(u32_at(b, v0 + 14), 1000u);
    EXPECT_TRUE(std::equal(jpeg0.begin(), jpeg0.end(), b.begin() + v0 + 26));
    EXPECT_EQ(le::get_u16(s, v1 + 8), 240);
    EXPECT_EQ(b[v1 + 10], 1);

    EXPECT_EQ(b[g0], 0x00);
    EXPECT_EQ(le::get_i16(s, g0 + 6), -12);
    EXPECT_EQ(le::get_i16(s, g0 + 10), -1000);
    EXPECT_EQ(le::get_i16(s, g0 + 12), 255);
    // The writer stamped the caller's record with the time it wrote into the file.
    EXPECT_EQ(u32_at(b, g0 + 14), le::get_u32(gs, gsrec::TIME_SEC));
    EXPECT_NE(u32_at(b, g0 + 14), 0u);

    EXPECT_EQ(b[a0], 0x03);
    EXPECT_EQ(u32_at(b, a0 + 14), 8192u);
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), b.begin() + a0 + 18));

    EXPECT_EQ(u32_at(b, 8), 2u);  // both channels counted
    EXPECT_EQ(u32_at(b, 20), end.sec);
    EXPECT_EQ(u32_at(b, 24), end.usec);
    EXPECT_EQ(u32_at(b, 20), u32_at(b, a0 + 6));  // the last record's time
}

// On the crash-faithful card: the records are flushed before the header is completed, so that a
// power cut never leaves a closed file without its last records.
TEST_F(RecFileTest, CloseFlushesTheRecordsBeforeCompletingTheHeader) {
    stop_record();
    set_card(8ull << 30, 512);
    const uint32_t faithful = os::simcard::kFaithful;
    const int state = ::open((board.root() / "run/card").c_str(), O_WRONLY);
    ASSERT_EQ(::pwrite(state, &faithful, 4, os::simcard::kOffDurability), 4);
    ::close(state);
    start_record();
    auto jpeg = pattern(3000, 5);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 3000), 0);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 3000), 0);
    stop_record();
    const auto closed = file(g_currentRecIndex);
    ASSERT_GE(closed.size(), 12u);
    EXPECT_EQ(u32_at(closed, 8), 2u);

    struct stat st {};
    ASSERT_EQ(::stat(rec_path(g_currentRecIndex).c_str(), &st), 0);
    const auto journal = read_bytes(board.root() / "run/card.journal");
    size_t at = 0, flushed = 0, completed = 0, n = 0;
    while (const auto e = os::cardlog::decode(journal, at)) {
        ++n;
        if (e->ino != st.st_ino) continue;
        if (e->kind == os::cardlog::Kind::kFsync && flushed == 0) flushed = n;
        if (e->kind == os::cardlog::Kind::kWrite && e->offset == 8) completed = n;
    }
    ASSERT_GT(completed, 0u);
    EXPECT_GT(flushed, 0u);
    EXPECT_LT(flushed, completed);
}

TEST_F(RecFileTest, FileClosedBeforeItsFirstRecordHasNoHeader) {
    stop_record();
    EXPECT_EQ(std::filesystem::file_size(rec_path(0)), 0u);
}

TEST_F(RecFileTest, RefusesEmptyAndOversizedFrames) {
    auto big = pattern(102375, 0);
    EXPECT_EQ(write_videoframe(640, 480, 1, big.data(), 0), -1);
    EXPECT_EQ(write_videoframe(640, 480, 1, big.data(), 102375), -1);
    EXPECT_EQ(write_size, 0);
    EXPECT_EQ(write_videoframe(640, 480, 1, big.data(), 102374), 0);
    EXPECT_EQ(write_size, 84 + 102400);
}

// 84 + 204 records of 102400 bytes + one of 81836 is exactly 20971520 bytes: the file keeps it;
// the next record, of any size, changes files and becomes the first record of the new one.
TEST_F(RecFileTest, FileChangesOnlyAboveExactly20MiB) {
    auto jpeg = pattern(102374, 9);
    for (int i = 0; i < 204; ++i) ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 102374), 0);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 81810), 0);
    EXPECT_EQ(write_size, 20971520);
    EXPECT_EQ(g_currentRecIndex, 0);

    std::array<uint8_t, gsrec::SIZE> gs{};
    EXPECT_EQ(write_gsensorframe(gs.data()), 0);  // would pass 20 MiB: opens the next file
    EXPECT_EQ(g_currentRecIndex, 1);
    EXPECT_EQ(std::filesystem::file_size(rec_path(0)), 20971520u);
    auto first = file(0);
    EXPECT_EQ(u32_at(first, 8), 205u);
    auto second = file(1);
    ASSERT_EQ(second.size(), 84u + 22u);
    EXPECT_EQ(u32_at(second, 86), 0u);
    EXPECT_EQ(second[84], 0x00);

    // A frame that ends the file is the new file's first frame, stamped with the new file's
    // start.
    write_size = static_cast<int>(recfmt::MAX_FILE_SIZE) - 10;
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 5000), 0);
    EXPECT_EQ(g_currentRecIndex, 2);
    EXPECT_EQ(write_size, 84 + 26 + 5000);
    EXPECT_EQ(g_totalVFrame, 1);
    stop_record();
    auto third = file(2);
    EXPECT_EQ(u32_at(third, 8), 1u);                           // frame count
    EXPECT_EQ(u32_at(third, 12), u32_at(third, 102));  // start = the frame's time
    EXPECT_EQ(u32_at(third, 20), u32_at(third, 102));  // end = the same
}

// A record the card refuses is not left in the file, not counted, and runs the storage check.
TEST_F(RecFileTest, RefusedWriteLeavesNoRecordAndIsNotCounted) {
    auto jpeg = pattern(5000, 4);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 5000), 0);
    const RecTime end = g_endtime;
    set_card(8ull << 30, 512, os::simcard::CARD_FULL);
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 5000), -1);
    EXPECT_EQ(g_sdErrorCnt, 1);
    std::array<uint8_t, gpsrec::SIZE> gps{};
    le::put_u32(gps, gpsrec::RECV_SEC, end.sec + 1);
    EXPECT_EQ(write_gpsframe(gps.data()), -1);
    auto audio = pattern(8192, 1);
    EXPECT_EQ(write_audioframe(audio.data(), 8192), -1);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_NE(console.find("record 0x01 write error at 5110"), std::string::npos) << console;
    // A write refused whole added nothing: there is nothing to cut back.
    EXPECT_EQ(console.find("cannot cut back"), std::string::npos) << console;
    EXPECT_EQ(g_sdErrorCnt, 3);
    EXPECT_EQ(g_totalVFrame, 1);
    EXPECT_EQ(write_size, 84 + 5026);
    EXPECT_EQ(g_endtime.sec, end.sec);
    EXPECT_EQ(g_endtime.usec, end.usec);

    set_card_state(os::simcard::CARD_OK);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 5000), 0);
    EXPECT_EQ(g_sdErrorCnt, 0);
    stop_record();
    auto b = file();
    ASSERT_EQ(b.size(), 84u + 2 * 5026u);
    EXPECT_EQ(u32_at(b, 84 + 5026 + 2), 84u);  // the chain skips nothing
    EXPECT_EQ(u32_at(b, 8), 2u);
}

TEST_F(RecFileTest, FifthFailureInARowHalts) {
    auto jpeg = pattern(100, 4);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 100), 0);
    set_card(8ull << 30, 512, os::simcard::CARD_FULL);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 100), -1);
    EXPECT_EQ(HaltCode([&] { write_videoframe(640, 480, 1, jpeg.data(), 100); }), 255);
    EXPECT_EQ(rec_fd, -1);  // the halt closed the file
}

TEST_F(RecFileTest, MissingCardHaltsAtTheFirstFailure) {
    auto jpeg = pattern(100, 4);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 100), 0);
    std::filesystem::remove(board.card() / "Firmware_version.txt");
    set_card(8ull << 30, 512, os::simcard::CARD_REMOVED);
    EXPECT_THROW(write_videoframe(640, 480, 1, jpeg.data(), 100), HaltEntered);
}

// A write that stops part-way (here at the process's file size limit) is cut back off the file:
// inside the record's head, right after it, or inside the JPEG (head and JPEG go in one writev).
TEST_F(RecFileTest, PartialWriteIsCutBack) {
    auto jpeg = pattern(3000, 4);
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 3000), 0);
    const off_t good = write_size;
    for (off_t stop : {10, 26, 1000}) {
        auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit old {};
        ::getrlimit(RLIMIT_FSIZE, &old);
        struct rlimit limit = old;
        limit.rlim_cur = static_cast<rlim_t>(good + stop);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        const int result = write_videoframe(640, 480, 1, jpeg.data(), 3000);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        EXPECT_EQ(result, -1) << stop;
        EXPECT_EQ(std::filesystem::file_size(rec_path(0)), static_cast<uintmax_t>(good)) << stop;
        EXPECT_EQ(write_size, good);
        EXPECT_EQ(g_totalVFrame, 1);
    }
    ASSERT_EQ(write_videoframe(640, 480, 1, jpeg.data(), 3000), 0);
    auto b = file();
    EXPECT_EQ(b.size(), static_cast<size_t>(good) + 3026);
    EXPECT_EQ(b[good], 0x01);
    EXPECT_EQ(u32_at(b, good + 2), 84u);
}

}  // namespace
