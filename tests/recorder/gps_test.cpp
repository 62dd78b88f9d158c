// Front sub-board link: "$GPSTX" parsing, the reader with its silence supervision, the start-up
// configuration, the version query and the commands, against a PTY playing the sub-board.
#include "gps.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "le.hpp"
#include "link_test_support.hpp"
#include "sentence.h"

namespace {

using linktest::EventLog;
using linktest::PauseLog;

constexpr const char* kFix = "$GPSTX,230394,123519,A,4807.038,N,01131.000,E,22,9,270,3,7*6A\r\n";

using Record = std::array<uint8_t, gpsrec::SIZE>;

int32_t I32(std::span<const uint8_t> r, size_t off) {
    return le::get_i32(r, off);
}
std::string Text(std::span<const uint8_t> r, size_t off) {
    return std::string(reinterpret_cast<const char*>(r.data() + off));
}

// Parses one line with a fresh remembered heading unless one is given.
struct Parsed {
    bool ok;
    Record record;
    int heading;
};
Parsed Parse(std::string_view line, int heading = 0) {
    Parsed p{false, {}, heading};
    p.record.fill(0xEE);
    p.ok = ParseGPSTX(line, p.record, p.heading);
    return p;
}

TEST(ParseGPSTX, FillsEveryFieldOfTheRecord) {
    const Parsed p = Parse(kFix);
    ASSERT_TRUE(p.ok);
    const auto& r = p.record;
    EXPECT_EQ(I32(r, 0), 0);
    EXPECT_EQ(r[gpsrec::STATUS], 'A');
    EXPECT_EQ(r[gpsrec::LAT_HEMI], 'N');
    EXPECT_EQ(r[gpsrec::LON_HEMI], 'E');
    EXPECT_EQ(r[7], 0);
    EXPECT_EQ(I32(r, gpsrec::FIELD8), 22);
    EXPECT_EQ(I32(r, gpsrec::HEADING_GATE), 9);
    EXPECT_EQ(I32(r, gpsrec::HEADING), 270);
    EXPECT_EQ(I32(r, gpsrec::KEY), 3);
    EXPECT_EQ(I32(r, gpsrec::FIELD12), 7);
    EXPECT_EQ(Text(r, gpsrec::LAT_TEXT), "4807.038000");
    EXPECT_EQ(Text(r, gpsrec::LON_TEXT), "1131.000000");
    EXPECT_EQ(I32(r, gpsrec::RECV_SEC), 0);
    EXPECT_EQ(I32(r, gpsrec::RECV_USEC), 0);
    EXPECT_EQ(I32(r, gpsrec::YEAR), 94);
    EXPECT_EQ(I32(r, gpsrec::MONTH), 3);
    EXPECT_EQ(I32(r, gpsrec::DAY), 23);
    EXPECT_EQ(I32(r, gpsrec::HOUR), 12);
    EXPECT_EQ(I32(r, gpsrec::MINUTE), 35);
    EXPECT_EQ(I32(r, gpsrec::SECOND), 19);
    EXPECT_EQ(p.heading, 270);
}

TEST(ParseGPSTX, EmptyFieldsTakeTheirDefaults) {
    const Parsed p = Parse("$GPSTX,,,,,,,,,,,,\r\n", 42);
    ASSERT_TRUE(p.ok);
    const auto& r = p.record;
    EXPECT_EQ(r[gpsrec::STATUS], 'V');
    EXPECT_EQ(r[gpsrec::LAT_HEMI], 'N');
    EXPECT_EQ(r[gpsrec::LON_HEMI], 'E');
    EXPECT_EQ(Text(r, gpsrec::LAT_TEXT), "0.000000");
    EXPECT_EQ(Text(r, gpsrec::LON_TEXT), "0.000000");
    EXPECT_EQ(I32(r, gpsrec::KEY), 255);
    EXPECT_EQ(I32(r, gpsrec::HEADING), 42);  // the remembered heading
    for (size_t off : {gpsrec::FIELD8, gpsrec::HEADING_GATE, gpsrec::FIELD12, gpsrec::YEAR,
                       gpsrec::MONTH, gpsrec::DAY, gpsrec::HOUR, gpsrec::MINUTE, gpsrec::SECOND}) {
        EXPECT_EQ(I32(r, off), 0) << off;
    }
}

TEST(ParseGPSTX, HeadingCountsOnlyAboveGateSeven) {
    int heading = 0;
    Record r{};
    ASSERT_TRUE(ParseGPSTX("$GPSTX,,,A,,,,,0,5,270,,\r\n", r, heading));
    EXPECT_EQ(I32(r, gpsrec::HEADING), 0);
    ASSERT_TRUE(ParseGPSTX("$GPSTX,,,A,,,,,0,8,270,,\r\n", r, heading));
    EXPECT_EQ(I32(r, gpsrec::HEADING), 270);
    ASSERT_TRUE(ParseGPSTX("$GPSTX,,,A,,,,,0,8,,,\r\n", r, heading));
    EXPECT_EQ(I32(r, gpsrec::HEADING), 270);
    ASSERT_TRUE(ParseGPSTX("$GPSTX,,,A,,,,,0,3,90,,\r\n", r, heading));
    EXPECT_EQ(I32(r, gpsrec::HEADING), 270);
    // A heading field that holds no number keeps the remembered heading too.
    ASSERT_TRUE(ParseGPSTX("$GPSTX,,,A,,,,,0,9,xx,,\r\n", r, heading));
    EXPECT_EQ(I32(r, gpsrec::HEADING), 270);
    EXPECT_EQ(heading, 270);
}

TEST(ParseGPSTX, DateOrTimeWithTooFewDigitsIsAllZero) {
    const Parsed p = Parse("$GPSTX,2303,1235,A,,,,,,,,,\r\n");
    ASSERT_TRUE(p.ok);
    for (size_t off :
         {gpsrec::YEAR, gpsrec::MONTH, gpsrec::DAY, gpsrec::HOUR, gpsrec::MINUTE, gpsrec::SECOND}) {
        EXPECT_EQ(I32(p.record, off), 0) << off;
    }
}

TEST(ParseGPSTX, KeyFieldThatIsNoNumberGivesZero) {
    const Parsed p = Parse("$GPSTX,,,A,,,,,,,,x,\r\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(I32(p.record, gpsrec::KEY), 0);
}

TEST(ParseGPSTX, ElevenFieldsAreRefusedAndChangeNothing) {
    const Parsed p = Parse("$GPSTX,230394,123519,A,4807.038,N,01131.000,E,22,9,270,3\r\n", 11);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.heading, 11);
    for (uint8_t b : p.record) EXPECT_EQ(b, 0xEE);
}

TEST(ParseGPSTX, CoordinatesNeverSpillIntoTheNextField) {
    // 14 characters of latitude text and 16 of longitude text still fit.
    Parsed p = Parse("$GPSTX,,,A,-999999.999999,S,-99999999.999999,W,,,,,\r\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Text(p.record, gpsrec::LAT_TEXT), "-999999.999999");
    EXPECT_EQ(Text(p.record, gpsrec::LON_TEXT), "-99999999.999999");
    EXPECT_EQ(p.record[gpsrec::LAT_HEMI], 'S');
    EXPECT_EQ(p.record[gpsrec::LON_HEMI], 'W');

    // Longer texts are stored as 0; the fields behind them stay intact.
    p = Parse("$GPSTX,010203,040506,A,12345678.5,S,1e300,W,,,,,\r\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Text(p.record, gpsrec::LAT_TEXT), "0.000000");
    EXPECT_EQ(Text(p.record, gpsrec::LON_TEXT), "0.000000");
    EXPECT_EQ(p.record[gpsrec::LAT_TEXT + gpsrec::LAT_TEXT_SIZE - 1], 0);
    EXPECT_EQ(p.record[gpsrec::LON_TEXT + gpsrec::LON_TEXT_SIZE - 1], 0);
    EXPECT_EQ(I32(p.record, gpsrec::RECV_SEC), 0);
    EXPECT_EQ(I32(p.record, gpsrec::YEAR), 3);
    EXPECT_EQ(I32(p.record, gpsrec::DAY), 1);

    // Text that is not a finite number is 0 as well.
    p = Parse("$GPSTX,,,A,nan,N,inf,E,,,,,\r\n");
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(Text(p.record, gpsrec::LAT_TEXT), "0.000000");
    EXPECT_EQ(Text(p.record, gpsrec::LON_TEXT), "0.000000");
}

TEST(ParseGPSTX, ChecksumOrItsAbsenceMakesNoDifference) {
    const Parsed with = Parse("$GPSTX,230394,123519,A,1.0,N,2.0,E,1,2,3,4,5*6A\r\n");
    const Parsed without = Parse("$GPSTX,230394,123519,A,1.0,N,2.0,E,1,2,3,4,5\n");
    ASSERT_TRUE(with.ok);
    ASSERT_TRUE(without.ok);
    EXPECT_EQ(with.record, without.record);
}

TEST(ParseGPSTX, HostileLinesAreParsedOrRefusedSafely) {
    // Random bytes (no NUL, as the gatherer never passes one), with and without the sentence's
    // head and enough commas; run under the sanitizers this finds any read past the line.
    std::mt19937 rng(1234);
    for (int round = 0; round < 20000; ++round) {
        std::string line = round % 2 ? "$GPSTX" : "$GPSTX,";
        const size_t n = rng() % 80;
        for (size_t i = 0; i < n; ++i) {
            const unsigned pick = rng() % 8;
            line.push_back(pick == 0 ? ',' : static_cast<char>(1 + rng() % 255));
        }
        line.push_back('\n');
        // An exact-size copy: the sanitizers see any read past the line.
        const auto exact = std::make_unique<char[]>(line.size());
        std::copy(line.begin(), line.end(), exact.get());
        Record r{};
        int heading = 0;
        if (ParseGPSTX(std::string_view(exact.get(), line.size()), r, heading)) {
            EXPECT_EQ(r[gpsrec::LAT_TEXT + gpsrec::LAT_TEXT_SIZE - 1], 0);
            EXPECT_EQ(r[gpsrec::LON_TEXT + gpsrec::LON_TEXT_SIZE - 1], 0);
            EXPECT_TRUE(r[gpsrec::STATUS] == 'A' || r[gpsrec::STATUS] == 'V');
        }
    }
}

// --- The link over a PTY ---------------------------------------------------------------------

using Lines = std::vector<std::string>;

// A command sentence to the sub-board.
std::string Cmd(const std::string& word) {
    return "$PZVK,#" + word + ",00*cc\r\n";
}

ExFileHeader Settings(uint8_t tz, uint8_t dst = 0, uint8_t speed = 0) {
    ExFileHeader settings{};
    settings.tzIndex = tz;
    settings.useDST = dst;
    settings.speedUnit = speed;
    return settings;
}

class GpsLink : public ::testing::Test {
  protected:
    void SetUp() override {
        EventLog::Clear();
        PauseLog::Take();
        sentence::g_pause = PauseLog::Record;
        reset_gps_globals();
        setgpsMode(1);
        ASSERT_EQ(init_gps(EventLog::Callback), 0);
    }
    void TearDown() override {
        sentence::g_pause = sentence::RealPause;
        os::close(ttySAC1_fd);
        ttySAC1_fd = -1;
    }
    // What the program sent since the last call, once it has been quiet for a moment.
    Lines Sent() { return peer.ReadLines(std::chrono::milliseconds(50)); }

    testsupport::BoardRoot root;
    linktest::PtyPeer peer{root, "/dev/ttySAC1"};
};

TEST_F(GpsLink, SentenceSplitOverReadsReachesTheCallbackOnce) {
    peer.Send("$GPSTX,230394,1235");
    GPSReadTurn();
    EXPECT_TRUE(EventLog::Now().empty());
    peer.Send("19,A,4807.038,N,01131.000,E,22,9,270,3,7*6A\r\n");
    GPSReadTurn();
    const auto events = EventLog::Now();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENT_GPS);
    EXPECT_EQ(I32(events[0].record, gpsrec::SECOND), 19);
    EXPECT_EQ(events[0].record[gpsrec::STATUS], 'A');
}

// Other sentences are skipped, and a NUL ends what a read holds.
TEST_F(GpsLink, OtherLinesAndBytesBehindANulAreIgnored) {
    peer.Send(
        std::string("$GPGGA,1,2,3\r\n$GPSTX,,,A,,,,,1,,,,\r\n\0$GPSTX,,,A,,,,,2,,,,\r\n", 53));
    GPSReadTurn();
    const auto events = EventLog::Now();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(I32(events[0].record, gpsrec::FIELD8), 1);
}

TEST_F(GpsLink, MalformedSentenceIsReportedAndTheNextOneProcessed) {
    const std::string bad = "$GPSTX,1,2,3\r\n";
    peer.Send(bad);
    EXPECT_EQ(linktest::Console(GPSReadTurn), "### gps " + std::to_string(bad.size()) + " \n");
    EXPECT_TRUE(EventLog::Now().empty());
    peer.Send(kFix);
    GPSReadTurn();
    EXPECT_EQ(EventLog::Now().size(), 1u);
}

TEST_F(GpsLink, LongNoiseBetweenSentencesLosesOnlyTheNoise) {
    std::string noise;
    for (int i = 0; i < 300; ++i) noise.push_back(static_cast<char>(0x80 + i % 100));
    linktest::SetReadWait(ttySAC1_fd, 1);
    peer.Send(noise + "\r\n" + kFix);
    for (int i = 0; i < 6; ++i) GPSReadTurn();
    EXPECT_EQ(EventLog::Now().size(), 1u);
}

TEST_F(GpsLink, SilenceSupervision) {
    linktest::SetReadWait(ttySAC1_fd, 1);
    // First silent read: nothing.
    GPSReadTurn();
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(PauseLog::Take().empty());
    // Second: power-detect pulse, 10 s, GETNOGPS, 5 s.
    GPSReadTurn();
    EXPECT_EQ(Sent(), Lines{Cmd("GETNOGPS")});
    EXPECT_EQ(PauseLog::Take(), (std::vector<unsigned long>{5000000, 5000000, 5000000}));
    // Third: ERR2, and the count starts afresh.
    GPSReadTurn();
    EXPECT_EQ(Sent(), Lines{Cmd("ERR2")});
    EXPECT_TRUE(PauseLog::Take().empty());
    GPSReadTurn();
    EXPECT_TRUE(Sent().empty());
    GPSReadTurn();
    EXPECT_EQ(Sent(), Lines{Cmd("GETNOGPS")});
}

TEST_F(GpsLink, ReceivedBytesRestartTheSilenceCount) {
    linktest::SetReadWait(ttySAC1_fd, 1);
    GPSReadTurn();
    GPSReadTurn();  // GETNOGPS
    Sent();
    peer.Send("x");
    GPSReadTurn();
    GPSReadTurn();
    EXPECT_TRUE(Sent().empty());
    GPSReadTurn();
    EXPECT_EQ(Sent(), Lines{Cmd("GETNOGPS")});
}

TEST_F(GpsLink, StartupConfigurationSentenceBySentence) {
    SendGPSConfiguration(Settings(22, 1, 2));  // GMT+0530: never daylight saving
    Lines expected;
    for (int pass = 0; pass < 3; ++pass) {
        for (const char* w : {"DRSTART", "GMT+0530", "DSTOFF", "SPEEDKN", "FND5"}) {
            expected.push_back(Cmd(w));
        }
    }
    expected.push_back(Cmd("FND5"));
    EXPECT_EQ(peer.ReadLines(), expected);
    EXPECT_EQ(PauseLog::Take(), (std::vector<unsigned long>{1000, 1000, 1000}));
}

TEST_F(GpsLink, StartupConfigurationTablesAtTheirEdges) {
    const struct {
        uint8_t tz, dst, speed;
        const char *gmt, *dstWord, *speedWord;
    } cases[] = {
        {14, 1, 0, "GMT+0000", "DSTON", "SPEEDK"},
        {0, 1, 1, "GMT-1200", "DSTOFF", "SPEEDM"},
        {33, 0, 0, "GMT+1300", "DSTOFF", "SPEEDK"},
        {32, 1, 2, "GMT+1200", "DSTON", "SPEEDKN"},
    };
    for (const auto& c : cases) {
        SendGPSConfiguration(Settings(c.tz, c.dst, c.speed));
        const auto lines = peer.ReadLines();
        ASSERT_EQ(lines.size(), 16u);
        EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 4),
                  (Lines{Cmd(c.gmt), Cmd(c.dstWord), Cmd(c.speedWord)}))
            << int(c.tz);
    }
}

