// The event dispatcher's decisions: impacts and markers, keys and GPS records, voice prompt ends,
// and the IBC commands with their mode changes and timed periods. What the whole board shows of
// the same (locks of each event, parking, the timed periods) is tested end to end.
#include <gtest/gtest.h>

#include <filesystem>

#include "RTCnVolume.h"
#include "app_fixture.hpp"

using namespace apptest;
using namespace storagetest;
using linktest::Console;
using linktest::PauseLog;

namespace {

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

bool Contains(const std::string& console, const std::string& text) {
    return console.find(text) != std::string::npos;
}

// --- Accelerometer samples and markers -------------------------------------------------------

class Impact : public AppTest {
  protected:
    void SetUp() override {
        AppTest::SetUp();
        Recording();
    }

    void Send(std::array<uint8_t, gsrec::SIZE> record) { Dispatch(EVENT_GSENSOR, record); }

    // Whether the second sample after a fresh reference starts an event.
    bool ImpactBetween(std::array<int, 3> first, std::array<int, 3> second) {
        g_GSFirst = 0;
        g_lock_status = 0;
        Console([&] {
            Send(Sample(first[0], first[1], first[2]));
            Send(Sample(second[0], second[1], second[2]));
        });
        return g_lock_status != 0;
    }
};

TEST_F(Impact, ThresholdsPerAxisWithYAgainstTheThirdAndZAgainstTheSecond) {
    g_gsCSValueX = 100;
    g_gsCSValueY = 200;
    g_gsCSValueZ = 300;
    struct Case {
        int axis;
        int threshold;
    } cases[] = {{0, 100}, {1, 300}, {2, 200}};
    for (const Case& c : cases) {
        for (int sign : {1, -1}) {
            SCOPED_TRACE("axis " + std::to_string(c.axis) + " sign " + std::to_string(sign));
            std::array<int, 3> base{1000, 1000, 1000};
            std::array<int, 3> atEdge = base;
            atEdge[c.axis] += sign * c.threshold;
            std::array<int, 3> beyond = base;
            beyond[c.axis] += sign * (c.threshold + 1);
            EXPECT_FALSE(ImpactBetween(base, atEdge));
            EXPECT_TRUE(ImpactBetween(base, beyond));
        }
    }
}

TEST_F(Impact, EachSampleIsComparedWithThePreviousOne) {
    g_gsCSValueX = 100;
    EXPECT_FALSE(ImpactBetween({0, 0, 0}, {90, 0, 0}));
    // 180 from the first sample, 90 from the previous one.
    Console([&] { Send(Sample(180, 0, 0)); });
    EXPECT_EQ(g_lock_status, 0);
    EXPECT_EQ(g_preX, 180);
}

TEST_F(Impact, TheFirstSampleOnlyBecomesTheReference) {
    Console([&] { Send(Sample(-20000, 20000, 9999)); });
    EXPECT_EQ(g_lock_status, 0);
    EXPECT_EQ(g_GSFirst, 1);
    EXPECT_EQ(g_preX, -20000);
    EXPECT_EQ(g_preY, 20000);
    EXPECT_EQ(g_preZ, 9999);
    // The sample waits for the file all the same.
    EXPECT_EQ(g_gsCap, 1);
    EXPECT_EQ(le::get_i16(std::span<const uint8_t>(g_gsCapData), gsrec::X), -20000);
}

TEST_F(Impact, SamplesWithoutARecordingAreNotTestedNorKept) {
    Console([] {
        RecLock hold;
        stop_record();
    });
    Console([&] { Send(Sample(1, 2, 3)); });
    EXPECT_EQ(g_GSFirst, 0);
    EXPECT_EQ(g_gsCap, 0);
}

TEST_F(Impact, NothingBeforeStartUpIsComplete) {
    g_eventEnable = 0;
    const std::string console = Console([&] {
        Send(Sample(1, 2, 3));
        Send(Marker(254));
    });
    EXPECT_EQ(console, "");
    EXPECT_EQ(g_GSFirst, 0);
    EXPECT_EQ(g_lock_status, 0);
}

// The knob's level goes to the codec, 255 means no change; while parking (or on the way there,
// when the clocks may already be slow) the knob is not read, but a timed period at full rate is.
TEST_F(Impact, KnobLevelSetsTheVolumeAnd255LeavesIt) {
    const auto bus = linktest::PlainI2C(board);
    Console([&] { Send(Sample(0, 0, 0, 255)); });
    EXPECT_EQ(linktest::ReadFile(bus), "");
    Console([&] { Send(Sample(0, 0, 0, 30)); });
    EXPECT_EQ(linktest::ReadFile(bus), std::string("\x6D\x1E", 2));

    g_modeChange = 1;
    Console([&] { Send(Sample(0, 0, 0, 0)); });
    g_modeChange = 0;
    g_drMode = 1;
    Console([&] { Send(Sample(0, 0, 0, 0)); });
    EXPECT_EQ(linktest::ReadFile(bus), std::string("\x6D\x1E", 2));
    g_modeChange = 2;
    g_drMode = 2;
    Console([&] { Send(Sample(0, 0, 0, 12)); });
    EXPECT_EQ(linktest::ReadFile(bus), std::string("\x6D\x1E\x6D\x0C", 4));
    CloseIICDevice();
}

// Without the sub-board's support the power-off marker (255) does nothing, as other markers do.
TEST_F(Impact, PowerOffMarkerIgnoredWithoutTheSubBoardSupport) {
    g_subVer_flag = 0;
    for (int z : {255, 200}) EXPECT_EQ(Console([&] { Send(Marker(z)); }), "") << z;
    EXPECT_EQ(g_bRec, 1);
    EXPECT_GE(rec_fd, 0);
    EXPECT_EQ(g_lock_status, 0);
    EXPECT_EQ(g_GSFirst, 0);
}

// --- GPS records and keys --------------------------------------------------------------------

class Keys : public AppTestWithSubBoard {
  protected:
    std::string Key(int code) {
        auto r = Gps('V', code);
        return Console([&] { Dispatch(EVENT_GPS, r); });
    }
};

TEST_F(Keys, EraseKeyDisabledOrTooEarlyDoesNothing) {
    lock_entry(5) = 0x10003;
    g_recinfo[RECINFO_LOCKCOUNT] = 3;
    g_disableEraseButton = 1;
    EXPECT_EQ(Key(254), "");
    g_disableEraseButton = 0;
    g_eventEnable = 0;
    EXPECT_EQ(Key(254), "");
    EXPECT_EQ(lock_entry(5), 0x10003u);
    EXPECT_EQ(g_recinfo[RECINFO_LOCKCOUNT], 3u);
}

TEST_F(Keys, OtherKeysAreAcknowledgedOnTheConsole) {
    EXPECT_EQ(Key(255), "");
    EXPECT_EQ(Key(0), "__callback function Ack Message\n");
    EXPECT_EQ(Key(3), "__callback function Ack Message\n");
}

TEST_F(Keys, ValidFixWhileRecordingWaitsForTheFileWithItsReceptionTime) {
    Recording();
    auto r = Gps('A');
    const RecTime before = current_rectime();
    Dispatch(EVENT_GPS, r);
    EXPECT_EQ(g_gpsRecv, 1);
    std::span<const uint8_t> pending(g_gpsData);
    EXPECT_EQ(le::get_i32(pending, gpsrec::FIELD8), 7);
    const uint32_t sec = le::get_u32(pending, gpsrec::RECV_SEC);
    EXPECT_GE(sec, before.sec);
    EXPECT_LE(sec, before.sec + 5);
    // The source's record is not written to.
    EXPECT_EQ(le::get_u32(r, gpsrec::RECV_SEC), 0u);
}

TEST_F(Keys, NoFixOrNoRecordingLeavesNothingPending) {
    auto noFix = Gps('V');
    Dispatch(EVENT_GPS, noFix);
    auto fix = Gps('A');
    Dispatch(EVENT_GPS, fix);  // no file open
    EXPECT_EQ(g_gpsRecv, 0);
}

TEST_F(Keys, EveryValidFixIsOfferedToTheClockRule) {
    auto fix = Gps('A');
    auto noFix = Gps('V');
    for (int i = 0; i < 3; ++i) Dispatch(EVENT_GPS, fix);
    Dispatch(EVENT_GPS, noFix);
    EXPECT_EQ(g_gps_init, 3);
}

TEST_F(Keys, PromptEndsAreReportedToTheSubBoard) {
    EXPECT_EQ(Console([] { __callback_proc(EVENT_SND_DONE, nullptr); }),
              "snd out done\nAck message Send...\n");
    Console([] { __callback_proc(EVENT_SND078_DONE, nullptr); });
    __callback_proc(99, nullptr);  // unknown types are ignored
    EXPECT_EQ(SubBoardLines(),
              (std::vector<std::string>{"$PZVK,#VOK,00*cc\r\n", "$PZVK,#REC1,00*cc\r\n"}));
}

// --- IBC commands ----------------------------------------------------------------------------

class IbcCommands : public AppTestWithSubBoard {
  protected:
    void SetUp() override {
        AppTestWithSubBoard::SetUp();
        Recording();
    }
    std::string Command(std::array<uint8_t, ibcrec::SIZE> record) {
        return Console([&] { Dispatch(EVENT_IBC, record); });
    }
    // Sends timed-period commands until the count reaches `upTo`.
    std::string TimedUpTo(int upTo, char kind, Clock from, Clock to) {
        std::string console;
        while (tCnt < upTo) console += Command(Ibc(kind, 'F', from, to));
        return console;
    }
};

TEST_F(IbcCommands, ToParkingOnlyFromDrivingWithNoChangePending) {
    g_modeChange = 2;
    EXPECT_EQ(Command(Ibc('B')), "");
    EXPECT_EQ(g_drMode, 2);
    g_modeChange = 0;

    const std::string console = Command(Ibc('B'));
    EXPECT_TRUE(Contains(console, "ChangeDRMode\n"));
    EXPECT_TRUE(Contains(console, "rec file /mnt/mmcblk0p1/data/rec00000001.asd\n"));
    EXPECT_EQ(g_drMode, 1);
    EXPECT_EQ(g_drEv, 0);
    EXPECT_EQ(g_modeChange, 0);
    EXPECT_EQ(g_bRec, 1);  // the parking recording goes on in a new file
    EXPECT_EQ(g_currentRecIndex, 1);
    EXPECT_EQ(PauseLog::Take(), std::vector<unsigned long>(9, 1000000));  // display off
    EXPECT_EQ(SubBoardLines(), std::vector<std::string>(9, "$PZVK,#FND0,00*cc\r\n"));

    EXPECT_EQ(Command(Ibc('B')), "");  // already parking
    EXPECT_EQ(g_currentRecIndex, 1);
}

TEST_F(IbcCommands, ToDrivingOnlyFromParkingWithNoChangePending) {
    EXPECT_EQ(Command(Ibc('C')), "");
    EXPECT_EQ(g_bRec, 1);

    g_drMode = 1;
    g_drEv = 0;
    g_modeChange = 1;
    EXPECT_EQ(Command(Ibc('C')), "");
    g_modeChange = 0;

    const std::string console = Command(Ibc('C'));
    EXPECT_TRUE(Contains(console, "System rebooting..\n"));
    EXPECT_EQ(g_drMode, 2);
    EXPECT_EQ(g_modeChange, 0);
    EXPECT_EQ(g_bRec, 0);
    EXPECT_EQ(rec_fd, -1);
    const auto lines = SubBoardLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "$PZVK,#REBOOT,00*cc\r\n");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "$PZVK,#FND7,00*cc\r\n"), 4);
}

