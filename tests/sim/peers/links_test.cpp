// The serial peers in-process: the GPS track, the sentences they send (read back with the
// recorder's own parsers), the front panel's state, and both peers on a PTY.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "gps.h"
#include "ibc.h"
#include "le.hpp"
#include "peers/gps_track.hpp"
#include "peers/gps_track_files.hpp"
#include "peers/ibc_peer.hpp"
#include "peers/subboard.hpp"
#include "peers_support.hpp"
#include "root.hpp"
#include "scenario.hpp"

namespace {

using namespace simboard::peers;
using peerstest::FakeBoard;
using peerstest::Pty;

int32_t i32(std::span<const uint8_t> r, size_t at) {
    return le::get_i32(r, at);
}

// ---- track -------------------------------------------------------------------------------------

TEST(GpsTrack, BuiltInDriveStopsAtTheLightThenDrivesTheLoopAtTownSpeed) {
    const Track t = Track::built_in();
    ASSERT_GT(t.duration(), 60.0);
    EXPECT_FALSE(t.timed());
    // Standing at the light: no speed, but the heading of the movement before it (the loop's
    // last leg), never a jump to 0.
    const Fix standing = t.at(0);
    EXPECT_LT(standing.speed_kmh, 1.0);
    EXPECT_EQ(standing.heading, t.at(t.duration() - 1).heading);
    EXPECT_GT(standing.heading, 0.0);
    const Fix moving = t.at(20);
    EXPECT_NEAR(moving.speed_kmh, 39.6, 4.0);
    EXPECT_EQ(t.at(5).pos.lat, t.at(5 + t.duration()).pos.lat);  // the drive repeats
}

TEST(GpsTrack, NmeaCoordinatesRoundTrip) {
    EXPECT_EQ(nmea_latitude(47.3742), "4722.4520");
    EXPECT_EQ(nmea_latitude(-5.5), "0530.0000");
    EXPECT_EQ(nmea_longitude(8.5386), "00832.3160");
    EXPECT_EQ(nmea_longitude(-122.25), "12215.0000");
    EXPECT_EQ(nmea_latitude(10.9999999), "1100.0000");  // never "1060.0000"
    EXPECT_NEAR(*degrees_from_nmea("4722.4520"), 47.3742, 1e-9);
    EXPECT_FALSE(degrees_from_nmea("4775.0000"));  // 75 minutes
    EXPECT_FALSE(degrees_from_nmea("abc"));
}

TEST(GpsTrack, GpxTrackPointsWithElevation) {
    std::string error;
    const auto t = Track::parse(R"(<?xml version="1.0"?><gpx><trk><trkseg>
        <trkpt lat="48.0000" lon="11.0000"><ele>500</ele></trkpt>
        <trkpt lon='11.0008' lat='48.0000'/>
        <trkpt lat="48.0005" lon="11.0008"><ele>510.4</ele></trkpt>
        </trkseg></trk></gpx>)",
                                "t.gpx", error);
    ASSERT_TRUE(t) << error;
    ASSERT_EQ(t->points(), 3u);
    EXPECT_FALSE(t->timed());  // no times: a point a second
    EXPECT_EQ(t->at(0).pos.altitude, 500);
    EXPECT_EQ(t->at(1).pos.altitude, 0);
    EXPECT_NEAR(t->at(0).heading, 90, 0.5);       // east
    EXPECT_NEAR(t->at(1).heading, 0, 0.5);        // then north
    EXPECT_NEAR(t->at(0).speed_kmh, 214.6, 0.5);  // 59.6 m in a second
    // The last point's way back to the start (81 m) is a jump of the file, not a drive.
    EXPECT_NEAR(t->at(2).speed_kmh, t->at(1).speed_kmh, 0.5);
    EXPECT_NEAR(t->at(2).heading, 0, 0.5);
}

