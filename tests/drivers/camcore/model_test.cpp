// The W99685 model refuses what the chip refuses. Each rule is driven with the wrong sequence,
// through the host registers directly or by camcore built to make the mistake
// (camcore_faults.so, CAMCORE_TEST_FAULTS), and the test sees what the chip would give.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include "camcore_fixture.hpp"
#include "eventually.hpp"

extern "C" {
#include <asm/io.h>
}

namespace {

using camtest::CamcoreTest;
using camtest::Cameras;
using camtest::Picture;
using hw::SensorKind;
using hw::W99685;
using namespace std::chrono_literals;

constexpr unsigned kP0 = 2, kP3 = 5, kSub = 6, kCmd = 7;

uint8_t host(uint32_t base, unsigned n) {
    return static_cast<uint8_t>(hw::mmio_read(base + 0x10 + 2 * n, 1));
}
void set_host(uint32_t base, unsigned n, uint8_t v) {
    hw::mmio_write(base + 0x10 + 2 * n, v, 1);
}
// A command frame written at once, whatever the status says.
void frame_now(uint32_t base, uint8_t cmd, uint8_t sub, std::array<uint8_t, 4> p) {
    for (unsigned i = 0; i < 4; ++i) set_host(base, kP0 + i, p[i]);
    set_host(base, kSub, sub);
    set_host(base, kCmd, cmd);
}

// A device record of the test's own for one coprocessor: frames sent outside a driver's cycle.
struct Record {
    explicit Record(bool front) {
        std::memset(&dev, 0, sizeof dev);
        dev.paddr = front ? W99685_FRONT_PADDR : W99685_REAR_PADDR;
        dev.irq = front ? W99685_FRONT_IRQ : W99685_REAR_IRQ;
        dev.reg_base = static_cast<unsigned char*>(ioremap(dev.paddr, W99685_WINDOW_SIZE));
    }
    ~Record() { iounmap(dev.reg_base); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    W99685_DEV dev;
};

bool upright(const Picture& p) {
    return p.width > 0 && p.mean(2, 0, 0.1) > p.mean(2, 0.9, 1) + 60;
}
bool upside_down(const Picture& p) {
    return p.width > 0 && p.mean(2, 0.9, 1) > p.mean(2, 0, 0.1) + 60;
}

// ---- The host interface ------------------------------------------------------------------------

// The front coprocessor with its program running; no sensor brought up.
class Chip : public CamcoreTest {
  protected:
    void SetUp() override {
        CamcoreTest::SetUp();
        ASSERT_NE(front.dev.reg_base, nullptr);
        ASSERT_EQ(CAMCORE_FN(DownloadFirmware)(&front.dev), 0);
    }
    uint8_t status() { return host(W99685::kFrontBase, kCmd); }

    Record front{true};
};

TEST_F(Chip, ACommandWrittenWhileBusyIsLostAndItsReplyComesWhenBusyClears) {
    board.front.set_fault(W99685::Fault::kBusyAfterCommand);  // the next command runs on
    frame_now(W99685::kFrontBase, 0x57, 0x0A, {0x11, 0x22, 0x33, 0x44});  // GetImageFormat
    EXPECT_EQ(status(), 0xD0);
    EXPECT_EQ(host(W99685::kFrontBase, kP3), 0x44) << "no reply before busy clears";
    frame_now(W99685::kFrontBase, 0x57, 0x09, {0, 0, 0, 0x08});  // SetImageFormat(8)
    auto s = board.front.snapshot();
    EXPECT_EQ(s.ignored_commands, 1u);
    EXPECT_EQ(s.commands.size(), 1u);
    EXPECT_EQ(s.image_format, 0x20);

    board.front.set_fault(W99685::Fault::kNone);
    EXPECT_EQ(status(), 0x50);
    EXPECT_EQ(host(W99685::kFrontBase, kP3), 0x20) << "the reply, once busy cleared";
    EXPECT_EQ(host(W99685::kFrontBase, kP0), 0x00);
}

TEST_F(Chip, ADataPortReadBeforeTheBlockIsThereGetsNothing) {
    auto t = board.front.timing();
    t.block = 1s;
    board.front.set_timing(t);
    std::vector<uint8_t> bytes(1024);
    std::iota(bytes.begin(), bytes.end(), uint8_t{1});
    board.front.load_data_for_host(bytes);
    EXPECT_EQ(status(), 0xD8) << "busy and data: the block is on its way";
    EXPECT_EQ(host(W99685::kFrontBase, 0), 0xFF);
    EXPECT_EQ(board.front.snapshot().early_data_reads, 1u);
    EXPECT_EQ(board.front.snapshot().data_bytes_read, 0u);

    ASSERT_TRUE(testsupport::eventually([&] { return status() == 0x58; }));
    std::vector<uint8_t> got;
    for (int i = 0; i < 512; ++i) got.push_back(host(W99685::kFrontBase, 0));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), bytes.begin())) << "nothing lost or shifted";
    EXPECT_EQ(status(), 0xD8) << "the second block on its way";
}

