// Opening and closing recording files, and the error halt's entry.
#include <future>
#include <thread>

#include "app_fixture.hpp"

using namespace storagetest;

namespace {

class StartRecordTest : public StorageTest {};

TEST_F(StartRecordTest, OpensTheNextFileAndAdvances) {
    g_maxFileCount = 10;
    g_recinfo[RECINFO_NEXT] = 9;
    lock_entry(0) = 0x10001;
    const std::string out = linktest::Console([] { EXPECT_EQ(start_record(), 0); });
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

// A next index that names a locked file (an index this recorder did not write) is passed over
// while a free file exists: a locked file is not overwritten.
TEST_F(StartRecordTest, ALockedNextFileGivesWayToTheNextFreeOne) {
    g_maxFileCount = 10;
    g_recinfo[RECINFO_NEXT] = 3;
    lock_entry(3) = 0x10001;
    lock_entry(4) = 0x10001;
    write_text(rec_path(3), "locked");
    const std::string out = linktest::Console([] { start_record(); });
    EXPECT_NE(out.find("next file 3 is locked\n"), std::string::npos) << out;
    EXPECT_EQ(g_currentRecIndex, 5);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 6u);
    EXPECT_EQ(std::filesystem::file_size(rec_path(3)), 6u);
}

// Every file locked: the oldest event rotates out (generation 1 released, the others one down)
// and its first file after the next index is recorded; the index saying so is on the card.
TEST_F(StartRecordTest, EveryFileLockedRotatesOutTheOldestEvent) {
    g_maxFileCount = 10;
    g_maxLockCount = 6;
    g_recinfo[RECINFO_LOCKCOUNT] = 2;
    g_recinfo[RECINFO_NEXT] = 4;
    for (int f = 0; f < 10; ++f) {
        lock_entry(f) = f == 2 || f == 3 ? 0x10001 : 0x20002;
        write_text(rec_path(f), "locked");
    }
    const std::string out = linktest::Console([] { start_record(); });
    EXPECT_NE(out.find("every file is locked: the oldest event rotates out\n"), std::string::npos)
        << out;
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 1u);
    EXPECT_EQ(g_currentRecIndex, 2);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 3u);
    EXPECT_EQ(lock_entry(3), 0u);
    for (const int f : {0, 1, 4, 5, 9}) {
        EXPECT_EQ(lock_entry(f), 0x20001u) << f;
        EXPECT_EQ(std::filesystem::file_size(rec_path(f)), 6u) << f;
    }
    // Locks of no generation only (an index made elsewhere): the rotation ends once the lock
    // count is spent, and the next index is recorded as it names.
    stop_record();
    g_recinfo[RECINFO_LOCKCOUNT] = 1;
    for (int f = 0; f < 10; ++f) lock_entry(f) = 0x20000;
    g_recinfo[RECINFO_NEXT] = 7;
    start_record();
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 0u);
    EXPECT_EQ(g_currentRecIndex, 7);
}

TEST_F(StartRecordTest, ExistingFileIsTruncated) {
    write_text(rec_path(0), std::string(5000, 'x'));
    start_record();
    EXPECT_EQ(std::filesystem::file_size(rec_path(0)), 0u);
}

TEST_F(StartRecordTest, FileThatCannotBeOpenedHalts) {
    std::filesystem::remove_all(board.card() / "data");
    EXPECT_EQ(HaltCode(start_record), 255);
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

// --- Capture paths and recording control -----------------------------------------------------

using namespace apptest;
using linktest::Console;

class Capture : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        Recording();
    }
    void PendGps() {
        g_gpsData[gpsrec::STATUS] = 'A';
        g_gpsRecv = 1;
    }
    void PendSample() {
        g_gsCapData[gsrec::X] = 7;
        g_gsCap = 1;
    }
    std::vector<FileRecord> Written() const { return FileRecords(g_currentRecIndex); }
};

