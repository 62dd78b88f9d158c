// The board's devices in-process: the RTC chip, /dev/i2c-0, /dev/watchdog and /dev/dsp through
// the simulated kernel's file calls, prompt recognition. The codec, the recorder's own I2C
// accesses and the playback FIFO are checked on the whole board (board_run_test).
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "hw.hpp"
#include "le.hpp"
#include "peers/audio.hpp"
#include "peers/i2c.hpp"
#include "peers/watchdog.hpp"
#include "peers_support.hpp"
#include "rtc.hpp"
#include "simk.hpp"

namespace {

using namespace simboard::peers;
using hw::from_bcd;
using hw::parse_rtc_date;
using hw::Rtc;
using hw::to_bcd;
using peerstest::TempDir;
namespace fs = std::filesystem;

// ---- RTC ---------------------------------------------------------------------------------------

class FakeClock {
  public:
    double now = 1718195696.25;  // 2024-06-12 12:34:56.25 UTC
    Rtc::Clock fn() {
        return [this] { return now; };
    }
};

std::array<uint8_t, 7> read_time(Rtc& rtc) {
    const uint8_t zero = 0;
    rtc.write({&zero, 1});
    std::array<uint8_t, 7> r{};
    rtc.read(r);
    return r;
}

TEST(Rtc, RunsInRealTimeFromWhatWasWritten) {
    FakeClock clock;
    Rtc rtc(clock.fn());
    // The recorder's write: pointer 0, then seconds .. year in BCD, day of week 0.
    const std::array<uint8_t, 8> set = {0x00, 0x58, 0x59, 0x23, 0x00, 0x31, 0x12, 0x99};
    rtc.write(set);
    EXPECT_EQ(read_time(rtc), (std::array<uint8_t, 7>{0x58, 0x59, 0x23, 0x00, 0x31, 0x12, 0x99}));
    clock.now += 1.5;
    EXPECT_EQ(read_time(rtc), (std::array<uint8_t, 7>{0x59, 0x59, 0x23, 0x00, 0x31, 0x12, 0x99}));
    clock.now += 1;  // into the next century: the chip has two year digits
    EXPECT_EQ(read_time(rtc), (std::array<uint8_t, 7>{0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00}));
    EXPECT_NE(rtc.describe().find("2000-01-01 00:00:00 running"), std::string::npos);
}

TEST(Rtc, PointerWrapsAndPartialWritesKeepTheRest) {
    FakeClock clock;
    Rtc rtc(clock.fn());
    rtc.set({2012, 2, 28, 23, 59, 30});
    const std::array<uint8_t, 2> minutes = {0x01, 0x10};  // only the minutes
    rtc.write(minutes);
    EXPECT_EQ(read_time(rtc)[1], 0x10);
    EXPECT_EQ(read_time(rtc)[2], 0x23);
    const uint8_t seven = 7;
    rtc.write({&seven, 1});
    std::array<uint8_t, 3> r{};
    rtc.read(r);  // control, then back to seconds and minutes
    EXPECT_EQ(r[1], 0x30);
    EXPECT_EQ(r[2], 0x10);
    clock.now += 24 * 3600;  // through a leap day
    const auto t = read_time(rtc);
    EXPECT_EQ(t[4], 0x29);
    EXPECT_EQ(t[5], 0x02);
    EXPECT_EQ(t[3], 0x04);  // Tuesday 28th, then Wednesday (Sunday is 1)
}

TEST(Rtc, AHaltedOrMeaninglessClockStandsStill) {
    FakeClock clock;
    Rtc rtc(clock.fn());
    rtc.flat_battery();
    const auto halted = read_time(rtc);
    EXPECT_EQ(halted[0], 0x80);  // clock halt
    clock.now += 100;
    EXPECT_EQ(read_time(rtc), halted);
    EXPECT_NE(rtc.describe().find("halted at 2000-01-01 00:00:00"), std::string::npos);
    // Starting it again: seconds written with bit 7 clear.
    const std::array<uint8_t, 2> go = {0x00, 0x05};
    rtc.write(go);
    clock.now += 2;
    EXPECT_EQ(read_time(rtc)[0], 0x07);
    // A month of 13 is no date: it stands, as it was written.
    const std::array<uint8_t, 2> month = {0x05, 0x13};
    rtc.write(month);
    clock.now += 5;
    EXPECT_EQ(read_time(rtc)[0], 0x07);
    EXPECT_NE(rtc.describe().find("no valid date"), std::string::npos);
}

TEST(Rtc, StateSurvivesInItsFileAndADamagedFileIsAFlatBattery) {
    TempDir dir;
    const fs::path file = dir.path() / "rtc";
    FakeClock clock;
    std::string message;
    {
        Rtc rtc(clock.fn());
        rtc.load(file, message);
        EXPECT_NE(message.find("new clock"), std::string::npos);
        EXPECT_NE(message.find("2024-06-12 12:34:56"), std::string::npos) << message;
    }
    // That the clock runs on while the board is away is checked on the whole board (PeersRun).
    std::ofstream(file) << "rtc 1\nregisters 00 zz\n";
    Rtc rtc(clock.fn());
    rtc.load(file, message);
    EXPECT_NE(message.find("damaged"), std::string::npos);
    EXPECT_TRUE(fs::exists(file.string() + ".bad"));
    EXPECT_EQ(read_time(rtc)[0], 0x80);
    EXPECT_NE(peerstest::read_file(file).find("registers 80 00 00 01 01 01 00"), std::string::npos);
}

TEST(Rtc, DatesOfTheScenario) {
    EXPECT_TRUE(parse_rtc_date("2037-12-31 23:59:59"));
    EXPECT_FALSE(parse_rtc_date("2011-02-29 00:00:00"));
    EXPECT_FALSE(parse_rtc_date("1999-01-01 00:00:00"));
    EXPECT_FALSE(parse_rtc_date("2015-06-01 12:00:00x"));
    EXPECT_EQ(from_bcd(0x59), 59);
    EXPECT_EQ(from_bcd(0x5A), -1);
    EXPECT_EQ(to_bcd(7), 0x07);
}

// ---- /dev/i2c-0 ---------------------------------------------------------------------------------

class I2cDev : public ::testing::Test {
  protected:
    void SetUp() override {
        hw::reset_all();
        simk::boot();
        bus.attach(Rtc::kAddress, &rtc);
        ASSERT_EQ(simk::register_char_driver(89, "i2c", &driver), 0);
        ASSERT_EQ(simk::dev_open(89, 0, O_RDWR, task, &file), 0);
    }
    void TearDown() override {
        if (file != nullptr) simk::dev_release(file, task);
        simk::unregister_char_driver(89);
        simk::shutdown();
    }
    long ioctl(unsigned cmd, unsigned long arg) { return simk::dev_ioctl(file, cmd, arg, task); }
    long write(const void* p, size_t n) {
        return simk::dev_write(file, reinterpret_cast<uintptr_t>(p), n, task);
    }
    long read(void* p, size_t n) {
        return simk::dev_read(file, reinterpret_cast<uintptr_t>(p), n, task);
    }

