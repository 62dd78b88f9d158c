// basic_conf: restore from flash, default file, line-by-position rules, text values, ranges.
#include "storage_fixture.hpp"

using namespace storagetest;

namespace {

class ParseBasicConfTest : public StorageTest {
  protected:
    std::filesystem::path sdConf() const { return board.host("/mnt/mmcblk0p1/configs/basic_conf"); }
    std::filesystem::path flashConf() const {
        return board.host("/mnt/jffs_user/config/basic_conf");
    }

    void parse(const std::string& text) {
        write_text(sdConf(), text);
        ASSERT_EQ(ParseBasicConf(), 0);
    }
    static std::string lines(std::initializer_list<std::string> values) {
        std::string out;
        for (const auto& v : values) out += v + "\n";
        return out;
    }
};

TEST_F(ParseBasicConfTest, CreatesDirectoriesAndVersionStamp) {
    std::filesystem::remove_all(board.card());
    std::filesystem::create_directories(board.card());
    ParseBasicConf();
    for (const char* d : {"data", "configs", "update"}) {
        EXPECT_TRUE(std::filesystem::is_directory(board.card() / d)) << d;
    }
    auto stamp = read_bytes(board.card() / "Firmware_version.txt");
    EXPECT_EQ(std::string(stamp.begin(), stamp.end()), "FW_VERSION : Firmware 2.75W");
}

TEST_F(ParseBasicConfTest, NoFileAnywhereWritesTheDefaultFileOnlyOnTheCard) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(ParseBasicConf(), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("config file not found\n"), std::string::npos);
    EXPECT_EQ(out.find("User configuration Value"), std::string::npos);
    auto text = read_bytes(sdConf());
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "RESOLUTION : 32\nQPVAL : 4\nGSENSOR : 2\nUSEAUDIO : 0\nPRERECTIME : 1\nUSEPW : 0\n"
              "PW : \nTZ : 14\nDST : 0\nSPUNIT : 0\nNUMOFVEHICLE : \n");
    EXPECT_FALSE(std::filesystem::exists(flashConf()));
    EXPECT_EQ(g_exFileHeader.tzIndex, 14);

    // Read back at the next start: the same settings, with a history depth of 2.
    g_recHistoryDepth = 4;
    EXPECT_EQ(ParseBasicConf(), 0);
    EXPECT_EQ(g_res, 32);
    EXPECT_EQ(g_qp, 4);
    EXPECT_EQ(g_audioRec, 1);
    EXPECT_EQ(g_preRecTime, 1);
    EXPECT_EQ(g_recHistoryDepth, 2);
    EXPECT_EQ(g_exFileHeader.tzIndex, 14);
    EXPECT_STREQ(g_exFileHeader.password, "");
    EXPECT_TRUE(std::filesystem::exists(flashConf()));
}

TEST_F(ParseBasicConfTest, RestoresFromFlashAndMirrorsBack) {
    write_text(flashConf(), lines({"RESOLUTION : 64", "QPVAL : 2"}));
    EXPECT_EQ(ParseBasicConf(), 0);
    EXPECT_EQ(g_res, 64);
    EXPECT_EQ(g_qp, 2);
    EXPECT_TRUE(std::filesystem::exists(sdConf()));
}

TEST_F(ParseBasicConfTest, CardCopyIsMirroredToFlash) {
    parse(lines({"RESOLUTION : 64"}));
    auto flash = read_bytes(flashConf());
    EXPECT_EQ(std::string(flash.begin(), flash.end()), "RESOLUTION : 64\n");
}

TEST_F(ParseBasicConfTest, UnwritableCardReportsCreateError) {
    std::filesystem::remove_all(board.card());  // no card directory at all
    testing::internal::CaptureStdout();
    EXPECT_EQ(ParseBasicConf(), -1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("config file creat error...\n"),
              std::string::npos);
    EXPECT_EQ(g_res, 32);
}

