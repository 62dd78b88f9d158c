// The writer's output against golden files (tests/golden): fixed records and events at fixed
// times must give the same recording file and the same recording index byte for byte on every
// target, the PC and the box's 32-bit processor alike. A layout that depends on the compiler, the
// word size or the byte order shows here as the first byte that differs.
//
// After a deliberate change of a format, DASHCAM_WRITE_GOLDEN=1 writes the files anew (the test
// is then skipped); review the difference before committing it.
#include <cstdlib>

#include "le.hpp"
#include "sim_clock.h"
#include "storage_fixture.hpp"

using namespace storagetest;

namespace {

const std::filesystem::path kGolden = GOLDEN_DIR;
constexpr int64_t kStart = 1339749000250000;  // 2012-06-15 08:30:00.25 UTC

// A small stand-in for a camera frame: start and end of image around a few bytes of `seed`.
std::vector<uint8_t> FakeJpeg(size_t body, uint8_t seed) {
    std::vector<uint8_t> j{0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x04};
    for (size_t i = 0; i < body; ++i) j.push_back(static_cast<uint8_t>(seed + 13 * i));
    j.insert(j.end(), {0xFF, 0xD9});
    return j;
}

std::array<uint8_t, gsrec::SIZE> Accel(int x, int y, int z, int knob) {
    std::array<uint8_t, gsrec::SIZE> r{};
    le::put_i16(r, gsrec::X, static_cast<int16_t>(x));
    le::put_i16(r, gsrec::Y, static_cast<int16_t>(y));
    le::put_i16(r, gsrec::Z, static_cast<int16_t>(z));
    le::put_i16(r, gsrec::W, static_cast<int16_t>(knob));
    return r;
}

// A GPS record as the dispatcher hands it to the writer, received at `usec`.
std::array<uint8_t, gpsrec::SIZE> Gps(char status, int key, int heading, int64_t usec) {
    std::array<uint8_t, gpsrec::SIZE> r{};
    r[gpsrec::STATUS] = static_cast<uint8_t>(status);
    r[gpsrec::LAT_HEMI] = 'N';
    r[gpsrec::LON_HEMI] = 'E';
    le::put_i32(r, gpsrec::FIELD8, 7);
    le::put_i32(r, gpsrec::HEADING_GATE, 1);
    le::put_i32(r, gpsrec::HEADING, heading);
    le::put_i32(r, gpsrec::KEY, key);
    le::put_i32(r, gpsrec::FIELD12, -1);
    if (status == 'A') {
        std::memcpy(&r[gpsrec::LAT_TEXT], "3733.1234", 9);
        std::memcpy(&r[gpsrec::LON_TEXT], "12658.5678", 10);
    }
    le::put_u32(r, gpsrec::RECV_SEC, static_cast<uint32_t>(usec / 1000000));
    le::put_u32(r, gpsrec::RECV_USEC, static_cast<uint32_t>(usec % 1000000));
    const int date[] = {12, 6, 15, 8, 30, static_cast<int>((usec - kStart) / 1000000)};
    const size_t at[] = {gpsrec::YEAR, gpsrec::MONTH,  gpsrec::DAY,
                         gpsrec::HOUR, gpsrec::MINUTE, gpsrec::SECOND};
    for (size_t i = 0; i < 6; ++i) le::put_i32(r, at[i], date[i]);
    return r;
}

std::string FirstDifference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
    const size_t n = std::min(got.size(), want.size());
    for (size_t i = 0; i < n; ++i) {
        if (got[i] != want[i]) {
            char text[96];
            std::snprintf(text, sizeof text, "first difference at byte %zu: 0x%02x, golden 0x%02x",
                          i, got[i], want[i]);
            return text;
        }
    }
    return "sizes differ: " + std::to_string(got.size()) + " bytes, golden " +
           std::to_string(want.size());
}

class GoldenTest : public StorageTest {
  protected:
    void SetUp() override {
        StorageTest::SetUp();
        g_qp = 4;
        g_exFileHeader.speedUnit = 1;
        g_exFileHeader.usePassword = 1;
        g_exFileHeader.tzIndex = 23;
        g_exFileHeader.useDST = 1;
        std::strcpy(g_exFileHeader.password, "0815");
        std::strcpy(g_exFileHeader.vehicleNumber, "GOLD 1234");
        g_maxFileCount = 23;
        g_maxLockCount = 3;
        g_preRecTime = 1;
        g_recHistoryDepth = 2;
        At(0);
    }
    void TearDown() override {
        os::simclock::release();
        StorageTest::TearDown();
    }