TEST_F(Capture, FrameLengthsThatCount) {
    EXPECT_FALSE(is_frame_length(-1));
    EXPECT_FALSE(is_frame_length(0));
    EXPECT_TRUE(is_frame_length(1));
    EXPECT_TRUE(is_frame_length(98303));
    EXPECT_FALSE(is_frame_length(98304));
}

TEST_F(Capture, PendingRecordsGpsFirstOnceEachAndNothingWhenParking) {
    PendSample();
    PendGps();
    {
        RecLock hold;
        std::vector<uint8_t> jpeg(10, 1);
        write_videoframe(640, 480, 1, jpeg.data(), 10);
        WritePeri();
        WritePeri();
    }
    EXPECT_EQ(Kinds(Written()),
              (std::vector<uint8_t>{recfmt::KIND_VIDEO, recfmt::KIND_GPS, recfmt::KIND_GSENSOR}));
    EXPECT_EQ(g_gpsRecv, 0);
    EXPECT_EQ(g_gsCap, 0);

    g_drMode = 1;
    PendGps();
    {
        RecLock hold;
        WritePeri();
    }
    EXPECT_EQ(Written().size(), 3u);
    EXPECT_EQ(g_gpsRecv, 1);  // left for driving mode
}

TEST_F(Capture, TwoCameraModelWritesPendingRecordsAfterTheRearFrame) {
    PendGps();
    PendSample();
    Frames::queue[FRONT_CAMERA] = {100};
    Frames::queue[REAR_CAMERA] = {300};
    EXPECT_TRUE(FrontCaptureTurn());
    RearCaptureTurn();
    const auto records = Written();
    EXPECT_EQ(Kinds(records), (std::vector<uint8_t>{recfmt::KIND_VIDEO, recfmt::KIND_VIDEO,
                                                    recfmt::KIND_GPS, recfmt::KIND_GSENSOR}));
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[1].channel, 0);
    const auto file = read_bytes(rec_path(g_currentRecIndex));
    EXPECT_EQ(file[records[1].offset + recfmt::VIDEO_HEAD_SIZE], 0xA0);  // the rear area
    EXPECT_EQ(g_front_fcount, 1);
}

TEST_F(Capture, HalfVGAFramesCarryTheirSize) {
    g_res = 0x40;
    linktest::Console([] {
        record_control(2);
        record_control(1);
    });
    Frames::queue[FRONT_CAMERA] = {10};
    EXPECT_TRUE(FrontCaptureTurn());
    const auto file = read_bytes(rec_path(g_currentRecIndex));
    const auto records = Records(file);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(file[records[0].offset + 6] | (file[records[0].offset + 7] << 8), 640);
    EXPECT_EQ(file[records[0].offset + 8] | (file[records[0].offset + 9] << 8), 240);
}

TEST_F(Capture, AFrameFetchedWhileRecordingStoppedIsDropped) {
    Frames::queue[FRONT_CAMERA] = {100};
    Frames::queue[REAR_CAMERA] = {100};
    Frames::duringFetch = [] { g_bRec = 0; };
    EXPECT_TRUE(FrontCaptureTurn());
    RearCaptureTurn();
    Frames::duringFetch = [] { g_drEv = 0; };
    g_bRec = 1;
    Frames::queue[FRONT_CAMERA] = {100};
    EXPECT_TRUE(FrontCaptureTurn());
    EXPECT_TRUE(Written().empty());
}

// The other camera's thread changes files while this one fetches: recording is off only under
// rec_mutex, so the frame waits for the lock and goes into the new file.
TEST_F(Capture, AFrameFetchedDuringAFileChangeGoesIntoTheNewFile) {
    static std::thread changer;
    static std::promise<void> holding;
    for (int device : {REAR_CAMERA, FRONT_CAMERA}) {
        holding = {};
        Frames::queue[device] = {100};
        Frames::duringFetch = [] {
            changer = std::thread([] {
                RecLock hold;
                g_bRec = 0;  // what a file change does between closing and opening
                holding.set_value();
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                g_bRec = 1;
            });
            holding.get_future().wait();
        };
        if (device == REAR_CAMERA) {
            RearCaptureTurn();
        } else {
            EXPECT_TRUE(FrontCaptureTurn());
        }
        changer.join();
    }
    const auto records = Written();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].kind, recfmt::KIND_VIDEO);
    EXPECT_EQ(records[0].channel, REAR_CAMERA);
    EXPECT_EQ(records[1].kind, recfmt::KIND_VIDEO);
    EXPECT_EQ(records[1].channel, FRONT_CAMERA);
}

