// camcore's character device against the models: load, open with its bring-up rules, the
// capture cycle, the frame area mapping, the requests, and the faults of a camera.
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string_view>
#include <thread>

#include "camcore_fixture.hpp"
#include "frame_number.hpp"

namespace {

using camtest::CamcoreTest;
using hw::SensorKind;

class DeviceType : public CamcoreTest, public ::testing::WithParamInterface<int> {
  protected:
    std::vector<std::string> params() override {
        return {"device_type=" + std::to_string(GetParam()), "selftest_rounds=1"};
    }
};

TEST_P(DeviceType, OpenResetsOnlyAsTheConfigurationNeeds) {
    EXPECT_TRUE(board.console_has("+++ w99685 driver version 1.126 - auto detect CMOS sensor +++"));
    EXPECT_TRUE(board.console_has("device type " + std::to_string(GetParam())));
    const int type = GetParam();

    simk::OpenFile* rear = open_minor(0);
    const size_t resets_after_rear = board.count_lines("reset backend device");
    if (type == 0) {
        EXPECT_TRUE(board.console_has("Disregard rear video open in TK500"));
        EXPECT_EQ(resets_after_rear, 0u);
        EXPECT_FALSE(board.rear.stats().running) << "the rear chip is never brought up";
        EXPECT_EQ(read_frame(rear), 0);
        unsigned char qp = 3;
        EXPECT_EQ(ioctl(rear, CAMERA_IOC_SET_QP, &qp), 0);
        EXPECT_EQ(ioctl(rear, 42), 0);
    } else {
        EXPECT_EQ(resets_after_rear, type == 1 ? 1u : 0u);
        EXPECT_TRUE(board.rear.stats().running);
    }

    open_minor(1);
    const size_t resets = board.count_lines("reset backend device");
    EXPECT_EQ(resets, type == 0 ? 1u : resets_after_rear) << "the front open resets only alone";
    // One train of four pulses resets both chips.
    EXPECT_EQ(board.front.snapshot().resets, 4 * resets);
    EXPECT_EQ(board.rear.snapshot().resets, 4 * resets);
    EXPECT_TRUE(board.front.stats().running);
    EXPECT_TRUE(board.console_has("Firmware version marjor 2,minor 15"));
}

INSTANTIATE_TEST_SUITE_P(Camcore, DeviceType, ::testing::Values(0, 1, 2));

using Device = CamcoreTest;

TEST_F(Device, LoadSetsUpTheBoardRegisters) {
    EXPECT_EQ(hw::mmio_read(0x56000050, 4) & 0xFFFF, 0x25Au);
    EXPECT_EQ(hw::mmio_read(0x56000088, 4), 0x33u);
    EXPECT_EQ(hw::mmio_read(0x4A000008, 4), 0x675D3DCCu);
    EXPECT_TRUE(board.console_has("s3c2410_reg_set: GPF con. register 25a "));
    EXPECT_TRUE(board.console_has("s3c2410_reg_set: INTMSK 675d3dcc"));
}

TEST_F(Device, OnlyMinorsZeroAndOneExist) {
    simk::OpenFile* f = nullptr;
    EXPECT_EQ(simk::dev_open(camtest::kMajor, 2, 02, task, &f), -EPERM);
    EXPECT_FALSE(board.console_has("Firmware download"));
}

using camtest::Cameras;
using camtest::kArea;
using camtest::kHalf;

// The requests and the frame area as user space has them from camcore.h.
static_assert(CAMERA_IOC_SET_QP == 5 && CAMERA_IOC_SET_RESOLUTION == 6);
static_assert(CAMERA_IOC_CLOCK_NORMAL == 7 && CAMERA_IOC_CLOCK_SLOW == 8);
static_assert(CAMERA_IOC_AUDIO_CLOCK_OFF == 9 && W99685_MAJOR == 240);
static_assert(W99685_AREA_SIZE == 409600 && W99685_REAR_OFFSET == 204800);
static_assert(sizeof(struct iic_cmd) == 4 && offsetof(struct iic_cmd, data) == 2);

sigjmp_buf bus_error_jump;
void on_bus_error(int) {
    siglongjmp(bus_error_jump, 1);
}

TEST_F(Cameras, TouchingPastTheAreaIsABusError) {
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    simk::MmapResult m;
    ASSERT_EQ(simk::dev_mmap(front, 4, kArea + page, PROT_READ, &m, task), 0);
    EXPECT_EQ(m.valid_length, kArea) << "through either minor, from the area's start";
    EXPECT_EQ(m.memfd_offset, 0) << "the mapping offset is ignored";
    auto* p = static_cast<volatile uint8_t*>(
        ::mmap(nullptr, kArea + page, PROT_READ, MAP_SHARED, m.memfd, m.memfd_offset));
    ASSERT_NE(p, MAP_FAILED);
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_bus_error;
    ::sigaction(SIGBUS, &sa, &old);
    bool faulted_inside = false, faulted_past = false;
    if (sigsetjmp(bus_error_jump, 1) == 0) {
        (void)p[kArea - 1];
    } else {
        faulted_inside = true;
    }
    if (sigsetjmp(bus_error_jump, 1) == 0) {
        (void)p[kArea];
    } else {
        faulted_past = true;
    }
    ::sigaction(SIGBUS, &old, nullptr);
    ::munmap(const_cast<uint8_t*>(p), kArea + page);
    EXPECT_FALSE(faulted_inside);
    EXPECT_TRUE(faulted_past);
}

TEST_F(Cameras, EveryRequestAnswersEnottyAndTheResolutionByteStays) {
    unsigned char resolution = 0x40;
    EXPECT_EQ(ioctl(rear, CAMERA_IOC_SET_RESOLUTION, &resolution), -ENOTTY);
    EXPECT_EQ(resolution, 0x40);
    EXPECT_EQ(board.front.snapshot().image_format, 0x20) << "the format set at bring-up stays";

    unsigned char qp = 2;
    EXPECT_EQ(ioctl(front, CAMERA_IOC_SET_QP, &qp), -ENOTTY);
    EXPECT_EQ(board.front.snapshot().qp, 2);
    EXPECT_TRUE(board.console_has("w99685_ioctl: Encoding QP set 2"));

    struct iic_cmd cmd {
        0x0A, 0x1234
    };
    EXPECT_EQ(ioctl(front, CAMERA_IOC_SENSOR_READ, &cmd), -ENOTTY);
    EXPECT_EQ(cmd.subaddr, 0x0A);
    EXPECT_EQ(cmd.data, 0x1234) << "request 3 only prints";
    EXPECT_TRUE(board.console_has("read value 0x77"));
    EXPECT_EQ(ioctl(rear, CAMERA_IOC_SENSOR_READ, &cmd), -ENOTTY);
    EXPECT_TRUE(board.console_has("read value 0000")) << "MT9V111 IFP page register 0x0A";

    unsigned short code = 1;
    EXPECT_EQ(ioctl(front, CAMERA_IOC_DIAG, &code), -ENOTTY);
    EXPECT_TRUE(board.console_has("drv result : Firmware version major 2,minor 15"));
    EXPECT_TRUE(board.console_has("GetImageFormat: format 20"));
    for (unsigned request : {9u, 0u, 10u, 0x4B00u}) {
        EXPECT_EQ(ioctl(front, request), -ENOTTY) << request;
    }
    EXPECT_EQ(hw::mmio_read(0x4C00000C, 4) & (1u << 17), 0u) << "request 9: IIS clock off";
}

TEST_F(Cameras, UnreadableArgumentsCountAsZero) {
    EXPECT_EQ(ioctl(front, CAMERA_IOC_SET_QP, 0x10UL), -ENOTTY);
    EXPECT_EQ(board.front.snapshot().qp, 0);
    board.clear_console();
    EXPECT_EQ(ioctl(front, CAMERA_IOC_SENSOR_WRITE, 0x10UL), -ENOTTY);
    EXPECT_TRUE(board.console_has("w99685_ioctl: iic wirte 0,0"));
}

TEST_F(Cameras, SensorRegisterWritesReachTheSensor) {
    struct iic_cmd cmd {
        0x15, 0x0042
    };
    EXPECT_EQ(ioctl(front, CAMERA_IOC_SENSOR_WRITE, &cmd), -ENOTTY);
    cmd = {0x15, 0};
    board.clear_console();
    ioctl(front, CAMERA_IOC_SENSOR_READ, &cmd);
    EXPECT_TRUE(board.console_has("read value 0x42"));
}

TEST_F(Cameras, ClockModesReprogramTheTickTimer) {
    EXPECT_EQ(ioctl(front, CAMERA_IOC_CLOCK_SLOW), -ENOTTY);
    EXPECT_EQ(board.soc.pwm.registers().tcntb[4], 9374u);
    EXPECT_TRUE(board.console_has("tcnt 249e"));
    EXPECT_TRUE(board.console_has("----- PLL OFF -> Slow Mode.. -----"));
    EXPECT_EQ(board.soc.clock.registers().mpllcon, 0x52013u);
    EXPECT_EQ(board.soc.uart.port(0).ubrdiv, 5u);
    EXPECT_EQ(board.soc.uart.port(1).ubrdiv, 72u);

    EXPECT_EQ(ioctl(rear, CAMERA_IOC_CLOCK_NORMAL), -ENOTTY);
    EXPECT_EQ(board.soc.pwm.registers().tcntb[4], 10561u);
    EXPECT_TRUE(board.console_has("tcnt 2941"));
    EXPECT_TRUE(board.console_has("----- PLL ON -> Normal Mode.. -----"));
    EXPECT_EQ(board.soc.clock.registers().mpllcon, 0xA1031u);
    EXPECT_EQ(board.soc.uart.port(2).ubrdiv, 329u);
    EXPECT_EQ(board.soc.clock.registers().clkcon & 0x380FCu, 0u)
        << "normal mode does not switch the slow mode's clocks back on";
    const uint32_t tcon = board.soc.pwm.registers().tcon;
    EXPECT_EQ(tcon & (7u << 20), (1u << 22) | (1u << 20)) << "auto-reload, started";
    EXPECT_EQ(board.soc.pwm.registers().tcfg0 & 0xFF00u, 0x0200u);
}

TEST_F(Cameras, DiagnosticSelfTestsPassOnAWorkingChip) {
    unsigned short code = 4;
    EXPECT_EQ(ioctl(front, CAMERA_IOC_DIAG, &code), -ENOTTY);
    EXPECT_TRUE(board.console_has("Test_W99685CMD_MassDataDMA: Pass=51200 "));
    EXPECT_TRUE(board.console_has("Test_W99685CMD_MassDataDMA: Error=0 "));
    code = 5;
    EXPECT_EQ(ioctl(front, CAMERA_IOC_DIAG, &code), -ENOTTY);
    EXPECT_TRUE(board.console_has("Test_W99685CMD_MassDataCMD: Pass=65536 "));
    EXPECT_TRUE(board.console_has("Test_W99685CMD_MassDataCMD: Error=0"));
    EXPECT_GT(read_frame(front), 0) << "the chip still captures afterwards";
}

TEST_F(Cameras, DiagnosticSelfTestsEndOnADeadChip) {
    board.rear.set_fault(hw::W99685::Fault::kBusy);
    unsigned short code = 5;
    EXPECT_EQ(ioctl(rear, CAMERA_IOC_DIAG, &code), -ENOTTY);
    EXPECT_TRUE(board.console_has("Test_W99685CMD_MassDataCMD: time out, test stopped"));
    code = 4;
    EXPECT_EQ(ioctl(rear, CAMERA_IOC_DIAG, &code), -ENOTTY);
    EXPECT_TRUE(board.console_has("Test_W99685CMD_MassDataDMA: time out, test stopped"));
}

TEST_F(Cameras, AReportedLengthPastTheHalfIsNotFetched) {
    board.front.set_fault(hw::W99685::Fault::kGarbageLength);
    EXPECT_EQ(read_frame(front), 0);
    EXPECT_TRUE(board.console_has("SingleCapture: reported length"));
    EXPECT_EQ(board.front.snapshot().data_bytes_read, 0u);
    board.front.set_fault(hw::W99685::Fault::kNone);
    EXPECT_GT(read_frame(front), 0);
}

TEST_F(Cameras, ACommandRegisterStuckBusyFailsTheCaptureWithCaptureError) {
    board.rear.set_fault(hw::W99685::Fault::kBusy);
    EXPECT_EQ(read_frame(rear), 0);
    EXPECT_TRUE(board.console_has("Capture Error"));
    board.rear.set_fault(hw::W99685::Fault::kNone);
    EXPECT_GT(read_frame(rear), 0);
}

TEST_F(Cameras, AMissingInterruptStillFetchesTheFrameAfterTheWait) {
    board.front.set_fault(hw::W99685::Fault::kNoInterrupt);
    const auto start = std::chrono::steady_clock::now();
    const long length = read_frame(front);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(frame_at(0, length));
    EXPECT_GE(waited, std::chrono::milliseconds(4900));
}

TEST_F(Cameras, AVanishedSensorGivesNoFrame) {
    board.rear.set_sensor(SensorKind::kNone);
    EXPECT_EQ(read_frame(rear), 0);
    EXPECT_GT(read_frame(front), 0);
}

TEST_F(Cameras, TheQuantiserSetsTheFrameSize) {
    std::vector<long> sizes;
    for (unsigned char qp = 0; qp <= 5; ++qp) {
        ioctl(front, CAMERA_IOC_SET_QP, &qp);
        sizes.push_back(read_frame(front));
    }
    for (size_t qp = 1; qp < sizes.size(); ++qp) EXPECT_LT(sizes[qp], sizes[qp - 1]) << qp;
    EXPECT_LT(sizes[0], 98304) << "even the finest quantiser stays a valid frame for the recorder";
    EXPECT_GE(sizes[4], 20000);
    EXPECT_LE(sizes[4], 60000);
}

// Each frame names the sensor frame it was taken from, in a comment a program can read: the
// benchmarks count the frames a recording lost by the gaps between these numbers.
TEST_F(Cameras, FramesCarryTheSensorFrameNumber) {
    hw::camera_scene::Params p;
    p.frame = 123456;
    EXPECT_EQ(benchframe::frame_number(hw::camera_scene::render_jpeg(p)), 123456u);

    std::vector<uint64_t> numbers;
    for (int i = 0; i < 3; ++i) {
        const long length = read_frame(front);
        ASSERT_GT(length, 0);
        const auto n = benchframe::frame_number(std::span<const uint8_t>(area, size_t(length)));
        ASSERT_TRUE(n.has_value()) << "frame " << i;
        numbers.push_back(*n);
    }
    EXPECT_TRUE(frame_at(0, read_frame(front))) << "the comment leaves a valid JPEG";
    EXPECT_LT(numbers[0], numbers[1]) << "every capture takes a later sensor frame";
    EXPECT_LT(numbers[1], numbers[2]);
}

TEST_F(Cameras, JpegFilesCanReplaceTheScene) {
    hw::camera_scene::Params p;
    p.label = "ONE";
    const auto one = hw::camera_scene::render_jpeg(p);
    p.label = "TWO";
    p.width = 320;
    p.height = 240;
    const auto two = hw::camera_scene::render_jpeg(p);
    board.rear.set_jpeg_source({one, two});
    // The sensor's frame number picks the file. At a frame a second, each read is done long
    // before the next frame, so two reads get two frames in a row, however busy the machine.
    board.rear.set_frame_rate(1);
    std::vector<std::vector<uint8_t>> seen;
    for (int i = 0; i < 2; ++i) {
        const long length = read_frame(rear);
        ASSERT_GT(length, 0);
        seen.emplace_back(area + kHalf, area + kHalf + length);
    }
    EXPECT_NE(seen[0], seen[1]) << "the files come in turn";
    for (const auto& frame : seen) EXPECT_TRUE(frame == one || frame == two);
}

// Reads and requests on one minor from several threads, as the recorder's capture thread,
// parking timer and mode changes make them: each cycle keeps the command register to itself.
TEST_F(Cameras, ConcurrentCallsOnOneMinorDoNotInterleave) {
    board.front.set_frame_rate(0);
    std::atomic<int> bad{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 15; ++i) {
                if (read_frame(front) <= 0) ++bad;
            }
        });
    }
    std::thread requests([&] {
        unsigned char qp = 4;
        struct iic_cmd cmd {
            0x0A, 0
        };
        while (!done) {
            ioctl(front, CAMERA_IOC_SET_QP, &qp);
            ioctl(front, CAMERA_IOC_SENSOR_READ, &cmd);
        }
    });
    for (auto& t : readers) t.join();
    done = true;
    requests.join();
    EXPECT_EQ(bad, 0);
    EXPECT_FALSE(board.console_has("time out"));
    EXPECT_TRUE(frame_at(0, read_frame(front)));
}