    FakeClock clock;
    Rtc rtc{clock.fn()};
    I2cBus bus;
    I2cDevDriver driver{bus};
    simk::Task task{::getpid()};
    simk::OpenFile* file = nullptr;
};

TEST_F(I2cDev, AddressesNobodyAnswersAndBadRequests) {
    EXPECT_EQ(ioctl(i2cdev::kSlave, 0x50), 0);
    uint8_t b = 0;
    EXPECT_EQ(write(&b, 1), -ENXIO);
    EXPECT_EQ(read(&b, 1), -ENXIO);
    EXPECT_EQ(ioctl(i2cdev::kSlave, 0x80), -EINVAL);  // not a 7-bit address
    EXPECT_EQ(ioctl(i2cdev::kTenBit, 1), 0);
    EXPECT_EQ(ioctl(i2cdev::kSlave, 0x80), 0);
    EXPECT_EQ(ioctl(i2cdev::kSlave, 0x400), -EINVAL);
    EXPECT_EQ(ioctl(i2cdev::kSlave, 0x68), 0);  // 10-bit 0x68 is not the RTC
    EXPECT_EQ(read(&b, 1), -ENXIO);
    EXPECT_EQ(ioctl(i2cdev::kTenBit, 0), 0);
    rtc.set_readable(false);
    EXPECT_EQ(read(&b, 1), -ENXIO);
    EXPECT_EQ(ioctl(0x12345, 0), -ENOTTY);
    unsigned long funcs = 0;
    EXPECT_EQ(ioctl(i2cdev::kFuncs, reinterpret_cast<unsigned long>(&funcs)), 0);
    EXPECT_EQ(funcs & i2cdev::kFuncI2c, i2cdev::kFuncI2c);
    rtc.set_readable(true);
    EXPECT_EQ(read(reinterpret_cast<void*>(8), 1), -EFAULT);
}

// struct i2c_msg and i2c_rdwr_ioctl_data as a program has them.
struct Msg {
    uint16_t addr, flags, len;
    uint8_t* buf;
};
struct RdwrData {
    Msg* msgs;
    uint32_t nmsgs;
};
static_assert(sizeof(Msg) == i2cdev::msg::kSize && offsetof(Msg, buf) == i2cdev::msg::kBuf);
static_assert(sizeof(RdwrData) == i2cdev::rdwr::kSize &&
              offsetof(RdwrData, nmsgs) == i2cdev::rdwr::kNmsgs);

TEST_F(I2cDev, CombinedTransactions) {
    uint8_t pointer = 4;
    std::array<uint8_t, 3> date{};
    std::array<Msg, 2> msgs = {{{0x68, 0, 1, &pointer}, {0x68, i2cdev::kMsgRead, 3, date.data()}}};
    RdwrData data{msgs.data(), 2};
    EXPECT_EQ(ioctl(i2cdev::kRdwr, reinterpret_cast<unsigned long>(&data)), 2);
    EXPECT_EQ(date, (std::array<uint8_t, 3>{0x12, 0x06, 0x24}));

    // A message to nobody fails the transaction; reads are not copied back.
    date.fill(0xEE);
    msgs[0].addr = 0x51;
    EXPECT_EQ(ioctl(i2cdev::kRdwr, reinterpret_cast<unsigned long>(&data)), -ENXIO);
    EXPECT_EQ(date[0], 0xEE);
    data.nmsgs = 43;
    EXPECT_EQ(ioctl(i2cdev::kRdwr, reinterpret_cast<unsigned long>(&data)), -EINVAL);
    data.nmsgs = 1;
    msgs[0] = {0x68, 0, 9000, &pointer};
    EXPECT_EQ(ioctl(i2cdev::kRdwr, reinterpret_cast<unsigned long>(&data)), -EINVAL);
    msgs[0] = {0x68, 0, 1, reinterpret_cast<uint8_t*>(8)};
    EXPECT_EQ(ioctl(i2cdev::kRdwr, reinterpret_cast<unsigned long>(&data)), -EFAULT);
}

// ---- /dev/watchdog ------------------------------------------------------------------------------

class Watchdog : public ::testing::Test {
  protected:
    void SetUp() override {
        hw::reset_all();
        simk::boot();
        ASSERT_EQ(simk::register_char_driver(10, "watchdog", &driver), 0);
    }
    void TearDown() override {
        simk::unregister_char_driver(10);
        simk::shutdown();
    }
    simk::OpenFile* open() {
        simk::OpenFile* f = nullptr;
        EXPECT_EQ(simk::dev_open(10, 130, O_RDWR | O_NONBLOCK, task, &f), 0);
        return f;
    }
    long ioctl(simk::OpenFile* f, unsigned cmd, int32_t* arg) {
        return simk::dev_ioctl(f, cmd, reinterpret_cast<unsigned long>(arg), task);
    }