TEST_F(IbcCommands, TimedPeriodOverMidnightEndsOnTheNextDay) {
    TimedUpTo(1, 'T', {23, 59, 0}, {0, 0, 40});
    EXPECT_EQ(tCnt_stop, 100);
}

TEST_F(IbcCommands, ThePeriodLengthComesFromTheFirstCommand) {
    TimedUpTo(1, 'F', {10, 0, 0}, {10, 1, 40});
    TimedUpTo(2, 'F', {10, 0, 0}, {10, 0, 20});
    EXPECT_EQ(tCnt_stop, 100);
}

TEST_F(IbcCommands, AfterMoreThanFiveTimedCommandsStateAReboots) {
    TimedUpTo(5, 'T', {10, 0, 0}, {10, 10, 0});
    EXPECT_EQ(Command(Ibc('A', 'F')), "");
    EXPECT_EQ(tCnt, 0);
    EXPECT_EQ(g_bRec, 1);

    TimedUpTo(6, 'T', {10, 0, 0}, {10, 10, 0});
    const std::string console = Command(Ibc('A', 'F'));
    EXPECT_TRUE(Contains(console, "System rebooting..\n"));
    EXPECT_EQ(tCnt, 0);
    EXPECT_EQ(g_bRec, 0);
    EXPECT_EQ(rec_fd, -1);
    EXPECT_EQ(g_modeChange, 2);
    EXPECT_TRUE(Contains(SubBoardLines(), "$PZVK,#REBOOT,00*cc\r\n"));
}