TEST(GpsTrack, NmeaLogTakesFixesAndSkipsDamagedSentences) {
    std::string error;
    const auto t = Track::parse(
        "$GPRMC,120000,A,4800.000,N,01100.000,E,0.0,0.0,010624,,*13\n"
        "$GPRMC,120001,V,,,,,,,010624,,*32\n"
        "$GPRMC,120002,A,4800.010,N,01100.000,E,0.0,0.0,010624,,*00\n"
        "$GPGGA,120003,4800.020,N,01100.000,E,1,08,1.0,500,M,,,,*00\n"
        "not a sentence\n",
        "log.nmea", error);
    ASSERT_TRUE(t) << error;
    // The first RMC has a right checksum, the third and the GGA wrong ones; the second has no
    // fix.
    EXPECT_EQ(t->points(), 1u);
    EXPECT_NE(error.find("2 damaged sentences skipped, the first on line 3"), std::string::npos)
        << error;

    // A log without RMC sentences: its GGA sentences, with the altitude.
    const auto gga = Track::parse("$GPGGA,120003,4800.020,S,01100.000,W,1,08,1.0,512.6,M,,,,\n",
                                  "g.nmea", error);
    ASSERT_TRUE(gga) << error;
    EXPECT_NEAR(gga->at(0).pos.lat, -48.000333, 1e-5);
    EXPECT_NEAR(gga->at(0).pos.lon, -11.0, 1e-9);
    EXPECT_NEAR(gga->at(0).pos.altitude, 512.6, 1e-9);
}

// A drive log as loggers write it: a point every few seconds as the drive goes, none while the
// car waits at a junction (50 m in 5 s, 15 m in 2 s, 10 s standing, 95 m in 5 s).
constexpr double kMetresPerDegree = 6371000.0 * M_PI / 180.0;
constexpr const char* kDriveLog = R"(<?xml version="1.0"?><gpx><trk><trkseg>
  <trkpt lat="47.000000000" lon="8.0"><time>2024-05-01T10:00:00Z</time></trkpt>
  <trkpt lat="47.000449663" lon="8.0"><time>2024-05-01T10:00:05Z</time></trkpt>
  <trkpt lat="47.000584562" lon="8.0"><time>2024-05-01T10:00:07Z</time></trkpt>
  <trkpt lat="47.000584562" lon="8.0"><time>2024-05-01T10:00:17Z</time></trkpt>
  <trkpt lat="47.000584562" lon="8.001250620"><time>2024-05-01T12:00:22+02:00</time></trkpt>
</trkseg></trk></gpx>)";

TEST(GpsTrack, ADriveLogIsPlayedAtItsOwnPaceStopIncluded) {
    std::string error;
    const auto t = Track::parse(kDriveLog, "drive.gpx", error);
    ASSERT_TRUE(t) << error;
    EXPECT_TRUE(t->timed());
    EXPECT_EQ(t->points(), 5u);
    EXPECT_DOUBLE_EQ(t->duration(), 23.0);  // 22 s of log and a second at its end
    EXPECT_NE(t->description().find("5 points over 22 s, at their own pace"), std::string::npos)
        << t->description();

    EXPECT_NEAR(t->at(0).speed_kmh, 36.0, 0.1);
    EXPECT_NEAR(t->at(0).heading, 0.0, 0.1);
    EXPECT_NEAR((t->at(2.5).pos.lat - 47.0) * kMetresPerDegree, 25.0, 0.01);  // halfway
    EXPECT_NEAR(t->at(6).speed_kmh, 27.0, 0.1);
    for (const double waiting : {7.0, 10.0, 16.9}) {
        EXPECT_NEAR(t->at(waiting).speed_kmh, 0.0, 0.01) << waiting;
        EXPECT_NEAR(t->at(waiting).heading, 0.0, 0.1) << waiting;  // as it came
        EXPECT_NEAR(t->at(waiting).pos.lat, 47.000584562, 1e-9) << waiting;
    }
    EXPECT_NEAR(t->at(17).speed_kmh, 68.4, 0.2);
    EXPECT_NEAR(t->at(17).heading, 90.0, 0.1);
    EXPECT_NEAR(t->at(22).speed_kmh, 68.4, 0.2);  // its last second: the speed it came with
    EXPECT_NEAR(t->at(22).pos.lon, 8.001250620, 1e-9);
    EXPECT_EQ(t->at(23).pos.lat, t->at(0).pos.lat);  // and again from the start

    // Second by second, the way driven is the speed told.
    for (int k = 0; k < 22; ++k) {
        const Fix a = t->at(k);
        const Fix b = t->at(k + 1);
        EXPECT_NEAR(distance_m(a.pos, b.pos) * 3.6, a.speed_kmh, 0.5) << k;
    }
}