    std::atomic<int> expiries{0};
    std::vector<std::string> lines;
    WatchdogDriver driver{[this] { ++expiries; }, [this](std::string l) { lines.push_back(l); },
                          true};
    simk::Task task{::getpid()};
};

TEST_F(Watchdog, TimeoutIsSetWithinTheChipsReachAndWrittenBack) {
    simk::OpenFile* f = open();
    int32_t t = 30;
    EXPECT_EQ(ioctl(f, wdioc::kSetTimeout, &t), 0);
    EXPECT_EQ(t, 30);
    t = 0;
    EXPECT_EQ(ioctl(f, wdioc::kGetTimeout, &t), 0);
    EXPECT_EQ(t, 30);
    t = 43;
    EXPECT_EQ(ioctl(f, wdioc::kSetTimeout, &t), -EINVAL);
    t = 0;
    EXPECT_EQ(ioctl(f, wdioc::kSetTimeout, &t), -EINVAL);
    EXPECT_EQ(ioctl(f, wdioc::kGetBootStatus, &t), 0);
    EXPECT_EQ(t, static_cast<int32_t>(wdioc::kOptCardReset));
    simk::OpenFile* second = nullptr;
    EXPECT_EQ(simk::dev_open(10, 130, O_RDWR, task, &second), -EBUSY);
    EXPECT_EQ(simk::dev_write(f, reinterpret_cast<uintptr_t>("V"), 1, task), 1);
    simk::dev_release(f, task);
    EXPECT_FALSE(driver.running());
    EXPECT_EQ(expiries, 0);
}

TEST_F(Watchdog, NotKeptAliveItExpiresOnceEvenAfterAnUnexpectedClose) {
    simk::OpenFile* f = open();
    int32_t t = 1;
    EXPECT_EQ(ioctl(f, wdioc::kSetTimeout, &t), 0);
    EXPECT_EQ(simk::dev_write(f, reinterpret_cast<uintptr_t>("x"), 1, task), 1);  // a keep-alive
    simk::dev_release(f, task);  // no magic 'V': it keeps running
    EXPECT_TRUE(driver.running());
    ASSERT_TRUE(peerstest::eventually([&] { return expiries == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(expiries, 1);
    EXPECT_EQ(driver.describe(), "expired");
}

TEST_F(Watchdog, KeepAlivesHoldItOffAndDisablingStopsIt) {
    simk::OpenFile* f = open();
    int32_t t = 1;
    EXPECT_EQ(ioctl(f, wdioc::kSetTimeout, &t), 0);
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(ioctl(f, wdioc::kKeepAlive, nullptr), 0);
    }
    EXPECT_EQ(expiries, 0);
    int32_t off = wdioc::kDisableCard;
    EXPECT_EQ(ioctl(f, wdioc::kSetOptions, &off), 0);
    EXPECT_FALSE(driver.running());
    simk::dev_release(f, task);
}

// ---- sound
// ---------------------------------------------------------------------------------------

std::vector<uint8_t> wave(unsigned rate, unsigned channels, unsigned bits, size_t samples,
                          uint8_t fill = 0x80) {
    const size_t data = samples * channels * bits / 8;
    std::vector<uint8_t> w(44 + data, fill);
    std::span<uint8_t> b(w);
    std::memcpy(w.data(), "RIFF", 4);
    le::put_u32(b, 4, static_cast<uint32_t>(36 + data));
    std::memcpy(w.data() + 8, "WAVEfmt ", 8);
    le::put_u32(b, 16, 16);
    le::put_u16(b, 20, 1);
    le::put_u16(b, 22, static_cast<uint16_t>(channels));
    le::put_u32(b, 24, rate);
    le::put_u32(b, 28, rate * channels * bits / 8);
    le::put_u16(b, 32, static_cast<uint16_t>(channels * bits / 8));
    le::put_u16(b, 34, static_cast<uint16_t>(bits));
    std::memcpy(w.data() + 36, "data", 4);
    le::put_u32(b, 40, static_cast<uint32_t>(data));
    return w;
}

TEST(Wave, HeadersOfPcmFiles) {
    const auto w = wave(16000, 2, 16, 100);
    const auto f = parse_wave(w);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->byte_rate, 64000u);
    EXPECT_EQ(f->data_offset, 44u);
    EXPECT_EQ(f->data_size, 400u);
    EXPECT_EQ(f->total_size, 444u);
    bool incomplete = false;
    std::string error;
    EXPECT_FALSE(parse_wave(std::span(w).first(30), &error, &incomplete));
    EXPECT_TRUE(incomplete);
    EXPECT_FALSE(parse_wave(std::span(w).first(2), &error, &incomplete));
    EXPECT_TRUE(incomplete);  // "RI" may still become a RIFF file
    const std::array<uint8_t, 4> text = {'c', 'a', 't', ' '};
    EXPECT_FALSE(parse_wave(text, &error, &incomplete));
    EXPECT_FALSE(incomplete);
    auto bad = wave(8000, 1, 8, 10);
    le::put_u16(std::span(bad), 20, 3);  // floating point samples
    EXPECT_FALSE(parse_wave(bad, &error, &incomplete));
    EXPECT_NE(error.find("not PCM"), std::string::npos);
}

class Sounds : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "wave");
        prompt74 = wave(8000, 1, 8, 2400, 0x90);
        prompt71 = wave(8000, 1, 8, 1600, 0x70);
        std::ofstream(dir.path() / "wave/074.wav", std::ios::binary)
            .write(reinterpret_cast<const char*>(prompt74.data()),
                   static_cast<long>(prompt74.size()));
        std::ofstream(dir.path() / "wave/071.wav", std::ios::binary)
            .write(reinterpret_cast<const char*>(prompt71.data()),
                   static_cast<long>(prompt71.size()));
        std::string error;
        ASSERT_TRUE(log.open(dir.path() / "playback.log", error)) << error;
    }
    std::vector<std::string> played() {
        return peerstest::transcript_sentences(dir.path() / "playback.log");
    }

    TempDir dir;
    std::vector<uint8_t> prompt74, prompt71;
    PromptLibrary library{dir.path() / "wave"};
    PlaybackLog log;
};