TEST_F(IbcCommands, SnapshotRequestsAndSetEnds) {
    std::filesystem::remove_all(board.host("/mnt/mmcblk0p1/snapshot"));
    Command(Ibc('A', 'O'));
    EXPECT_TRUE(std::filesystem::is_directory(board.host("/mnt/mmcblk0p1/snapshot")));
    EXPECT_EQ(ss_flag, 1);
    EXPECT_EQ(g_meterEvent, 1);

    // A picture taken, then the set ends: the next pictures go to the next set.
    {
        RecLock hold;
        std::vector<uint8_t> jpeg(10, 0xD8);
        MakeSnapShot(jpeg.data(), 10);
    }
    EXPECT_TRUE(std::filesystem::exists(board.host("/mnt/mmcblk0p1/snapshot/001-1.jpg")));
    Command(Ibc('A', 'F'));
    EXPECT_EQ(g_snapIndex, 1);
    EXPECT_EQ(g_snapCnt, 0);
    EXPECT_EQ(g_meterEvent, 0);

    // A full set refuses further requests until it ends.
    g_snapCnt = 4;
    Command(Ibc('A', 'O'));
    EXPECT_EQ(g_meterEvent, 0);
}

TEST_F(IbcCommands, OtherCommandsAreIgnored) {
    EXPECT_EQ(Command(Ibc('X')), "");
    EXPECT_EQ(Command(Ibc('\0')), "");
    EXPECT_EQ(g_bRec, 1);
    EXPECT_EQ(tCnt, 0);
}

}  // namespace