TEST_F(Chip, BytesLeftInThePortComeOutAheadOfTheNextTransfer) {
    std::vector<uint8_t> first(1024), second(512, 0xEE);
    std::iota(first.begin(), first.end(), uint8_t{1});
    board.front.load_data_for_host(first);
    std::vector<uint8_t> got(1024);
    ASSERT_EQ(CAMCORE_FN(w99685_bf_read)(got.data(), 600, &front.dev), 600);  // whole blocks: 1024
    EXPECT_EQ(board.front.snapshot().data_bytes_read, 1024u);

    // The mistake: 600 bytes taken of two blocks.
    board.front.load_data_for_host(first);
    // Reads `chunks` bytes after a wait for data ready before each chunk.
    const auto read_ready = [&](std::initializer_list<size_t> chunks) {
        std::vector<uint8_t> out;
        for (const size_t chunk : chunks) {
            EXPECT_TRUE(testsupport::eventually([&] { return status() == 0x58; }));
            for (size_t i = 0; i < chunk; ++i) out.push_back(host(W99685::kFrontBase, 0));
        }
        return out;
    };
    read_ready({512, 88});
    board.front.load_data_for_host(second);
    // What was left comes first, as a block of its own; the new bytes follow.
    const std::vector<uint8_t> next = read_ready({424, 88});
    EXPECT_TRUE(std::equal(next.begin(), next.begin() + 424, first.begin() + 600));
    EXPECT_TRUE(std::all_of(next.begin() + 424, next.end(), [](uint8_t b) { return b == 0xEE; }));
    EXPECT_EQ(board.front.snapshot().leftover_transfers, 1u);
}

// ---- The sensor bus, the sensor, the picture -----------------------------------------------

// Both cameras brought up by camcore, with records of the test's own for frames in between.
class Running : public Cameras {
  protected:
    Record front_chip{true};
    Record rear_chip{false};
};

TEST_F(Running, EachDeviceOnTheSensorBusIsSpokenToInItsDeclaredProtocol) {
    unsigned char v = 0;
    ASSERT_EQ(CAMCORE_FN(iic_read)(0x42, 0x0A, &v, &front_chip.dev), 0);
    EXPECT_EQ(v, 0x77) << "the OV7725, declared SCCB at bring-up";
    // Declared I2C, the read's repeated start leaves the register the port latched before.
    CAMCORE_FN(SetSensorSlaveAddress)(0x42, 0, &front_chip.dev);
    ASSERT_EQ(CAMCORE_FN(iic_read)(0x42, 0x0B, &v, &front_chip.dev), 0);
    EXPECT_EQ(v, 0x77);

    // The MT9V111 declared SCCB: one byte of each value moves.
    unsigned short w = 0;
    CAMCORE_FN(SetSensorSlaveAddress)(0xB8, 1, &rear_chip.dev);
    ASSERT_EQ(CAMCORE_FN(iic_read16bit)(0xB8, 0xFF, &w, &rear_chip.dev), 0);
    EXPECT_EQ(w, 0x8200);
    CAMCORE_FN(iic_write16bit)(0xB8, 0x06, 0x0099, &rear_chip.dev);
    CAMCORE_FN(SetSensorSlaveAddress)(0xB8, 0, &rear_chip.dev);
    ASSERT_EQ(CAMCORE_FN(iic_read16bit)(0xB8, 0x06, &w, &rear_chip.dev), 0);
    EXPECT_EQ(w, 0x004C) << "half a register is not written";
    ASSERT_EQ(CAMCORE_FN(iic_read16bit)(0xB8, 0xFF, &w, &rear_chip.dev), 0);
    EXPECT_EQ(w, 0x823A);
}