TEST(GpsTrack, TheLoggersOwnSpeedWhereBothPointsHaveOne) {
    std::string error;
    // GPX 1.0's <speed> and a Garmin extension's, in metres a second; the last point has none.
    const auto t = Track::parse(R"(<gpx>
  <trkpt lat="47.0" lon="8.0"><time>2024-05-01T10:00:00Z</time><speed>10</speed></trkpt>
  <trkpt lat="47.000899" lon="8.0"><time>2024-05-01T10:00:10Z</time>
    <extensions><gpxtpx:TrackPointExtension><gpxtpx:speed>12.0</gpxtpx:speed>
    </gpxtpx:TrackPointExtension></extensions></trkpt>
  <trkpt lat="47.001349" lon="8.0"><time>2024-05-01T10:00:15Z</time></trkpt>
</gpx>)",
                                "speed.gpx", error);
    ASSERT_TRUE(t) << error;
    EXPECT_NEAR(t->at(0).speed_kmh, 36.0, 1e-9);
    EXPECT_NEAR(t->at(5).speed_kmh, 39.6, 1e-9);  // between 10 and 12 m/s
    EXPECT_NEAR(t->at(12).speed_kmh, 36.0, 0.1);  // 50 m in 5 s: no speed on the last point

    // $GPRMC: speed over ground in knots, dates and times across midnight.
    const auto rmc = Track::parse(
        "$GPRMC,235958.00,A,4800.0000,N,01100.0000,E,10.0,0.0,311224,,\n"
        "$GPRMC,000003.00,A,4800.0250,N,01100.0000,E,10.0,0.0,010125,,\n",
        "night.nmea", error);
    ASSERT_TRUE(rmc) << error;
    EXPECT_TRUE(rmc->timed());
    EXPECT_DOUBLE_EQ(rmc->duration(), 6.0);
    EXPECT_NEAR(rmc->at(2).speed_kmh, 18.52, 1e-9);
    EXPECT_NEAR(rmc->at(2.5).pos.lat, 48.0 + 0.0125 / 60, 1e-9);
}

TEST(GpsTrack, WithoutTimesOnePointASecondAndTheDescriptionSaysSo) {
    std::string error;
    const std::pair<std::string, std::string> untimed[] = {
        {R"(<gpx><trkpt lat="1" lon="1"/><trkpt lat="1.001" lon="1"/></gpx>)",
         "2 points, one a second (no <time> in the GPX file)"},
        {R"(<gpx><trkpt lat="1" lon="1"><time>2024-05-01T10:00:00Z</time></trkpt>
              <trkpt lat="1.001" lon="1"><time>yesterday</time></trkpt></gpx>)",
         "one a second (1 of its 2 points without a <time>)"},
        {"$GPGGA,120003,4800.020,N,01100.000,E,1,08,1.0,512.6,M,,,,\n",
         "one a second ($GPGGA sentences carry no date)"},
        {"$GPRMC,120000,A,4800.000,N,01100.000,E,0.0,0.0,,,\n",
         "one a second (1 $GPRMC sentences without a date)"},
    };
    for (const auto& [text, said] : untimed) {
        const auto t = Track::parse(text, "t", error);
        ASSERT_TRUE(t) << error;
        EXPECT_FALSE(t->timed());
        EXPECT_NE(t->description().find(said), std::string::npos) << t->description();
        EXPECT_DOUBLE_EQ(t->duration(), static_cast<double>(t->points()));
    }
}