TEST_F(GpsLink, SettingsOutsideTheTablesSendNoRow) {
    linktest::Console([] { SendGPSConfiguration(Settings(34, 0, 3)); });
    const auto lines = peer.ReadLines();
    ASSERT_EQ(lines.size(), 10u);  // DRSTART, DSTOFF, FND5 per pass, and the closing FND5
    for (const auto& line : lines) EXPECT_EQ(line.find("GMT"), std::string::npos);
}

TEST_F(GpsLink, ReaderThreadDeliversIdlesInParkingModeAndEnds) {
    linktest::SetReadWait(ttySAC1_fd, 1);
    ExFileHeader settings = Settings(14);
    start_gps(&settings, 1);
    EXPECT_EQ(peer.ReadLines().size(), 16u);

    peer.Send(kFix);
    EXPECT_EQ(EventLog::WaitFor(1).size(), 1u);

    // Parking mode: the reader stops reading; what arrives waits in the port.
    setgpsMode(0);
    peer.Send("x\r\n");  // completes a turn the reader may be in
    usleep(300000);
    EventLog::Clear();
    peer.Send(kFix);
    usleep(300000);
    EXPECT_TRUE(EventLog::Now().empty());
    setgpsMode(1);
    EXPECT_EQ(EventLog::WaitFor(1).size(), 1u);

    setgpsMode(0);
    release_gps();
    join_gps_thread();  // returns: the parked reader wakes for the release
}