TEST_F(Running, TheSensorAnswersOnlyAfterAFullResetWithItsSupplySettled) {
    auto t = board.rear.timing();
    t.reset_pulse = 200ms;
    t.supply_settle = 200ms;
    board.rear.set_timing(t);
    unsigned short w = 0;
    const auto id = [&] {
        w = 0;
        CAMCORE_FN(iic_read16bit)(0xB8, 0xFF, &w, &rear_chip.dev);
        return w;
    };
    // A pulse much shorter than the reset the sensor wants leaves it silent.
    CAMCORE_FN(SetPort30)(0, &rear_chip.dev);
    CAMCORE_FN(SetPort30)(1, &rear_chip.dev);
    EXPECT_FALSE(board.rear.snapshot().sensor_answering);
    EXPECT_EQ(id(), 0xFFFF);
    // Power cycled with the reset held, released before the supply settled: still silent.
    CAMCORE_FN(SetPort31)(0, &rear_chip.dev);
    CAMCORE_FN(SetPort30)(0, &rear_chip.dev);
    CAMCORE_FN(SetPort31)(1, &rear_chip.dev);
    CAMCORE_FN(SetPort30)(1, &rear_chip.dev);
    EXPECT_FALSE(board.rear.snapshot().sensor_answering);
    // A reset long enough after the supply settled.
    CAMCORE_FN(SetPort30)(0, &rear_chip.dev);
    std::this_thread::sleep_for(450ms);
    CAMCORE_FN(SetPort30)(1, &rear_chip.dev);
    ASSERT_TRUE(testsupport::eventually([&] { return board.rear.snapshot().sensor_answering; }));
    CAMCORE_FN(SetSensorSlaveAddress)(0xB8, 0, &rear_chip.dev);
    CAMCORE_FN(iic_write16bit)(0xB8, 0x01, 0x0004, &rear_chip.dev);
    EXPECT_EQ(id(), 0x823A);
}