TEST_F(ParseBasicConfTest, NumberRules) {
    parse(
        lines({"RESOLUTION : 320", "QPVAL : -1", "GSENSOR : 3", "USEAUDIO : 1", "PRERECTIME : 3"}));
    EXPECT_EQ(g_res, 64);  // low 8 bits of 320
    EXPECT_EQ(g_qp, 4);
    EXPECT_EQ(g_gsCSValueX, 1500);
    EXPECT_EQ(g_gsCSValueY, 1500);
    EXPECT_EQ(g_gsCSValueZ, 1900);
    EXPECT_EQ(g_audioRec, 0);
    EXPECT_EQ(g_preRecTime, 3);
    EXPECT_EQ(g_recHistoryDepth, 4);

    parse(lines({"RESOLUTION : 100", "QPVAL : 5", "GSENSOR : 9", "USEAUDIO : 7"}));
    EXPECT_EQ(g_res, 32);
    EXPECT_EQ(g_qp, 5);
    EXPECT_EQ(g_gsCSValueX, 800);
    EXPECT_EQ(g_gsCSValueZ, 1200);
    EXPECT_EQ(g_audioRec, 1);

    parse(lines({"x:32", "x:4", "x:0", "x: 0"}));
    EXPECT_EQ(g_gsCSValueX, 400);
    EXPECT_EQ(g_audioRec, 1);
}

TEST_F(ParseBasicConfTest, ImpactSwitchAndLaterLines) {
    parse(lines({"RESOLUTION : 32", "QPVAL : 4", "GSENSOR : 3", "USEAUDIO : 0", "PRERECTIME : 1",
                 "USEPW : 1", "PW : pw", "TZ : 28", "DST : 1", "SPUNIT : 2", "NUMOFVEHICLE : 12AB",
                 "IMPACT : 0", "ERASE : 1", "PARK : 1"}));
    EXPECT_EQ(g_gsCSValueX, 20000);
    EXPECT_EQ(g_gsCSValueY, 20000);
    EXPECT_EQ(g_gsCSValueZ, 20000);
    EXPECT_EQ(g_disableEraseButton, 1);
    EXPECT_EQ(g_fpsParking, 1);
    EXPECT_EQ(g_exFileHeader.usePassword, 1);
    EXPECT_EQ(g_exFileHeader.tzIndex, 28);
    EXPECT_EQ(g_exFileHeader.useDST, 1);
    EXPECT_EQ(g_exFileHeader.speedUnit, 2);
    EXPECT_STREQ(g_exFileHeader.vehicleNumber, "12AB");

    parse(lines({"a:0", "a:0", "a:0", "a:0", "a:1", "a:0", "a: ", "a:0", "a:0", "a:0", "a: ", "a:5",
                 "a:0", "a:2"}));
    EXPECT_EQ(g_gsCSValueX, 400);  // any value but 0 keeps line 3's thresholds
    EXPECT_EQ(g_fpsParking, 0);
}

// Lines count by their position, not their key; a line without ':' and a missing line leave
// their setting as it was.
TEST_F(ParseBasicConfTest, ReadByPositionNotByKey) {
    parse(lines({"RESOLUTION 64", "QPVAL : 2"}));
    EXPECT_EQ(g_res, 32);
    EXPECT_EQ(g_qp, 2);
    parse(lines({"QPVAL : 64", "RESOLUTION : 3"}));
    EXPECT_EQ(g_res, 64);
    EXPECT_EQ(g_qp, 3);
    parse(lines({"RESOLUTION : 32"}));
    EXPECT_EQ(g_qp, 3);
    EXPECT_EQ(g_exFileHeader.tzIndex, 14);
    EXPECT_EQ(g_recHistoryDepth, 4);
}

TEST_F(ParseBasicConfTest, OverlongLineIsReadAsTwo) {
    std::string longLine = "RESOLUTION : 64" + std::string(1100, ' ');
    parse(longLine + "\n" + lines({"QPVAL : 3"}));
    EXPECT_EQ(g_res, 64);
    // The rest of the long line is line 2 (no ':': the default stays), QPVAL moved to line 3.
    EXPECT_EQ(g_qp, 4);
    EXPECT_EQ(g_gsCSValueX, GSVAL_X[3]);
}