TEST_F(Capture, RearCaptureErrorLeavesItsMarkerAndStillWritesPendingRecords) {
    PendGps();
    Frames::queue[REAR_CAMERA] = {98304};
    const std::string console = Console(RearCaptureTurn);
    EXPECT_EQ(console, "Rear Video Capture Error\n");
    EXPECT_TRUE(std::filesystem::exists(board.host("/mnt/mmcblk0p1/data/Rear_sensorError")));
    EXPECT_EQ(Kinds(Written()), (std::vector<uint8_t>{recfmt::KIND_GPS}));
}

TEST_F(Capture, FrontCaptureErrorHaltsWithCode1AndKeepsASmallFileForNextTime) {
    g_recinfo[RECINFO_NEXT] = 5;  // as start_record left it, say
    Frames::queue[FRONT_CAMERA] = {0};
    EXPECT_FALSE(FrontCaptureTurn());
    std::string console;
    EXPECT_EQ(HaltCode(FrontCaptureError, &console), HALT_FRONT_CAMERA);
    EXPECT_EQ(console.rfind("Capture error.. 0\n", 0), 0u);
    EXPECT_EQ(rec_fd, -1);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 0u);
    const auto saved = read_bytes(board.host("/mnt/mmcblk0p1/data/recinfo"));
    EXPECT_EQ(storagetest::u32_at(saved, 0), 0u);
    EXPECT_TRUE(std::filesystem::exists(board.host("/mnt/mmcblk0p1/data/sensorError")));
    // The lock is free again for the next test.
    EXPECT_EQ(pthread_mutex_trylock(&rec_mutex), 0);
    pthread_mutex_unlock(&rec_mutex);
}

TEST_F(Capture, FrontCaptureErrorDoesNotReuseALockedFile) {
    g_recinfo[RECINFO_NEXT] = 5;
    lock_entry(g_currentRecIndex) = 0x10001;
    EXPECT_EQ(HaltCode(FrontCaptureError), HALT_FRONT_CAMERA);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 5u);
}

TEST_F(Capture, FrontCaptureErrorOfALargeFileMovesOn) {
    g_recinfo[RECINFO_NEXT] = 5;
    write_size = 512000;
    EXPECT_EQ(HaltCode(FrontCaptureError), HALT_FRONT_CAMERA);
    EXPECT_EQ(g_recinfo[RECINFO_NEXT], 5u);
}

TEST_F(Capture, AudioBlocksWholeOnlyAndOnlyWhenDriving) {
    linktest::UnserveDevices(board, {"/dev/dsp"});
    std::string samples(8192 + 8192 + 100, '\x80');
    samples[0] = 1;
    write_text(board.host("/dev/dsp"), samples);
    audio_fd = os::open("/dev/dsp", O_RDONLY);
    ASSERT_GE(audio_fd, 0);

    PeriCaptureTurn();
    g_drMode = 1;
    PeriCaptureTurn();  // read, but not written while parking
    g_drMode = 2;
    PeriCaptureTurn();  // 100 bytes: dropped
    const auto records = Written();
    ASSERT_EQ(Kinds(records), (std::vector<uint8_t>{recfmt::KIND_AUDIO}));
    EXPECT_EQ(records[0].length, 8192u);
    const auto file = read_bytes(rec_path(g_currentRecIndex));
    EXPECT_EQ(file[records[0].offset + recfmt::AUDIO_HEAD_SIZE], 1);
    os::close(audio_fd);
    audio_fd = -1;
}