TEST_F(GpsLink, VersionQueryAnswers) {
    const struct {
        const char* answer;
        int result;
        uint8_t flag;
        const char* stamp;
    } cases[] = {
        {"$SUBOK20100601\r\n", 1, 1, "SUB3.5_Ver : 20100601"},
        {"$SUBOK20100430\r\n", 1, 0, "SUB3.5_Ver : 20100430"},
        {"$SUB2420091231\r\n", 2, 2, "SUB2.4_Ver : 20091231"},
    };
    for (const auto& c : cases) {
        g_subVer_flag = 0;
        std::ofstream(root.card() / "DB_version.txt") << "old";
        peer.Send(c.answer);
        int result = -1;
        linktest::Console([&] { result = subCheck(); });
        EXPECT_EQ(result, c.result) << c.answer;
        EXPECT_EQ(g_subVer_flag, c.flag) << c.answer;
        EXPECT_EQ(linktest::ReadFile(root.card() / "GPS_version.txt"), c.stamp);
        EXPECT_FALSE(std::filesystem::exists(root.card() / "DB_version.txt"));
        EXPECT_EQ(peer.ReadLines(), Lines{Cmd("SUB35")});
    }
}

TEST_F(GpsLink, VersionQueryGivesUpAfterSevenQueries) {
    peer.Send("$GPSTX,,,\r\n$GPSTX,,,\r\n$GPSTX,,,\r\n$GPSTX,,,\r\n$GPSTX,,,\r\n$GPSTX,,,\r\n");
    EXPECT_EQ(subCheck(), 0);
    EXPECT_EQ(peer.ReadLines(), Lines(7, Cmd("SUB35")));
    EXPECT_EQ(PauseLog::Take(), std::vector<unsigned long>(5, 100000));
    EXPECT_EQ(g_subVer_flag, 0);
}