TEST_F(Running, ASnapshotGetsAFrameOnlyInJpegCaptureModeAndKnownFormats) {
    EXPECT_EQ(board.front.snapshot().capture_problem,
              "snapshot outside JPEG capture mode (mode 1, output 0)")
        << "as the program starts";
    CAMCORE_FN(SetOpMode)(0, 2, 1, &front_chip.dev);
    EXPECT_EQ(board.front.snapshot().capture_problem, "");

    struct Case {
        int (*wrong)(W99685_DEV*);
        int (*right)(W99685_DEV*);
        const char* problem;
    };
    const Case cases[] = {
        {[](W99685_DEV* d) { return CAMCORE_FN(SetOpMode)(0, 1, 1, d); },
         [](W99685_DEV* d) { return CAMCORE_FN(SetOpMode)(0, 2, 1, d); }, "capture mode"},
        {[](W99685_DEV* d) { return CAMCORE_FN(SetImageFormat)(0x10, d); },
         [](W99685_DEV* d) { return CAMCORE_FN(SetImageFormat)(0x20, d); }, "image format 10"},
        {[](W99685_DEV* d) { return CAMCORE_FN(SetJPEGFormat)(2, d); },
         [](W99685_DEV* d) { return CAMCORE_FN(SetJPEGFormat)(0, d); }, "JPEG format 2"},
        {[](W99685_DEV* d) { return CAMCORE_FN(SetSensorInputFormat)(0x03, d); },
         [](W99685_DEV* d) { return CAMCORE_FN(SetSensorInputFormat)(0xE3, d); }, "no YUV"},
        {[](W99685_DEV* d) { return CAMCORE_FN(SetSensorInputFormat)(0xF3, d); },
         [](W99685_DEV* d) { return CAMCORE_FN(SetSensorInputFormat)(0xE3, d); }, "no frame sync"},
    };
    for (const Case& c : cases) {
        c.wrong(&front_chip.dev);
        EXPECT_NE(board.front.snapshot().capture_problem.find(c.problem), std::string::npos)
            << c.problem << ": " << board.front.snapshot().capture_problem;
        c.right(&front_chip.dev);
        EXPECT_EQ(board.front.snapshot().capture_problem, "") << c.problem;
    }
    // And the snapshot in an unknown format gets no frame.
    const uint64_t frames = board.front.snapshot().frames;
    CAMCORE_FN(SetImageFormat)(0x10, &front_chip.dev);
    CAMCORE_FN(FastSnapShot)(0, &front_chip.dev);
    unsigned int size = 1;
    ASSERT_EQ(CAMCORE_FN(SingleCapture)(area, &size, &front_chip.dev), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(board.front.snapshot().frames, frames);
}

TEST_F(Running, TheSensorsRegistersAndTheInputFormatShapeThePicture) {
    EXPECT_TRUE(upright(front_picture())) << "the OV7725's table flips and mirrors it";

    struct iic_cmd com3 {
        0x0C, 0x10
    };
    ioctl(front, CAMERA_IOC_SENSOR_WRITE, &com3);
    EXPECT_TRUE(upside_down(front_picture())) << "COM3 at its reset value";

    com3.data = 0xD1;  // the colour bar test pattern
    ioctl(front, CAMERA_IOC_SENSOR_WRITE, &com3);
    Picture bars = front_picture();
    EXPECT_GT(bars.mean(0, 0, 1, 0, 0.1), 200) << "a white bar at the left";
    EXPECT_LT(bars.mean(0, 0, 1, 0.9, 1), 40) << "a black bar at the right";

    com3.data = 0xD0;
    ioctl(front, CAMERA_IOC_SENSOR_WRITE, &com3);
    Picture right = front_picture();
    ASSERT_TRUE(upright(right));
    EXPECT_GT(right.mean(2, 0, 0.1), right.mean(0, 0, 0.1) + 40) << "a blue sky";
    // The input format with the components in the wrong order, or the wrong clock edge.
    for (uint8_t format : {0xE1, 0xE2}) {
        CAMCORE_FN(SetSensorInputFormat)(format, &front_chip.dev);
        Picture garbled = front_picture();
        EXPECT_GT(garbled.mean(0, 0, 0.1), garbled.mean(2, 0, 0.1) + 40) << int(format);
    }
}

TEST_F(Running, TheLcdPreviewNeedsSettingsTheModuleCanShow) {
    unsigned short code = 6;  // PreviewLCM
    ioctl(front, CAMERA_IOC_DIAG, &code);
    auto lcd = board.front.snapshot().lcd;
    EXPECT_TRUE(lcd.module.preview);
    EXPECT_EQ(lcd.refused, "LCD control mode is not 1") << "the host owns the LCD bus";
    EXPECT_EQ(lcd.module.window_width, 128u);
    EXPECT_EQ(lcd.module.height, 161u);

    code = 8;  // SetLCMControlMode(1)
    ioctl(front, CAMERA_IOC_DIAG, &code);
    ASSERT_TRUE(
        testsupport::eventually([&] { return board.front.snapshot().lcd.preview_frames >= 2; }));
    lcd = board.front.snapshot().lcd;
    EXPECT_EQ(lcd.refused, "");
    const auto lit = std::count_if(lcd.memory.begin(), lcd.memory.begin() + 128 * 160,
                                   [](uint16_t px) { return px != 0; });
    EXPECT_GT(lit, 128 * 160 / 2) << "the camera's picture in the window";

    CAMCORE_FN(LCDWriteCMDAddrWORD)(0x15, &front_chip.dev);
    EXPECT_EQ(board.front.snapshot().lcd.lost_writes, 1u) << "the coprocessor owns the LCD bus";

    CAMCORE_FN(SetLCMWndSize)(128, 162, &front_chip.dev);
    EXPECT_EQ(board.front.snapshot().lcd.refused, "window outside the panel");
    CAMCORE_FN(SetLCMWndSize)(128, 160, &front_chip.dev);
    CAMCORE_FN(SelectLCM)(2, &front_chip.dev);
    EXPECT_EQ(board.front.snapshot().lcd.refused, "no LCD module selected");
}

// ---- camcore making one mistake --------------------------------------------------------------

class Mistake : public Cameras {
  protected:
    explicit Mistake(int fault, SensorKind rear = SensorKind::kMt9v111,
                     SensorKind front = SensorKind::kOv7725)
        : Cameras(rear, front, CAMCORE_FAULTS_PATH), fault_(fault) {}
    std::vector<std::string> params() override {
        return {"device_type=1", "test_fault=" + std::to_string(fault_)};
    }
    // Stretches one of the front chip's times, before the cameras are opened.
    template <typename F>
    void front_timing(F change) {
        auto t = board.front.timing();
        change(t);
        board.front.set_timing(t);
    }

  private:
    int fault_;
};

struct TypeOneWithoutWait : Mistake {
    TypeOneWithoutWait() : Mistake(FAULT_TYPE1_NO_WAIT) {}
};

TEST_F(TypeOneWithoutWait, FramesWrittenWhileTheChipIsBusyAreLost) {
    // The 255 writes of the OV7725's table, each on the bus for about 110 us, written back to
    // back: nearly all of them find the chip busy.
    EXPECT_GE(board.front.snapshot().ignored_commands, 200u);
}

struct RepliesWithoutWait : Mistake {
    RepliesWithoutWait() : Mistake(FAULT_REPLY_NO_WAIT) {
        front_timing([](W99685::Timing& t) { t.sensor_bus_byte = 2ms; });
    }
};

TEST_F(RepliesWithoutWait, ReadBeforeBusyClearsAReplyIsTheParameters) {
    EXPECT_EQ(board.count_lines("Could not find a type of CMOS sensor - Front Sensor 0*****"), 1u)
        << "the sensor identities read as the frames' own zeros";
}

struct DataReadyFromBitThree : Mistake {
    DataReadyFromBitThree() : Mistake(FAULT_DATA_BIT3_ONLY) {
        front_timing([](W99685::Timing& t) { t.block = 1ms; });
    }
};

TEST_F(DataReadyFromBitThree, BlocksAreReadBeforeTheyAreThere) {
    const long length = read_frame(front);
    ASSERT_GT(length, 1024);
    EXPECT_GT(board.front.snapshot().early_data_reads, 0u);
    const auto floating = std::count(area + 512, area + 1024, 0xFF);
    EXPECT_GT(floating, 256) << "the second block read while the port was filling";
    Picture pic;
    EXPECT_FALSE(camtest::decode_jpeg(area, size_t(length), pic));
}

struct LastBlockShort : Mistake {
    LastBlockShort() : Mistake(FAULT_LAST_BLOCK_SHORT) {}
};

TEST_F(LastBlockShort, TheBytesLeftInThePortLeadTheNextFrame) {
    std::vector<bool> starts_right;
    for (int i = 0; i < 3; ++i) {
        ASSERT_GT(read_frame(front), 0);
        starts_right.push_back(area[0] == 0xFF && area[1] == 0xD8);
    }
    EXPECT_TRUE(starts_right[0]);
    EXPECT_FALSE(starts_right[1] && starts_right[2]);
    EXPECT_GE(board.front.snapshot().leftover_transfers, 1u);
}

struct SensorWithoutWaits : Mistake {
    SensorWithoutWaits() : Mistake(FAULT_SENSOR_NO_WAITS) {
        front_timing([](W99685::Timing& t) { t.reset_pulse = 15ms; });
    }
};

TEST_F(SensorWithoutWaits, APulseTooShortLeavesTheSensorSilent) {
    EXPECT_EQ(board.count_lines("Could not find a type of CMOS sensor - Front Sensor ffff*****"),
              1u);
    EXPECT_FALSE(board.front.snapshot().sensor_answering);
}

struct SensorWithoutTable : Mistake {
    explicit SensorWithoutTable(SensorKind kind = SensorKind::kOv7725)
        : Mistake(FAULT_SENSOR_NO_TABLE, kind, kind) {}
};

TEST_F(SensorWithoutTable, TheOv7725PictureComesUpsideDown) {
    EXPECT_TRUE(upside_down(front_picture()));
}

struct Mt9m112dWithoutTable : SensorWithoutTable {
    Mt9m112dWithoutTable() : SensorWithoutTable(SensorKind::kMt9m112d) {}
};

TEST_F(Mt9m112dWithoutTable, ThePictureIsTheTopLeftOfTheFullFrame) {
    const Picture p = front_picture();
    ASSERT_EQ(p.width, 640u);
    // Two fifths of the way down the full frame is the horizon; in its top-left quarter the sky
    // and the houses reach far down the picture.
    EXPECT_GT(p.mean(2, 0.5, 0.75), 140) << "sky where the road should be";
}

}  // namespace