TEST_F(Sounds, AStreamIsCutIntoItsFilesAndEachIsRecognised) {
    PlaybackStream stream(
        library, [this](const PlayedSound& s) { log.add(s); }, "shell", true, 8000);
    std::vector<uint8_t> all = prompt74;
    all.insert(all.end(), prompt71.begin(), prompt71.end());
    const auto other = wave(16000, 1, 16, 800);  // 50 ms, at its own rate
    all.insert(all.end(), other.begin(), other.end());
    const std::array<uint8_t, 800> raw{};
    all.insert(all.end(), raw.begin(), raw.end());
    // Fed in odd pieces, the way a pipe delivers them.
    for (size_t at = 0; at < all.size(); at += 333)
        stream.feed(std::span(all).subspan(at, std::min<size_t>(333, all.size() - at)));
    stream.finish();
    EXPECT_EQ(played(),
              (std::vector<std::string>{
                  "074.wav 300 ms 2444 bytes shell", "071.wav 200 ms 1644 bytes shell",
                  "unknown-wave 50 ms 1644 bytes shell", "unknown-sound 100 ms 800 bytes shell"}));
}

class Dsp : public Sounds {
  protected:
    void SetUp() override {
        Sounds::SetUp();
        hw::reset_all();
        simk::boot();
        ASSERT_EQ(simk::register_char_driver(14, "sound", &driver), 0);
    }
    void TearDown() override {
        simk::unregister_char_driver(14);
        simk::shutdown();
    }
    long ioctl(simk::OpenFile* f, unsigned cmd, int32_t* arg) {
        return simk::dev_ioctl(f, cmd, reinterpret_cast<unsigned long>(arg), task);
    }