// ---- A dead coprocessor ----------------------------------------------------------------------

TEST_F(Device, ABringUpThatTimesOutSaysWhyAndReadsGiveZero) {
    board.rear.set_fault(hw::W99685::Fault::kBusy);
    simk::OpenFile* rear = open_minor(0);
    EXPECT_TRUE(board.console_has("DownloadFirmware: coprocessor program not running (status d0)"));
    EXPECT_FALSE(board.console_has("Firmware version marjor"));
    const uint64_t writes = board.rear.snapshot().parameter_writes;
    EXPECT_EQ(read_frame(rear), 0);
    EXPECT_EQ(board.rear.snapshot().parameter_writes, writes)
        << "the read does not talk to a dead chip";
    EXPECT_FALSE(board.console_has("Capture Error"));
    // Nor do the requests that would command it (a sweep would wait out every frame's time-out);
    // the clock requests, which do not involve it, still work.
    EXPECT_EQ(ioctl(rear, CAMERA_IOC_COM10_SWEEP), -ENOTTY);
    unsigned char qp = 5;
    EXPECT_EQ(ioctl(rear, CAMERA_IOC_SET_QP, &qp), -ENOTTY);
    EXPECT_EQ(board.count_lines("w99685_ioctl: request"), 2u);
    EXPECT_FALSE(board.console_has("Encoding QP set"));
    EXPECT_EQ(board.rear.snapshot().parameter_writes, writes);
    EXPECT_EQ(ioctl(rear, CAMERA_IOC_CLOCK_SLOW), -ENOTTY);
    EXPECT_TRUE(board.console_has("PLL OFF -> Slow Mode"));
    simk::OpenFile* front = open_minor(1);
    EXPECT_GT(read_frame(front), 0) << "the other camera works";
    close_file(rear);
    board.rear.set_fault(hw::W99685::Fault::kNone);
    rear = open_minor(0);
    EXPECT_GT(read_frame(rear), 0) << "a new open brings the recovered chip up";
}