    // The board's clock at `ms` milliseconds after the start.
    void At(int64_t ms) {
        now = kStart + ms * 1000;
        os::simclock::hold(now);
    }

    // One round of records, as the capture paths write them, 25 ms apart from `ms` on.
    void Round(int64_t ms, uint8_t seed) {
        const auto front = FakeJpeg(20 + seed % 7, seed);
        const auto rear = FakeJpeg(12 + seed % 5, static_cast<uint8_t>(seed + 1));
        std::vector<uint8_t> audio(24 + seed % 9);
        for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(128 + i - seed);
        auto accel = Accel(12 - seed, -34 + seed, 1023 - 2 * seed, seed % 2 ? 20 : 255);

        At(ms);
        write_videoframe(640, 480, FRONT_CAMERA, front.data(), static_cast<int>(front.size()));
        At(ms + 25);
        write_gsensorframe(accel.data());
        At(ms + 50);
        write_gpsframe(Gps(seed > 1 ? 'A' : 'V', seed == 3 ? 4 : 255, 90 + seed, now).data());
        At(ms + 75);
        write_videoframe(640, 480, REAR_CAMERA, rear.data(), static_cast<int>(rear.size()));
        At(ms + 100);
        write_audioframe(audio.data(), static_cast<int>(audio.size()));
    }

    // A record after the post-recording time: the writer changes files and the record opens
    // the new one.
    void AfterThePostRecording(int64_t ms) {
        At(ms + (POST_RECORD_SECONDS + 1) * 1000);
        const auto frame = FakeJpeg(4, 0);
        const int length = static_cast<int>(frame.size());
        EXPECT_EQ(write_videoframe(640, 480, FRONT_CAMERA, frame.data(), length), 0);
    }

    // Compares `produced` with the golden file `name`, or writes it in DASHCAM_WRITE_GOLDEN mode.
    void Expect(const std::filesystem::path& produced, const char* name) {
        const auto bytes = read_bytes(produced);
        ASSERT_FALSE(bytes.empty()) << produced;
        if (writing) {
            std::ofstream(kGolden / name, std::ios::binary)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
            return;
        }
        const auto golden = read_bytes(kGolden / name);
        ASSERT_FALSE(golden.empty()) << "no golden file " << kGolden / name;
        EXPECT_TRUE(bytes == golden) << name << ": " << FirstDifference(bytes, golden);
    }

    int64_t now = kStart;
    const bool writing = std::getenv("DASHCAM_WRITE_GOLDEN") != nullptr;
};

// Four events over six files: an impact that locks its file and the next, an emergency button,
// an external alarm over two files, and an impact beyond the three kept events that rotates the
// oldest out of the index.
TEST_F(GoldenTest, TheWriterReproducesTheGoldenRecordingAndIndex) {
    start_record();  // file 0
    Round(0, 1);
    Round(200, 2);
    At(300);
    event_proc(LOCK_IMPACT);
    Round(400, 3);
    g_gpsActiveNextFile = 1;  // the clock was set: a new file at the next record
    At(600);
    write_gsensorframe(Accel(0, 0, 1024, 255).data());  // file 1 opens with this record
    Round(700, 4);
    AfterThePostRecording(700);  // ends the impact's post-recording: file 1 locked, file 2

    Round(62000, 5);
    At(62200);
    event_proc(LOCK_EMERGENCY);
    AfterThePostRecording(62200);  // file 3
    Round(124000, 6);
    At(124100);
    event_proc(LOCK_ALARM);
    g_gpsActiveNextFile = 1;
    Round(124200, 7);  // file 4: its first frame goes with the change
    g_gpsActiveNextFile = 1;
    Round(124400, 8);  // file 5: the alarm's post-recording ends with file 4 locked
    At(124600);
    event_proc(LOCK_IMPACT);  // the fourth event: the impact's generation leaves the index
    Round(124700, 9);
    stop_record();

    Expect(rec_path(0), "rec00000000.asd");
    Expect(board.host("/mnt/mmcblk0p1/data/recinfo"), "recinfo");
    if (writing) GTEST_SKIP() << "golden files written to " << kGolden;
}

}  // namespace