    std::shared_ptr<const CaptureSource> source = cabin_noise();
    DspDriver driver{library, log, [this] { return source; }};
    simk::Task task{::getpid()};
};

TEST_F(Dsp, CaptureInTheDefaultFormatAndOthers) {
    simk::OpenFile* f = nullptr;
    ASSERT_EQ(simk::dev_open(14, 3, O_RDONLY, task, &f), 0);
    simk::OpenFile* busy = nullptr;
    EXPECT_EQ(simk::dev_open(14, 3, O_RDONLY, task, &busy), -EBUSY);
    std::array<uint8_t, 400> buf{};  // 50 ms at 8 kHz
    ASSERT_EQ(simk::dev_read(f, reinterpret_cast<uintptr_t>(buf.data()), buf.size(), task), 400);
    const auto [lo, hi] = std::minmax_element(buf.begin(), buf.end());
    EXPECT_LT(*lo, 128);  // a quiet signal around the middle of the unsigned range
    EXPECT_GT(*hi, 128);
    EXPECT_GT(*lo, 90);
    EXPECT_LT(*hi, 166);

    int32_t v = 22000;
    EXPECT_EQ(ioctl(f, oss::kSpeed, &v), 0);
    EXPECT_EQ(v, 22050);
    v = oss::kFmtS16Le;
    EXPECT_EQ(ioctl(f, oss::kSetFmt, &v), 0);
    v = 0x20;  // a format the codec lacks: the one in use is reported
    EXPECT_EQ(ioctl(f, oss::kSetFmt, &v), 0);
    EXPECT_EQ(v, oss::kFmtS16Le);
    v = 2;
    EXPECT_EQ(ioctl(f, oss::kChannels, &v), 0);
    std::array<int16_t, 2 * 441> frames{};  // 20 ms
    ASSERT_EQ(simk::dev_read(f, reinterpret_cast<uintptr_t>(frames.data()), sizeof frames, task),
              static_cast<long>(sizeof frames));
    EXPECT_EQ(frames[100], frames[101]);  // both channels hear the one microphone
    source = silence();
    ASSERT_EQ(simk::dev_read(f, reinterpret_cast<uintptr_t>(frames.data()), sizeof frames, task),
              static_cast<long>(sizeof frames));
    EXPECT_EQ(*std::max_element(frames.begin(), frames.end()), 0);
    // Without blocking, a read gets what has been recorded since the last one: far less than
    // the second it asks for, or nothing at all.
    int32_t nb = 1;
    EXPECT_EQ(simk::dev_ioctl(f, FIONBIO, reinterpret_cast<unsigned long>(&nb), task), 0);
    std::vector<int16_t> second(2 * 22050);
    const long n =
        simk::dev_read(f, reinterpret_cast<uintptr_t>(second.data()), second.size() * 2, task);
    EXPECT_TRUE(n == -EAGAIN || (n > 0 && n < 2 * 2 * 22050 / 2)) << n;
    simk::dev_release(f, task);
}

TEST_F(Dsp, PlaybackThroughTheDeviceIsPacedAndLoggedWhenClosed) {
    simk::OpenFile* f = nullptr;
    ASSERT_EQ(simk::dev_open(14, 3, O_WRONLY, task, &f), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(
        simk::dev_write(f, reinterpret_cast<uintptr_t>(prompt74.data()), prompt74.size(), task),
        static_cast<long>(prompt74.size()));
    simk::dev_release(f, task);  // drains: returns when the sound has played
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    // Through the device the header is sound too, at the device's 8000 bytes a second.
    EXPECT_EQ(played(), (std::vector<std::string>{"074.wav 306 ms 2444 bytes device"}));
}

}  // namespace