TEST(GpsTrack, TimesThatRepeatAreSkippedAndTimesThatGoBackRefused) {
    std::string error;
    const auto t = Track::parse(R"(<gpx>
  <trkpt lat="1" lon="1"><time>2024-05-01T10:00:00Z</time></trkpt>
  <trkpt lat="1" lon="1"><time>2024-05-01T10:00:00Z</time></trkpt>
  <trkpt lat="1.001" lon="1"><time>2024-05-01T10:00:10Z</time></trkpt>
</gpx>)",
                                "twice.gpx", error);
    ASSERT_TRUE(t) << error;
    EXPECT_EQ(t->points(), 2u);
    EXPECT_NE(t->description().find("1 point at a time already taken skipped"), std::string::npos)
        << t->description();

    EXPECT_FALSE(Track::parse(R"(<gpx>
  <trkpt lat="1" lon="1"><time>2024-05-01T10:00:10Z</time></trkpt>
  <trkpt lat="1.001" lon="1"><time>2024-05-01T10:00:00Z</time></trkpt>
</gpx>)",
                              "back.gpx", error));
    EXPECT_NE(error.find("back.gpx:3: the time goes back (-10.0 s)"), std::string::npos) << error;
}

TEST(GpsTrack, IsoTimes) {
    EXPECT_EQ(iso8601_seconds("2024-05-01T10:00:00Z"), 1714557600.0);
    EXPECT_EQ(iso8601_seconds(" 2024-05-01T10:00:00.25Z\n"), 1714557600.25);
    EXPECT_EQ(iso8601_seconds("2024-05-01T12:30:00+02:30"), 1714557600.0);
    EXPECT_EQ(iso8601_seconds("2024-05-01T08:00:00-0200"), 1714557600.0);
    EXPECT_EQ(iso8601_seconds("2024-05-01 10:00:00"), 1714557600.0);
    EXPECT_EQ(iso8601_seconds("2024-02-29T00:00:00Z"), 1709164800.0);
    for (const char* bad : {"2023-02-29T00:00:00Z", "2024-13-01T00:00:00Z", "2024-05-01T24:00:00Z",
                            "2024-05-01", "2024-05-01T10:00:00Q", "2024-05-01T10:00:00.Z", ""}) {
        EXPECT_FALSE(iso8601_seconds(bad)) << bad;
    }
}