// Text values lose exactly their line end.
TEST_F(ParseBasicConfTest, TextValues) {
    const std::string head = lines({"a:32", "a:4", "a:2", "a:0", "a:1", "a:1"});
    parse(head + "PW : abc\n");
    EXPECT_STREQ(g_exFileHeader.password, "abc");
    parse(head + "PW :\n");
    EXPECT_STREQ(g_exFileHeader.password, "");
    parse(head + "PW : abc\r\n");
    EXPECT_STREQ(g_exFileHeader.password, "abc");
    parse(head + "PW : abc");  // last line without a line feed keeps every character
    EXPECT_STREQ(g_exFileHeader.password, "abc");
    parse(head + "PW :");
    EXPECT_STREQ(g_exFileHeader.password, "");
    parse(head + "PW : a b:c \n");
    EXPECT_STREQ(g_exFileHeader.password, "a b:c ");
    const std::string upTo10 = head + "PW : x\n" + lines({"a:14", "a:0", "a:0"});
    parse(upTo10 + "NUMOFVEHICLE : 12 GA 3456\r\n");
    EXPECT_STREQ(g_exFileHeader.vehicleNumber, "12 GA 3456");
}

TEST_F(ParseBasicConfTest, OverlongTextsAreCutToTheirFields) {
    const std::string head = lines({"a:32", "a:4", "a:2", "a:0", "a:1", "a:1"});
    parse(head + "PW : 0123456789ABCDEF\n" + lines({"a:7", "a:1", "a:1"}) +
          "NUMOFVEHICLE : " + std::string(60, 'V') + "\n");
    EXPECT_STREQ(g_exFileHeader.password, "012345678");
    EXPECT_EQ(g_exFileHeader.tzIndex, 7);  // the field after the password is intact
    EXPECT_EQ(std::string(g_exFileHeader.vehicleNumber), std::string(38, 'V'));
    EXPECT_EQ(g_exFileHeader.headerFlag, 0);
}

// Values that would index tables out of range fall back to their defaults.
TEST_F(ParseBasicConfTest, OutOfRangeTableIndexesBecomeDefaults) {
    parse(lines({"a:32", "a:4", "a:2", "a:0", "PRERECTIME : 9", "a:0", "PW : ", "TZ : 34",
                 "DST : 2", "SPUNIT : 3"}));
    EXPECT_EQ(g_preRecTime, 1);
    EXPECT_EQ(g_recHistoryDepth, 2);
    EXPECT_EQ(g_exFileHeader.tzIndex, 14);
    EXPECT_EQ(g_exFileHeader.useDST, 0);
    EXPECT_EQ(g_exFileHeader.speedUnit, 0);

    parse(lines({"a:32", "a:4", "a:2", "a:0", "PRERECTIME : 0", "a:0", "PW : ", "TZ : 33",
                 "DST : 1", "SPUNIT : 258"}));
    EXPECT_EQ(g_preRecTime, 1);
    EXPECT_EQ(g_exFileHeader.tzIndex, 33);
    EXPECT_EQ(g_exFileHeader.useDST, 1);
    EXPECT_EQ(g_exFileHeader.speedUnit, 2);  // low 8 bits of 258

    parse(lines({"a:32", "a:4", "a:2", "a:0", "PRERECTIME : -2"}));
    EXPECT_EQ(g_preRecTime, 1);
    EXPECT_EQ(g_recHistoryDepth, 2);
}

TEST_F(ParseBasicConfTest, SummaryLines) {
    write_text(sdConf(), lines({"a:64", "a:5", "a:1", "a:1", "a:2", "a:1", "PW : pw", "a:3", "a:1",
                                "a:1", "NUMOFVEHICLE : car", "a:1", "a:0", "a:1"}));
    testing::internal::CaptureStdout();
    ParseBasicConf();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("***** resolution 40, qp 5 GS value 600 600 1000 audio 0***********\n"),
              std::string::npos);
    EXPECT_NE(out.find("***** preRecTime 2, usePassword 1, Password pw *********\n"),
              std::string::npos);
    EXPECT_NE(out.find("***** tzIndex 3, useDST 1, unit of speed 1, Vehicle Number car, frame for "
                       "parking 1 *****\n"),
              std::string::npos);
}

}  // namespace
