// The command protocol and the operations of the coprocessor program, called as the driver's
// own functions on a device record of the test's making, against the W99685 model.
#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

#include "camcore_fixture.hpp"
#include "eventually.hpp"
#include "w99685_program.hpp"

extern "C" {
#include <asm/io.h>
}

namespace {

using camtest::CamcoreTest;
using Frame = hw::W99685::CommandFrame;

// The front coprocessor with its program running, reached through a record of our own.
class Protocol : public CamcoreTest {
  protected:
    void SetUp() override {
        CamcoreTest::SetUp();
        std::memset(&dev, 0, sizeof dev);
        dev.paddr = W99685_FRONT_PADDR;
        dev.irq = W99685_FRONT_IRQ;
        dev.reg_base = static_cast<unsigned char*>(ioremap(dev.paddr, W99685_WINDOW_SIZE));
        ASSERT_NE(dev.reg_base, nullptr);
        ASSERT_EQ(CAMCORE_FN(DownloadFirmware)(&dev), 0);
        board.front.clear_command_log();
    }
    void TearDown() override {
        iounmap(dev.reg_base);
        CamcoreTest::TearDown();
    }

    Frame last_frame() {
        const auto log = board.front.snapshot().commands;
        EXPECT_FALSE(log.empty());
        return log.empty() ? Frame{} : log.back();
    }
    void expect_last(uint8_t cmd, uint8_t sub, std::array<uint8_t, 4> p) {
        const Frame f = last_frame();
        EXPECT_EQ(f.cmd, cmd) << "sub " << int(sub);
        EXPECT_EQ(f.sub, sub);
        EXPECT_EQ(f.p, p) << "sub " << int(sub);
    }

    W99685_DEV dev;
};

TEST_F(Protocol, TheDownloadedProgramReportsItsVersion) {
    unsigned char major = 0, minor = 0;
    ASSERT_EQ(CAMCORE_FN(GetFirmwareVersion)(&major, &minor, &dev), 0);
    EXPECT_EQ(major, 0x02);
    EXPECT_EQ(minor, 0x15);
    EXPECT_EQ(board.front.stats().major, 0x02);
    EXPECT_TRUE(board.console_has("Firmware download success. "));
}

TEST_F(Protocol, WrappersLayTheirArgumentsOutAsTheProgramExpects) {
    CAMCORE_FN(SetDigitalZoom)(640, 480, &dev);
    expect_last(0x57, 0x4C, {0xE0, 0x01, 0x80, 0x02});
    CAMCORE_FN(SendJPEGBitstream)(74565, &dev);
    expect_last(0x57, 0x44, {0x45, 0x23, 0x01, 0x00});
    CAMCORE_FN(iic_write)(0x42, 0x12, 0x80, &dev);
    expect_last(0x57, 0x0C, {0x00, 0x80, 0x12, 0x42});
    CAMCORE_FN(iic_write16bit)(0xB8, 0x01, 0x0004, &dev);
    expect_last(0x57, 0x0C, {0x04, 0x00, 0x01, 0xB8});
    EXPECT_TRUE(board.console_has("write IIC 16bit 1,4"));
    CAMCORE_FN(SetOpMode)(0, 2, 1, &dev);
    expect_last(0x57, 0x40, {1, 0, 2, 0});
    CAMCORE_FN(FastSnapShot)(0x0102, &dev);
    expect_last(0x57, 0x43, {1, 0, 0x02, 0x01});
    CAMCORE_FN(SnapShot)(0, &dev);
    expect_last(0x57, 0x43, {0, 0, 0, 0});
    CAMCORE_FN(SetLCMWndPos)(0x0123, 0x0456, &dev);
    expect_last(0x57, 0x53, {0x56, 0x04, 0x23, 0x01});
    CAMCORE_FN(SetNumberofLCM)(1, 2, 3, &dev);
    expect_last(0x57, 0x50, {0, 3, 2, 1});
    CAMCORE_FN(SetSensorSlaveAddress)(0x42, 1, &dev);
    expect_last(0x57, 0x7E, {0, 0, 1, 0x42});
    CAMCORE_FN(SetSpecialRegister)(0xB0, 0x48, 0x11, &dev);
    expect_last(0x58, 0x01, {0x48, 0xB0, 0x11, 1});
}

TEST_F(Protocol, RepliesAreTakenApartByteByByte) {
    board.front.force_next_reply({0x34, 0x12, 0xAA, 0x07});
    unsigned char status = 0;
    unsigned short number = 0;
    ASSERT_EQ(CAMCORE_FN(GetCaptureStatus)(&status, &number, &dev), 0);
    EXPECT_EQ(number, 0x1234);
    EXPECT_EQ(status, 0x07);

    board.front.force_next_reply({0x01, 0x02, 0x03, 0x04});
    cmdparam_struct none{};
    unsigned int size = 0;
    ASSERT_EQ(CAMCORE_FN(SendCMDType3)(0x57, 0x02, &none, &size, &dev), 0);
    EXPECT_EQ(size, 0x04030201u);

    ASSERT_EQ(CAMCORE_FN(SetSpecialRegister)(0xA0, 0x10, 0x5C, &dev), 0);
    unsigned char value = 0;
    ASSERT_EQ(CAMCORE_FN(GetSpecialRegister)(&value, 0xA0, 0x10, &dev), 0);
    EXPECT_EQ(value, 0x5C);
    EXPECT_EQ(board.front.snapshot().internal[0xA010], 0x5C);
}

TEST_F(Protocol, BlockReadsMoveWholeBlocksAndKeepOnlyWhatWasAskedFor) {
    std::vector<uint8_t> pattern(1024);
    std::iota(pattern.begin(), pattern.end(), uint8_t{1});
    board.front.load_data_for_host(pattern);
    std::array<unsigned char, 1024> buf{};
    EXPECT_EQ(CAMCORE_FN(w99685_bf_read)(buf.data(), 1, &dev), 1);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 0) << "nothing past the length is stored";
    EXPECT_EQ(board.front.snapshot().data_bytes_read, 512u);