TEST(GpsTrack, FilesWithoutPositionsAreRefusedWithTheReason) {
    std::string error;
    EXPECT_FALSE(Track::parse("<gpx></gpx>", "e.gpx", error));
    EXPECT_NE(error.find("no <trkpt>"), std::string::npos) << error;
    EXPECT_FALSE(Track::parse("<gpx><trkpt lat=\"91\" lon=\"0\"/></gpx>", "b.gpx", error));
    EXPECT_NE(error.find("b.gpx:1: <trkpt> without a valid lat and lon"), std::string::npos)
        << error;
    EXPECT_FALSE(Track::parse("$GPRMC,120001,V,,,,,,,010624,,\n", "v.nmea", error));
    EXPECT_NE(error.find("no $GPRMC or $GPGGA sentence with a fix"), std::string::npos) << error;
    EXPECT_FALSE(Track::parse("hello", "x.txt", error));
    EXPECT_NE(error.find("neither a GPX file nor an NMEA log"), std::string::npos) << error;
    EXPECT_FALSE(Track::load("/nonexistent/track.gpx", error));
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

// ---- sentences, as the recorder reads them ------------------------------------------------------

TEST(Sentences, GpstxWithFixParsesIntoTheRecordTheRecorderBuilds) {
    Fix fix;
    fix.pos = {47.3742, -8.5386, 412.4};
    fix.speed_kmh = 39.6;
    fix.heading = 271.4;
    const auto when = std::chrono::system_clock::from_time_t(1718195696);  // 2024-06-12 12:34:56
    const std::string s = gpstx_sentence(when, &fix, 9, -1);
    EXPECT_EQ(s, nmea_sentence("GPSTX,120624,123456,A,4722.4520,N,00832.3160,W,9,40,271,,412"));
    EXPECT_LE(s.size(), 85u);  // the recorder's line holds 84 characters and the line feed

    std::array<uint8_t, gpsrec::SIZE> r{};
    int heading = 0;
    ASSERT_TRUE(ParseGPSTX(s, r, heading));
    EXPECT_EQ(r[gpsrec::STATUS], 'A');
    EXPECT_EQ(r[gpsrec::LAT_HEMI], 'N');
    EXPECT_EQ(r[gpsrec::LON_HEMI], 'W');
    EXPECT_STREQ(reinterpret_cast<const char*>(&r[gpsrec::LAT_TEXT]), "4722.452000");
    EXPECT_EQ(i32(r, gpsrec::HEADING_GATE), 40);
    EXPECT_EQ(i32(r, gpsrec::HEADING), 271);  // speed above 7: the heading counts
    EXPECT_EQ(i32(r, gpsrec::KEY), 255);      // no key
}

TEST(Sentences, GpstxWithoutFixCarriesTimeAndKey) {
    const auto when = std::chrono::system_clock::from_time_t(946684799);  // 1999-12-31 23:59:59
    const std::string s = gpstx_sentence(when, nullptr, 0, 254);
    std::array<uint8_t, gpsrec::SIZE> r{};
    int heading = 123;
    ASSERT_TRUE(ParseGPSTX(s, r, heading)) << s;
    EXPECT_EQ(r[gpsrec::STATUS], 'V');
    EXPECT_EQ(i32(r, gpsrec::KEY), 254);
    EXPECT_EQ(i32(r, gpsrec::HEADING), 123);  // no heading: the last one is kept
    EXPECT_EQ(i32(r, gpsrec::YEAR), 99);
    EXPECT_EQ(i32(r, gpsrec::SECOND), 59);
}

TEST(Sentences, ApwCarriesLettersAndTheTwoTimes) {
    const std::string s = apw_sentence({"T", 9 * 3600 + 15 * 60 + 5, 9 * 3600 + 16 * 60 + 45});
    EXPECT_EQ(s, nmea_sentence("APW,T,,,,0909,1516,0545"));
    std::array<uint8_t, ibcrec::SIZE> r{};
    ParseAPW(s, r);
    EXPECT_EQ(r[ibcrec::LETTER1], 'T');
    EXPECT_EQ(r[ibcrec::LETTER2], 'F');  // empty: the recorder's default
    // A period over midnight: the times of day wrap.
    EXPECT_EQ(apw_sentence({"AO", 86390, 86400 + 50}), nmea_sentence("APW,A,O,,,2300,5900,5050"));
}

TEST(Sentences, TimesOfDayAndLetters) {
    EXPECT_EQ(parse_time_of_day("23:59:59"), 86399);
    EXPECT_FALSE(parse_time_of_day("24:00:00"));
    EXPECT_FALSE(parse_time_of_day("1:00:00"));
    EXPECT_TRUE(valid_state_letters("TFFF"));
    EXPECT_FALSE(valid_state_letters("TFFFF"));
    EXPECT_FALSE(valid_state_letters("b"));
    EXPECT_FALSE(valid_state_letters(""));
}

// ---- front panel -------------------------------------------------------------------------------

TEST(FrontPanelState, FollowsTheCommands) {
    FrontPanel p;
    for (const char* line : {"$PZVK,#DRSTART,00*cc", "$PZVK,#GMT+0530,00*cc", "$PZVK,#DSTOFF,00*cc",
                             "$PZVK,#SPEEDKN,00*cc", "$PZVK,#FND5,00*cc", "$PZVK,#REC0,00*cc",
                             "$PZVK,#ERR7,00*cc", "$PZVK,#REBOOT,00*cc"}) {
        EXPECT_FALSE(p.apply(line).empty()) << line;
    }
    EXPECT_EQ(p.time_zone, "GMT+0530");
    EXPECT_EQ(p.dst, "DSTOFF");
    EXPECT_EQ(p.speed_unit, "knots");
    EXPECT_EQ(p.display_level, 5);
    EXPECT_TRUE(p.event_recording);
    EXPECT_EQ(p.error, "7");
    EXPECT_EQ(p.reboot_notices, 1u);
    p.apply("$PZVK,#REC1,00*cc");
    p.apply("$PZVK,#ERRSD,00*cc");
    p.apply("$PZVK,#FND0,00*cc");
    EXPECT_FALSE(p.event_recording);
    EXPECT_EQ(p.error, "SD");
    EXPECT_EQ(p.display_level, 0);
    // Not commands of the sub-board: counted, nothing changes.
    EXPECT_EQ(p.apply("$PIB,#APWSTART,00*cc"), "");
    EXPECT_EQ(p.apply("$PZVK,#FND9,00*cc"), "");
    EXPECT_EQ(p.apply("$PZVK,#ERRX,00*cc"), "");
    EXPECT_EQ(p.unknown, 3u);
    EXPECT_EQ(p.display_level, 0);
}

TEST(SubBoardKind, OptionText) {
    SubBoardSettings s;
    EXPECT_EQ(parse_subboard_kind("2.4", s), "");
    EXPECT_EQ(s.version, SubVersion::k24);
    EXPECT_EQ(parse_subboard_kind("3.5:20100430", s), "");
    EXPECT_EQ(s.version, SubVersion::k35);
    EXPECT_EQ(s.firmware_date, "20100430");
    EXPECT_NE(parse_subboard_kind("3.5:20100431", s), "");
    EXPECT_NE(parse_subboard_kind("3.6", s), "");
    EXPECT_EQ(parse_subboard_kind("silent", s), "");
    EXPECT_TRUE(s.silent);
    EXPECT_TRUE(valid_firmware_date("20120229"));
    EXPECT_FALSE(valid_firmware_date("20110229"));
    EXPECT_FALSE(valid_firmware_date("2011022"));
}

// ---- the peers on a PTY -------------------------------------------------------------------------

bool has_line(const std::vector<std::string>& lines, std::string_view start) {
    for (const auto& l : lines) {
        if (l.starts_with(start)) return true;
    }
    return false;
}

TEST(SubBoardOnPty, SilentAndNoVersionAnswerAndOddInput) {
    FakeBoard board;
    Pty pty;
    SubBoardSettings settings;
    settings.version = SubVersion::kNone;
    SubBoardPeer peer(settings);
    peer.start(board, pty.master());
    pty.send("$PZVK,#SUB35,00*cc\r\n");
    // GPS sentences come, a version answer does not.
    ASSERT_TRUE(pty.receive_until([](const auto& l) { return l.size() >= 2; }));
    EXPECT_FALSE(has_line(pty.lines(), "$SUB"));

    peer.set_silent(true);
    pty.read_for(std::chrono::milliseconds(100));  // a sentence may have been on its way
    const size_t count = pty.lines().size();
    peer.set_version(SubVersion::k24, "20100930");
    pty.send("$PZVK,#SUB35,00*cc\r\n");
    // More than a GPS period of silence: nothing at all arrives, not even the answer.
    pty.read_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(pty.lines().size(), count);
    EXPECT_EQ(peer.gps_status(), "silent");

    // A byte that is no text, and an overlong line: logged as they are, nothing breaks.
    pty.send(std::string("\x01garbage\r\n") + std::string(300, 'x') + "\n$PZVK,#VOK,00*cc\n");
    ASSERT_TRUE(peerstest::eventually([&] { return peer.panel().acks == 1; }));
    peer.stop();
    const auto lines = peerstest::transcript_sentences(board.root() / "log/subboard.log");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2], "\\x01garbage");
    EXPECT_NE(lines[3].find("dropped"), std::string::npos);
    EXPECT_EQ(lines[5], "$PZVK,#VOK,00*cc");
}