TEST_F(GpsLink, VersionAnswerCountsOnlyAtTheStartOfARead) {
    linktest::SetReadWait(ttySAC1_fd, 1);
    peer.Send("xx\r\n$SUBOK20100601\r\n");
    // The whole read is judged by its beginning: two unknown lines, then silence.
    EXPECT_EQ(subCheck(), 0);
    EXPECT_EQ(peer.ReadLines().size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(root.card() / "GPS_version.txt"));
}

TEST_F(GpsLink, VersionQueryUnansweredOrWithoutStampFile) {
    linktest::SetReadWait(ttySAC1_fd, 1);
    EXPECT_EQ(subCheck(), 0);  // one silent read
    EXPECT_EQ(peer.ReadLines().size(), 1u);

    // The stamp cannot be written: the kind is still reported, the flag stays 0.
    std::filesystem::create_directory(root.card() / "GPS_version.txt");
    peer.Send("$SUBOK20100601\r\n");
    int result = -1;
    linktest::Console([&] { result = subCheck(); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(g_subVer_flag, 0);
}

// The codes are taken as 8 bits.
TEST_F(GpsLink, Commands) {
    EXPECT_EQ(SendErrorCmd(255), 0);
    SendErrorCmd(7);
    SendErrorCmd(1);
    SendErrorCmd(-1);
    EXPECT_EQ(Sent(), (Lines{Cmd("ERRSD"), Cmd("ERR7"), Cmd("ERR1"), Cmd("ERRSD")}));

    EXPECT_EQ(linktest::Console([] { SendRecordCommand(1); }),
              "Record start Message $PZVK,#REC0,00*cc\r\n\n");
    EXPECT_EQ(linktest::Console([] { SendRecordCommand(0); }), "Record stop Message\n");
    EXPECT_EQ(SendRecordCommand(2), 0);
    SendRecordCommand(257);
    EXPECT_EQ(Sent(), (Lines{Cmd("REC0"), Cmd("REC1"), Cmd("REC0")}));

    int written = 0;
    EXPECT_EQ(linktest::Console([&] { written = SendAckMessageToGPS(); }), "Ack message Send...\n");
    EXPECT_EQ(written, 18);
    SendShutdown();
    EXPECT_EQ(Sent(), (Lines{Cmd("VOK"), Cmd("REBOOT")}));
}

TEST_F(GpsLink, DisplayPulses) {
    EXPECT_EQ(linktest::Console(FndOFF_delay), "FND OFF.....\n");
    EXPECT_EQ(Sent(), Lines(9, Cmd("FND0")));
    EXPECT_EQ(PauseLog::Take(), std::vector<unsigned long>(9, 1000000));

    EXPECT_EQ(linktest::Console([] { FndON(7); }), "FND ON.....\n");
    EXPECT_EQ(Sent(), Lines(4, Cmd("FND7")));
    EXPECT_EQ(PauseLog::Take(), std::vector<unsigned long>(4, 1000000));
}

TEST(GpsLinkWithoutPort, FailsPlainlyAndNeverSpins) {
    testsupport::BoardRoot root;
    sentence::g_pause = PauseLog::Record;
    PauseLog::Take();
    std::string console = linktest::Console([] { EXPECT_EQ(init_gps(EventLog::Callback), -1); });
    EXPECT_EQ(console, "init gps start\nSerial Open Fail [/dev/ttySAC1]\r\n ");
    EXPECT_EQ(subCheck(), 0);
    // A failed read waits as long as a silent read would, and is no silence.
    for (int i = 0; i < 3; ++i) GPSReadTurn();
    EXPECT_EQ(PauseLog::Take(), std::vector<unsigned long>(3, 3000000));
    EXPECT_EQ(SendShutdown(), 0);
    sentence::g_pause = sentence::RealPause;
}

}  // namespace