// sync_thread sleeps until the third rear frame since the last flush wakes it, not on a period.
TEST_F(Capture, TheThirdRearFrameWakesTheFlush) {
    using Clock = std::chrono::steady_clock;
    WaitForSyncWork(Clock::now());  // nothing left over from earlier tests
    Frames::queue[REAR_CAMERA] = {100, 100, 100, 100};
    RearCaptureTurn();
    RearCaptureTurn();
    EXPECT_FALSE(WaitForSyncWork(Clock::now() + std::chrono::milliseconds(20)));
    RearCaptureTurn();
    EXPECT_TRUE(WaitForSyncWork(Clock::now() + std::chrono::seconds(60)));
    SyncTurn();
    EXPECT_EQ(g_front_fcount, 0);
    RearCaptureTurn();
    EXPECT_FALSE(WaitForSyncWork(Clock::now())) << "a flush is due again after three more";
    EXPECT_EQ(g_front_fcount, 1);
}

TEST_F(Capture, SyncFlushesAfterThreeRearFramesOnTheTwoCameraModel) {
    g_front_fcount = 2;
    SyncTurn();
    EXPECT_EQ(g_front_fcount, 2);
    g_front_fcount = 3;
    SyncTurn();
    EXPECT_EQ(g_front_fcount, 0);
    g_bTK700 = 0;
    g_front_fcount = 5;
    SyncTurn();
    EXPECT_EQ(g_front_fcount, 5);
}

// --- Recording control and the cameras' settings -----------------------------------------------

class RecordControl : public AppTest {};

TEST_F(RecordControl, StartsOnceAndStops) {
    std::string console = Console([] { record_control(1); });
    EXPECT_EQ(console.rfind("Record control command...\nstart record\n", 0), 0u);
    EXPECT_NE(console.find("VGA Setting\nQP 4\n"), std::string::npos);
    EXPECT_NE(console.find("rec file /mnt/mmcblk0p1/data/rec00000000.asd\n"), std::string::npos);
    EXPECT_EQ(g_bRec, 1);
    EXPECT_GE(rec_fd, 0);

    EXPECT_EQ(Console([] { record_control(1); }), "Record control command...\n");
    EXPECT_EQ(g_currentRecIndex, 0);

    EXPECT_EQ(Console([] { record_control(2); }), "Record control command...\nstop record\n");
    EXPECT_EQ(g_bRec, 0);
    EXPECT_EQ(rec_fd, -1);
    EXPECT_EQ(Console([] { record_control(2); }), "Record control command...\n");
    EXPECT_EQ(Console([] { record_control(3); }), "Record control command...\n");
}

TEST_F(RecordControl, ResolutionIsTakenFromTheByteTheDriverLeaves) {
    // Without camera devices the requests fail and leave the byte, as the driver does.
    EXPECT_EQ(Console([] { encoding_resolution(0x40); }), "Half VGA Setting\n");
    EXPECT_EQ(__v, 640);
    EXPECT_EQ(__h, 240);
    EXPECT_EQ(Console([] { encoding_resolution(0x33); }), "");
    EXPECT_EQ(__h, 240);
    EXPECT_EQ(Console([] { encoding_resolution(0x20); }), "VGA Setting\n");
    EXPECT_EQ(__h, 480);
    EXPECT_EQ(Console([] { encoding_qp(300); }), "QP 44\n");  // one byte
}

TEST_F(RecordControl, ModeChangeAppliesOnlyAPendingRequest) {
    EXPECT_EQ(Console(ChangeDRMode), "ChangeDRMode\n");
    EXPECT_EQ(g_drMode, 2);
    EXPECT_EQ(g_drEv, 1);

    g_modeChange = 1;
    Console(ChangeDRMode);
    EXPECT_EQ(g_drMode, 1);
    EXPECT_EQ(g_drEv, 0);
    EXPECT_EQ(g_modeChange, 0);
    setgpsMode(1);
}

}  // namespace