TEST(IbcOnPty, SendsOnlyAfterTheStartCommandAndAgainAfterAReboot) {
    FakeBoard board;
    Pty pty;
    IbcPeer peer;
    peer.start(board, pty.master());
    EXPECT_NE(peer.send_message({"B", 0, 0}), "");  // not started yet

    pty.send("$PIB,#APWSTART,00*cc\r\n");
    ASSERT_TRUE(peerstest::eventually([&] { return peer.started(); }));
    EXPECT_EQ(peer.send_message({"AO", 0, 0}), "");
    ASSERT_TRUE(pty.receive_until([](const auto& l) { return !l.empty(); }));
    std::array<uint8_t, ibcrec::SIZE> r{};
    ParseAPW(pty.lines()[0], r);
    EXPECT_EQ(r[ibcrec::LETTER1], 'A');
    EXPECT_EQ(r[ibcrec::LETTER2], 'O');

    board.boots_ = 2;  // the recorder that started it is gone
    EXPECT_FALSE(peer.started());
    EXPECT_NE(peer.send_message({"B", 0, 0}), "");
    EXPECT_NE(peer.status().find("waiting for APWSTART"), std::string::npos);
}

// Messages and keys given back to back (a scenario's or a test's actions) all go out, in order.
TEST(IbcOnPty, MessagesInARowAreAllSentInOrder) {
    FakeBoard board;
    Pty pty;
    IbcPeer peer;
    peer.start(board, pty.master());
    pty.send("$PIB,#APWSTART,00*cc\r\n");
    ASSERT_TRUE(peerstest::eventually([&] { return peer.started(); }));
    const std::string letters = "TFABCTFABCTFABCTFABC";
    for (char c : letters) EXPECT_EQ(peer.send_message({std::string(1, c), 0, 0}), "");
    ASSERT_TRUE(pty.receive_until([&](const auto& l) { return l.size() >= letters.size(); }));
    std::string received;
    for (const auto& line : pty.lines()) {
        std::array<uint8_t, ibcrec::SIZE> r{};
        ParseAPW(line, r);
        received += static_cast<char>(r[ibcrec::LETTER1]);
    }
    EXPECT_EQ(received, letters);

    Pty front;
    SubBoardSettings settings;
    SubBoardPeer sub(settings);
    sub.start(board, front.master());
    for (int key = 1; key <= 10; ++key) sub.press_key(key);
    ASSERT_TRUE(front.receive_until([](const auto& l) { return l.size() >= 10; }));
    std::vector<int> keys;
    for (const auto& line : front.lines()) {
        std::array<uint8_t, gpsrec::SIZE> r{};
        int heading = 0;
        if (ParseGPSTX(line, r, heading) && le::get_i32(r, gpsrec::KEY) != 255)
            keys.push_back(le::get_i32(r, gpsrec::KEY));
    }
    EXPECT_EQ(keys, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    sub.stop();
}

TEST(IbcOnPty, ATimedPeriodSendsOneSentenceASecondWithItsStartAndEnd) {
    FakeBoard board;
    Pty pty;
    IbcPeer peer;
    peer.start(board, pty.master());
    pty.send("$PIB,#APWSTART,00*cc\r\n");
    ASSERT_TRUE(peerstest::eventually([&] { return peer.started(); }));
    EXPECT_EQ(peer.start_period('F', 2), "");
    ASSERT_TRUE(pty.receive_until([](const auto& l) { return l.size() == 2; }));
    ASSERT_TRUE(peerstest::eventually([&] { return board.console_has("period F over"); }));
    EXPECT_EQ(pty.lines().size(), 2u);
    for (const auto& line : pty.lines()) {
        std::array<uint8_t, ibcrec::SIZE> r{};
        ParseAPW(line, r);
        std::span<const uint8_t> b(r);
        EXPECT_EQ(r[ibcrec::LETTER1], 'F');
        const int first =
            i32(b, ibcrec::HOUR1) * 3600 + i32(b, ibcrec::MIN1) * 60 + i32(b, ibcrec::SEC1);
        const int second =
            i32(b, ibcrec::HOUR2) * 3600 + i32(b, ibcrec::MIN2) * 60 + i32(b, ibcrec::SEC2);
        EXPECT_EQ((second - first + 86400) % 86400, 2);
    }
    EXPECT_NE(peer.stop_period(), "");  // over already
}

}  // namespace