    board.front.load_data_for_host(pattern);
    buf.fill(0);
    EXPECT_EQ(CAMCORE_FN(w99685_bf_read)(buf.data(), 513, &dev), 513);
    EXPECT_EQ(board.front.snapshot().data_bytes_read, 512u + 1024u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 513, pattern.begin()));
    EXPECT_EQ(buf[513], 0);

    EXPECT_EQ(CAMCORE_FN(w99685_bf_read)(buf.data(), 0, &dev), 0);
    EXPECT_EQ(board.front.snapshot().data_bytes_read, 512u + 1024u);
}

TEST_F(Protocol, BlockWritesPadTheLastBlockWithZeros) {
    std::vector<unsigned char> bytes(600, 0xA5);
    ASSERT_EQ(CAMCORE_FN(SendJPEGBitstream)(600, &dev), 0);
    EXPECT_EQ(CAMCORE_FN(w99685_bf_write)(bytes.data(), 600, &dev), 600);
    const auto received = board.front.snapshot().bitstream;
    ASSERT_EQ(received.size(), 1024u);
    EXPECT_TRUE(
        std::all_of(received.begin(), received.begin() + 600, [](uint8_t b) { return b == 0xA5; }));
    EXPECT_TRUE(
        std::all_of(received.begin() + 600, received.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(Protocol, AnUploadedJpegIsDecodedAndMeasured) {
    hw::camera_scene::Params p;
    p.label = "TEST";
    const auto jpeg = hw::camera_scene::render_jpeg(p);
    ASSERT_EQ(CAMCORE_FN(SendJPEGBitstream)(jpeg.size(), &dev), 0);
    ASSERT_EQ(CAMCORE_FN(w99685_bf_write)(jpeg.data(), static_cast<int>(jpeg.size()), &dev),
              static_cast<int>(jpeg.size()));
    unsigned char format = 0xFF, error = 0xFF;
    ASSERT_EQ(CAMCORE_FN(DecodeJPEGBitstream)(0, 1, &format, &error, &dev), 0);
    EXPECT_EQ(error, 0);
    unsigned short width = 0, height = 0;
    ASSERT_EQ(CAMCORE_FN(DecodedJPEGInformation)(&width, &height, &dev), 0);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
}

TEST_F(Protocol, ABusyChipTimesOutBeforeTheFrameWithoutTouchingTheRegisters) {
    board.front.set_fault(hw::W99685::Fault::kBusy);
    const uint64_t writes = board.front.snapshot().parameter_writes;
    unsigned char major = 0, minor = 0;
    EXPECT_EQ(CAMCORE_FN(GetFirmwareVersion)(&major, &minor, &dev), -1);
    EXPECT_EQ(board.count_lines("SendCMDType2: time out - before write "), 1u);
    EXPECT_FALSE(board.console_has("after write"));
    EXPECT_EQ(board.front.snapshot().parameter_writes, writes);

    cmdparam_struct none{};
    unsigned int size = 0xDEAD;
    EXPECT_EQ(CAMCORE_FN(SendCMDType3)(0x57, 0x02, &none, &size, &dev), -1);
    EXPECT_EQ(board.count_lines("SendCMDType3: time out - before write"), 1u);
    EXPECT_EQ(size, 0xDEADu) << "no output on a time-out";
    EXPECT_EQ(board.front.snapshot().parameter_writes, writes);
}

TEST_F(Protocol, ACommandThatNeverCompletesTimesOutAfterTheFrame) {
    board.front.set_fault(hw::W99685::Fault::kBusyAfterCommand);
    unsigned char major = 0x11, minor = 0x22;
    EXPECT_EQ(CAMCORE_FN(GetFirmwareVersion)(&major, &minor, &dev), -1);
    EXPECT_EQ(board.count_lines("SendCMDType2: time out - after write"), 1u);
    EXPECT_EQ(major, 0x11);
    EXPECT_EQ(board.front.snapshot().commands.size(), 1u) << "the command was issued";

    board.front.set_fault(hw::W99685::Fault::kNone);
    board.front.set_fault(hw::W99685::Fault::kBusyAfterCommand);
    cmdparam_struct none{};
    unsigned int size = 7;
    EXPECT_EQ(CAMCORE_FN(SendCMDType3)(0x57, 0x02, &none, &size, &dev), -1);
    EXPECT_EQ(board.count_lines("SendCMDType3: time out - after write"), 1u);
    EXPECT_EQ(size, 7u);
}

TEST_F(Protocol, TheLcdBypassWritesLittleEndianWords) {
    CAMCORE_FN(LCDWriteCMDAddrWORD)(0x21, &dev);
    CAMCORE_FN(LCDWriteCMDRegWORD)(0, &dev);
    CAMCORE_FN(LCDWriteCMDAddrWORD)(0x22, &dev);
    const unsigned char bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    EXPECT_EQ(CAMCORE_FN(RefreshLCDWin_Bypass)(bytes, 6, &dev), 0);
    EXPECT_EQ(board.front.snapshot().lcd.memory[0], 0x0201);
    EXPECT_EQ(board.front.snapshot().lcd.memory[1], 0x0403);
    EXPECT_EQ(board.front.snapshot().lcd.memory[2], 0x0605);
    EXPECT_EQ(board.front.snapshot().lcd.pixel_writes, 3u);

    EXPECT_EQ(CAMCORE_FN(RefreshLCDWin_Bypass)(bytes, 0, &dev), 0);
    EXPECT_EQ(board.front.snapshot().lcd.pixel_writes, 3u);
    EXPECT_EQ(CAMCORE_FN(RefreshLCDWin_Bypass)(nullptr, 6, &dev), -1);
    EXPECT_EQ(CAMCORE_FN(RefreshLCDWin_Bypass)(bytes, -2, &dev), -1);
    EXPECT_EQ(board.front.snapshot().lcd.pixel_writes, 3u);
}

TEST_F(Protocol, OV7725TablesAreWrittenPairByPairStartingWithTheSoftReset) {
    const struct {
        int type;
        size_t entries;
    } sets[] = {{1, 49}, {2, 36}, {3, 48}, {4, 255}, {0, 0}, {5, 0}};
    for (const auto& set : sets) {
        board.front.clear_command_log();
        EXPECT_EQ(CAMCORE_FN(OV7725Set)(set.type, &dev), 0);
        const auto log = board.front.snapshot().commands;
        ASSERT_EQ(log.size(), set.entries) << "type " << set.type;
        if (set.entries == 0) continue;
        EXPECT_EQ(log[0].p, (std::array<uint8_t, 4>{0, 0x80, 0x12, 0x42})) << "type " << set.type;
        for (const Frame& f : log) EXPECT_EQ(f.p[3], 0x42);
    }
    // The full set-up covers the register space in order after the reset.
    board.front.clear_command_log();
    CAMCORE_FN(OV7725Set)(4, &dev);
    const auto log = board.front.snapshot().commands;
    for (size_t i = 2; i < log.size(); ++i) EXPECT_GT(log[i].p[2], log[i - 1].p[2]);
    EXPECT_EQ(log.back().p[2], 0xFE);
}

// ---- The program image and the boot loader -------------------------------------------------

void download(uint32_t base, const std::vector<uint8_t>& image) {
    auto w = [base](uint32_t off, uint8_t v) { hw::mmio_write(base + off, v, 1); };
    const std::pair<uint8_t, uint8_t> unlock[] = {{0x1E, 0xAA}, {0x1A, 0x55}, {0x18, 0x80},
                                                  {0x1C, 0xAA}, {0x1E, 0x55}, {0x1C, 0x00},
                                                  {0x1A, 0x00}, {0x18, 0x00}};
    for (auto [off, v] : unlock) w(off, v);
    for (size_t i = 0; i < image.size(); i += 4) {
        uint8_t rec[4] = {};
        for (size_t k = 0; k < 4 && i + k < image.size(); ++k) rec[k] = image[i + k];
        w(0x16, rec[0]);
        w(0x14, rec[1]);
        w(0x12, rec[2]);
        w(0x10, rec[3]);
        w(0x1E, 0);
    }
    w(0x1C, 0xFF);
    w(0x1A, 0xFF);
    w(0x18, 0xFF);
    w(0x1E, 0);
}

// The program starts 10 ms after the start command; a chip that refused it stays in its boot
// loader.
bool runs_within(uint32_t base, std::chrono::milliseconds limit) {
    return testsupport::eventually([base] { return hw::mmio_read(base + 0x1E, 1) == 0x50; }, limit,
                                   std::chrono::milliseconds(5));
}

class ProgramImage : public ::testing::Test {
  protected:
    camtest::Board board{hw::SensorKind::kNone, hw::SensorKind::kNone};
    const std::vector<uint8_t> image = hw::w99685_program::build({0x02, 0x15});
};

TEST_F(ProgramImage, ADamagedImageNeverStarts) {
    struct Damage {
        const char* what;
        size_t offset;
        const char* reason;
    };
    for (const Damage& d :
         {Damage{"a body byte", 5000, "checksum mismatch"},
          Damage{"the magic", 1, "no program magic"}, Damage{"the length", 4, "does not match"}}) {
        std::vector<uint8_t> bad = image;
        bad[d.offset] ^= 0x40;
        download(hw::W99685::kFrontBase, bad);
        EXPECT_FALSE(runs_within(hw::W99685::kFrontBase, std::chrono::milliseconds(100))) << d.what;
        EXPECT_NE(board.front.stats().last_error.find(d.reason), std::string::npos)
            << d.what << ": " << board.front.stats().last_error;
    }
    std::vector<uint8_t> short_image(image.begin(), image.end() - 8);
    download(hw::W99685::kFrontBase, short_image);
    EXPECT_FALSE(runs_within(hw::W99685::kFrontBase, std::chrono::milliseconds(100)));
    // The boot loader takes a good image after bad ones.
    download(hw::W99685::kFrontBase, image);
    EXPECT_TRUE(runs_within(hw::W99685::kFrontBase, std::chrono::seconds(1)));
}

TEST_F(ProgramImage, AResetPulseLosesTheProgram) {
    download(hw::W99685::kRearBase, image);
    ASSERT_TRUE(runs_within(hw::W99685::kRearBase, std::chrono::seconds(1)));
    const unsigned pin = hw::gpio_pin('F', 2);
    hw::MachineGuard guard(hw::machine_lock());
    board.soc.gpio.write(0x50, 1u << (2 * 2), 4);  // GPF2 output
    board.soc.gpio.write(0x54, 1u << 2, 4);        // high: reset
    board.soc.gpio.write(0x54, 0, 4);
    EXPECT_FALSE(board.soc.gpio.level(pin));
    EXPECT_EQ(board.rear.snapshot().resets, 1u);
    EXPECT_FALSE(board.rear.stats().running);
    EXPECT_EQ(hw::mmio_read(hw::W99685::kRearBase + 0x1E, 1), 0u);
}

}  // namespace
