// RTC and codec over I2C: BCD, the RTC's byte sequences, and what reaches the bus. The bus is
// played by a plain file at the device's path: chip selections fail there (and say so), the
// bytes written land in the file.
#include <gtest/gtest.h>

#include "RTCnVolume.h"
#include "link_test_support.hpp"

namespace {

TEST(BCD, ConvertsBothWays) {
    EXPECT_EQ(DecToHex(2010), 0x10);  // a full year: its last two digits
    for (int n = 0; n < 100; ++n) {
        EXPECT_EQ(DecToHex(n), n / 10 * 16 + n % 10) << n;
        EXPECT_EQ(HexToDec(DecToHex(n)), n) << n;
    }
}

TEST(RTCBytes, WriteSequence) {
    EXPECT_EQ(RTCWriteBytes(10, 3, 5, 14, 7, 9),
              (std::array<uint8_t, 8>{0x00, 0x09, 0x07, 0x14, 0x00, 0x05, 0x03, 0x10}));
    // A full year stores only its last two digits.
    EXPECT_EQ(RTCWriteBytes(2037, 12, 31, 23, 59, 58),
              (std::array<uint8_t, 8>{0x00, 0x58, 0x59, 0x23, 0x00, 0x31, 0x12, 0x37}));
}

TEST(RTCBytes, RegistersToDate) {
    const std::array<uint8_t, 7> regs{0x80 | 0x25, 0x07, 0x14, 0x03, 0x05, 0x03, 0x10};
    const RTCDate d = RTCDateFromRegisters(regs);
    EXPECT_EQ(d.year, 2010);
    EXPECT_EQ(d.month, 3);
    EXPECT_EQ(d.day, 5);
    EXPECT_EQ(d.hour, 14);
    EXPECT_EQ(d.minute, 7);
    EXPECT_EQ(d.second, 25);  // the clock-halt bit is not part of the seconds
}

TEST(I2CWithoutDevice, EverythingIsInertAndReportsSuccess) {
    testsupport::BoardRoot root;
    EXPECT_EQ(w_fd, -1);
    EXPECT_EQ(linktest::Console([] { EXPECT_EQ(OpenIICDevice(), -1); }),
              "i2c device driver open error\n");
    const std::string console = linktest::Console([] {
        EXPECT_EQ(SetVolume(40), 0);
        EXPECT_EQ(SetMICVolume(16), 0);
        EXPECT_EQ(SetRTC(10, 3, 5, 14, 7, 9), 0);
        EXPECT_EQ(SetSystemTime(2012, 1, 2, 3, 4, 5), 0);
        int y = -1, mo = -1, d = -1, h = -1, mi = -1, s = -1;
        EXPECT_EQ(ReadRTC(&y, &mo, &d, &h, &mi, &s), 0);
        EXPECT_EQ(y, -1);  // success without a value
        EXPECT_EQ(i2c_write_data(reinterpret_cast<const uint8_t*>("ab"), 2), 0);
    });
    EXPECT_EQ(console, "");
}

class I2CBus : public ::testing::Test {
  protected:
    void SetUp() override {
        linktest::UnserveDevices(root, {"/dev/i2c-0"});
        std::ofstream(bus()).close();
        EXPECT_EQ(linktest::Console([] { EXPECT_EQ(OpenIICDevice(), 0); }),
                  "i2c device driver open\n");
    }
    void TearDown() override { CloseIICDevice(); }
    std::filesystem::path bus() const { return root.host("/dev/i2c-0"); }

    testsupport::BoardRoot root;
};

TEST_F(I2CBus, SetRTCSendsItsEightBytesDespiteAFailedSelection) {
    const std::string console = linktest::Console([] { EXPECT_EQ(SetRTC(10, 3, 5, 14, 7, 9), 0); });
    EXPECT_EQ(console,
              "ioctl error -> I2C_TENBIT\nioctl error -> I2C_SLAVE_FORCE\n"
              "<i2c_write_data> success..\n");
    EXPECT_EQ(linktest::ReadFile(bus()), std::string("\x00\x09\x07\x14\x00\x05\x03\x10", 8));
}

TEST_F(I2CBus, VolumesAreRegisterAndValue) {
    const std::string console = linktest::Console([] {
        EXPECT_EQ(SetVolume(44), 0);
        EXPECT_EQ(SetMICVolume(56), 0);
    });
    EXPECT_EQ(console,
              "ioctl error -> I2C_TENBIT\nioctl error -> I2C_SLAVE_FORCE\n"
              "ioctl error -> I2C_TENBIT\nioctl error -> I2C_SLAVE_FORCE\n");
    EXPECT_EQ(linktest::ReadFile(bus()), "\x6D\x2C\x5A\x38");
}

TEST_F(I2CBus, ReadRTCStopsAtAFailedSelection) {
    int y = -1, mo = -1, d = -1, h = -1, mi = -1, s = -1;
    const std::string console =
        linktest::Console([&] { EXPECT_EQ(ReadRTC(&y, &mo, &d, &h, &mi, &s), -1); });
    EXPECT_EQ(console, "ioctl error -> I2C_TENBIT\n");
    EXPECT_EQ(y, -1);
    EXPECT_EQ(linktest::ReadFile(bus()), "");
}

TEST_F(I2CBus, ShortWriteIsAnError) {
    CloseIICDevice();
    // A descriptor that takes nothing: the read end of a pipe.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    w_fd = fds[0];
    const std::string console = linktest::Console(
        [] { EXPECT_EQ(i2c_write_data(reinterpret_cast<const uint8_t*>("abc"), 3), -1); });
    EXPECT_EQ(console, "<i2c_write_data> error aaa ret=-1, size=3\n");
    ::close(fds[1]);
}

TEST_F(I2CBus, SystemTimeIsSetToTheGivenWallClockTime) {
    const std::string console = linktest::Console([] { SetSystemTime(2012, 2, 29, 13, 14, 15); });
    EXPECT_EQ(console.rfind("Before apply RTC time to System time\n"
                            "Apply RTC time to System time - success\n",
                            0),
              0u);
    const std::string now = linktest::BoardTime();
    EXPECT_EQ(now.substr(0, 16), "2012-02-29 13:14");
    EXPECT_NEAR(std::stoi(now.substr(17)), 15, 2);
}

}  // namespace