// ---- actions, as a scenario or ctl gives them ---------------------------------------------------

namespace {

std::string scenario_error(const std::string& line) {
    std::vector<simboard::ScenarioStep> steps;
    std::string error;
    if (simboard::parse_scenario("1 " + line + "\n", "s.txt", steps, error)) return "";
    return error;
}

TEST(PeerActions, ArgumentsAreCheckedBeforeTheBoardStarts) {
    for (const char* good :
         {"gps fix", "gps lost", "gps date 2004-12-31 23:59:59", "gps date now", "key 0",
          "key erase", "subboard silent", "subboard version 2.4 20100930", "subboard version none",
          "ibc send TFFF 09:00:00 09:01:40", "ibc send B", "ibc period F 100", "ibc period stop",
          "ibc snapshot end", "rtc set 2015-06-01 12:00:00", "rtc invalid", "audio source noise"}) {
        EXPECT_EQ(scenario_error(good), "") << good;
    }
    for (const char* bad :
         {"gps fix now", "gps date 2024-13-01 00:00:00", "gps date tomorrow", "key 255", "key -1",
          "subboard version 3.6", "subboard version none 20100930",
          "subboard version 3.5 2010-06-01", "ibc send", "ibc send b", "ibc send T 09:00:00",
          "ibc send T 25:00:00 09:00:00", "ibc period X 10", "ibc period T 0", "ibc period T 1.5",
          "rtc set 1999-12-31 00:00:00", "rtc set invalid", "audio source"}) {
        EXPECT_NE(scenario_error(bad), "") << bad;
    }
}

// Dates a calendar has, and the files an action reads: checked when the scenario is loaded, not
// when the line's time comes.
TEST(PeerActions, ImpossibleDatesAndUnusableFilesAreRefusedUpFront) {
    for (const char* good : {"gps date 2024-02-29 12:00:00", "gps date 2000-02-29 00:00:00",
                             "gps date 2026-04-30 23:59:59"}) {
        EXPECT_EQ(scenario_error(good), "") << good;
    }
    for (const char* bad : {"gps date 2026-02-30 00:00:00", "gps date 2025-02-29 00:00:00",
                            "gps date 2026-04-31 00:00:00", "gps date 2026-00-10 00:00:00"}) {
        EXPECT_NE(scenario_error(bad).find("expected YYYY-MM-DD HH:MM:SS"), std::string::npos)
            << bad;
    }

    peerstest::TempDir tmp("audiosource");
    const auto wav = simboard::make_prompt_wave(440, 100);
    std::ofstream(tmp.path() / "cabin.wav", std::ios::binary)
        .write(reinterpret_cast<const char*>(wav.data()), static_cast<std::streamsize>(wav.size()));
    std::ofstream(tmp.path() / "notes.wav") << "not a sound";
    EXPECT_EQ(scenario_error("audio source " + (tmp.path() / "cabin.wav").string()), "");
    const std::pair<std::string, std::string> refused[] = {
        {(tmp.path() / "missing.wav").string(), "No such file"},
        {(tmp.path() / "notes.wav").string(), "not a RIFF file"},
        {tmp.path().string(), "not a regular file (a folder)"},
        {"/dev/zero", "not a regular file (a character device)"},
    };
    for (const auto& [path, why] : refused) {
        const std::string error = scenario_error("audio source " + path);
        EXPECT_EQ(error.rfind("s.txt:1: 'audio source " + path + "': ", 0), 0u) << error;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    }
}

}  // namespace