// ---- Sensor detection ----------------------------------------------------------------------

struct SensorCase {
    SensorKind kind;
    const char* front_line;
    const char* rear_line;
};

// Both cameras with the same sensor, opened (and mapped) as in Cameras.
class Detection : public Cameras, public ::testing::WithParamInterface<SensorCase> {
  protected:
    Detection() : Cameras(GetParam().kind, GetParam().kind) {}
    std::vector<std::string> params() override { return {"device_type=1"}; }
};

TEST_P(Detection, EachSensorIsFoundAndSetUp) {
    EXPECT_EQ(board.count_lines(GetParam().front_line), 1u);
    EXPECT_EQ(board.count_lines(GetParam().rear_line), 1u);
    const SensorKind kind = GetParam().kind;
    if (kind == SensorKind::kMt9v111) {
        EXPECT_TRUE(board.console_has("MT9V111 initialize..."));
        EXPECT_TRUE(board.console_has("read Sensor ID 823a"));
        EXPECT_TRUE(board.console_has("IIC read 5 22"));
        EXPECT_TRUE(board.console_has("IIC read 6 4c"));
    }
    if (kind == SensorKind::kMt9m112d || kind == SensorKind::kNone) {
        EXPECT_EQ(board.count_lines("MT9M112d initialize..."), 2u)
            << "an unknown sensor gets them too";
        EXPECT_EQ(board.front.snapshot().internal[0xB048], 0x11);
        EXPECT_EQ(board.front.snapshot().internal[0xB041], 0x4E);
        EXPECT_EQ(board.front.snapshot().internal[0xB042], 0x06);
    }
    if (kind == SensorKind::kMt9m112d) {
        EXPECT_TRUE(board.console_has("read Sensor ID 148c"));
        EXPECT_TRUE(board.console_has("IIC read 0x2e c44"));
        EXPECT_TRUE(board.console_has("IIC read 0x2e c32"));
        EXPECT_TRUE(board.console_has("IIC read 0xd2 ff"));
        unsigned char qp = 3;
        ioctl(front, CAMERA_IOC_SET_QP, &qp);
        EXPECT_TRUE(board.console_has("!!!!!!!!!!!!! Use Scaler... !!!!!!!!!!!!!!!!!"));
        EXPECT_EQ(board.front.snapshot().qp, 3);
    }
    if (kind == SensorKind::kOv7725) {
        EXPECT_FALSE(board.console_has("write IIC 16bit")) << "an 8-bit sensor";
    }
    if (kind == SensorKind::kNone) {
        EXPECT_EQ(read_frame(front), 0);
    } else {
        EXPECT_GT(read_frame(rear), 0);
        EXPECT_TRUE(frame_at(0, read_frame(front)));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Camcore, Detection,
    ::testing::Values(
        SensorCase{SensorKind::kOv7725, "***** Find OV7725 CMOS sensor - Front Sensor *****",
                   "***** Find OV7725 CMOS sensor - Rear Sensor *****"},
        SensorCase{SensorKind::kMt9v111, "***** Find MT9V111 CMOS sensor - Front Sensor *****",
                   "***** Find MT9V111 CMOS sensor - Rear Sensor *****"},
        SensorCase{SensorKind::kMt9m112d,
                   "***** Find MT9M112D 1.3M CMOS sensor - Front Sensor *****",
                   "*****  Find MT9M112D 1.3M CMOS sensor - Rear Sensor *****"},
        SensorCase{SensorKind::kNone,
                   "***** Could not find a type of CMOS sensor - Front Sensor ffff*****",
                   "***** Could not find a type of CMOS sensor - Rear Sensor ffff*****"}),
    [](const ::testing::TestParamInfo<SensorCase>& info) {
        return std::string(hw::sensor_kind_name(info.param.kind));
    });

// ---- The tick timer's halts ------------------------------------------------------------------

using TimerDeathTest = CamcoreTest;

TEST_F(TimerDeathTest, AClockTooFastForTheTickHaltsTheBoard) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CAMCORE_FN(s3c2410_timer_setup)(78644399);
    EXPECT_EQ(board.soc.pwm.registers().tcntb[4], 0xFFFFu) << "the largest count still fits";
    simk::set_panic_handler([](std::string_view msg) {
        std::fprintf(stderr, "halted: %.*s\n", static_cast<int>(msg.size()), msg.data());
        std::_Exit(3);
    });
    EXPECT_EXIT(CAMCORE_FN(s3c2410_timer_setup)(78644400), ::testing::ExitedWithCode(3),
                "halted: setup_timer: HZ is too small, cannot configure timer!");
    simk::set_panic_handler(nullptr);
}

}  // namespace
