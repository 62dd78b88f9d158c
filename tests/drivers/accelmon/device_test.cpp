// accelmon's device: load and unload, open and release with the chip's identification and
// set-up, read, write, the ioctl commands and the notification.
#include <sys/mman.h>

#include "accelmon_fixture.hpp"

extern "C" {
struct resource;
extern struct resource iomem_resource;
struct resource* __request_region(struct resource* parent, unsigned long start, unsigned long n,
                                  const char* name);
void __release_region(struct resource* parent, unsigned long start, unsigned long n);
}

namespace accelmontest {
namespace {

constexpr unsigned long kSpiBase = 0x59000000;
constexpr unsigned long kAdcBase = 0x58000000;

bool region_free(unsigned long base) {
    if (__request_region(&iomem_resource, base, 0x20, "test") == nullptr) return false;
    __release_region(&iomem_resource, base, 0x20);
    return true;
}

bool swept(Board& board) {
    return board.console_has("still registered") || board.console_has("still claimed") ||
           board.console_has("still requested") || board.console_has("still pending");
}

unsigned trigger(uint32_t extint, unsigned n) {
    return (reg(extint) >> (4 * n)) & 7;
}

// ---- Load and unload ---------------------------------------------------------------------------

using Load = AccelmonTest;

TEST_F(Load, SetsUpPinsAdcAndInterruptsAndSaysSo) {
    EXPECT_TRUE(board.console_has("Gsensor module init. Ver_3.5K "));
    EXPECT_FALSE(region_free(kSpiBase));
    EXPECT_FALSE(region_free(kAdcBase));

    // The SPI pins and the three inputs (as EINTs: falling edges, unmasked).
    using hw::gpio_pin;
    for (unsigned pin : {gpio_pin('E', 11), gpio_pin('E', 12), gpio_pin('E', 13), kButtonPin,
                         kAlarmPin, kPowerPin}) {
        EXPECT_EQ(board.soc.gpio.function(pin), hw::S3c2410Gpio::kFunction2) << pin;
    }
    EXPECT_TRUE(board.soc.gpio.is_output(hw::S3c2410Spi::kChipSelectPin));
    EXPECT_TRUE(board.soc.gpio.level(hw::S3c2410Spi::kChipSelectPin));
    EXPECT_EQ(board.sensors.adc.registers().adcdly, 0xFFu | 0x9C40u);
    EXPECT_EQ(trigger(kExtint2, 0), 2u);  // EINT16
    EXPECT_EQ(trigger(kExtint0, 3), 2u);  // EINT3
    EXPECT_EQ(trigger(kExtint1, 1), 2u);  // EINT9
    EXPECT_EQ(reg(kEintmask) & ((1u << 16) | (1u << 9)), 0u);
    EXPECT_EQ(reg(kIntmsk) & (1u << 3), 0u);
}

TEST_F(Load, UnloadGivesEverythingBack) {
    ASSERT_EQ(simk::rmmod("accelmon"), 0);
    EXPECT_TRUE(region_free(kSpiBase));
    EXPECT_TRUE(region_free(kAdcBase));
    EXPECT_NE(reg(kEintmask) & (1u << 16), 0u) << "button interrupt still enabled";
    EXPECT_NE(reg(kEintmask) & (1u << 9), 0u) << "power-detect interrupt still enabled";
    EXPECT_NE(reg(kIntmsk) & (1u << 3), 0u) << "alarm interrupt still enabled";
    simk::OpenFile* f = nullptr;
    EXPECT_EQ(simk::dev_open(kMajor, 0, kORdwr, task, &f), -ENXIO);
    EXPECT_FALSE(swept(board));
    std::string error;
    ASSERT_EQ(simk::insmod(ACCELMON_PATH, {}, error), 0) << "loads again: " << error;
}

// Unloading in the middle of the power-detect pulse leaves the line to the supply again.
TEST_F(Load, UnloadDuringThePulseReleasesThePowerDetectLine) {
    open();
    ASSERT_EQ(ioctl(GSENSOR_IOC_PWR_DETECT), 0);
    EXPECT_TRUE(board.soc.gpio.is_output(kPowerPin));
    close();
    ASSERT_EQ(simk::rmmod("accelmon"), 0);
    EXPECT_FALSE(board.soc.gpio.is_output(kPowerPin));
    EXPECT_TRUE(board.soc.gpio.level(kPowerPin));
    EXPECT_FALSE(swept(board));
    std::string error;
    ASSERT_EQ(simk::insmod(ACCELMON_PATH, {}, error), 0) << error;
}

class LoadFailure : public ::testing::Test {
  protected:
    int insmod(std::vector<std::string> params = {}) {
        std::string error;
        return simk::insmod(ACCELMON_PATH, params, error);
    }
    Board board;
};

// Either register region taken by another: the device is unregistered, the other region given
// back.
TEST_F(LoadFailure, ARegionTakenFailsWithEnodevAndGivesBackWhatWasTaken) {
    for (auto [taken, other] : {std::pair{kSpiBase, kAdcBase}, std::pair{kAdcBase, kSpiBase}}) {
        ASSERT_NE(__request_region(&iomem_resource, taken, 0x20, "other"), nullptr);
        EXPECT_EQ(insmod(), -ENODEV);
        __release_region(&iomem_resource, taken, 0x20);
        simk::OpenFile* f = nullptr;
        EXPECT_EQ(simk::dev_open(kMajor, 0, kORdwr, simk::Task{::getpid()}, &f), -ENXIO);
        EXPECT_TRUE(region_free(other)) << std::hex << taken;
        EXPECT_FALSE(swept(board));
    }
}

TEST_F(LoadFailure, MajorTakenFailsWithTheRegistrationsCode) {
    struct Other : simk::CharDriver {
    } other;
    ASSERT_EQ(simk::register_char_driver(kMajor, "other", &other), 0);
    EXPECT_EQ(insmod(), -EBUSY);
    simk::unregister_char_driver(kMajor);
    EXPECT_TRUE(region_free(kSpiBase));
    EXPECT_TRUE(region_free(kAdcBase));
    EXPECT_FALSE(swept(board));
}

TEST_F(LoadFailure, ARatePerSecondOutside1To200IsRefused) {
    EXPECT_EQ(insmod({"frame=0"}), -EINVAL);
    EXPECT_EQ(insmod({"frame=201"}), -EINVAL);
    EXPECT_TRUE(region_free(kSpiBase));
    ASSERT_EQ(insmod({"frame=200"}), 0);
    EXPECT_EQ(simk::rmmod("accelmon"), 0);
}

// ---- Open and release ----------------------------------------------------------------------

using Open = AccelmonTest;

TEST_F(Open, WithoutAChipSaysSoAndStillSucceeds) {
    board.sensors.fit(hw::AccelChip::kNone);
    open();
    EXPECT_TRUE(board.console_has("Gsensor ID : ff"));
    EXPECT_TRUE(board.console_has("Gsensor not found..!!!!!"));
    const uint64_t bytes = board.sensors.spi.bytes();
    start();
    const Sample s = next_sample();
    EXPECT_EQ(s.record[0], 0);
    EXPECT_EQ(s.record[1], 0);
    EXPECT_EQ(s.record[2], 0);
    EXPECT_EQ(board.sensors.spi.bytes(), bytes) << "the tick makes no transfer";
    board.soc.gpio.drive(kAlarmPin, false);
    ASSERT_TRUE(eventually([&] {
        const Sample m = next_sample();
        return m.is_marker() && m.record[2] == XYZ_Z_ALARM;
    })) << "markers come all the same";
    board.soc.gpio.release(kAlarmPin);
    close();
    EXPECT_EQ(board.sensors.spi.bytes(), bytes) << "release makes no transfer";
}

// ---- Identification, set-up and power-down: the bytes on the bus ---------------------------

class Identification : public AccelmonTest {
  protected:
    void SetUp() override {
        AccelmonTest::SetUp();
        board.sensors.spi.attach(&chip);
    }
    void TearDown() override {
        AccelmonTest::TearDown();
        board.sensors.spi.attach(nullptr);
    }
    using Bytes = std::vector<std::vector<uint8_t>>;
    Bytes bytes() {
        Bytes out;
        for (const auto& t : chip.transfers()) out.push_back(t.bytes);
        return out;
    }
    // The transfers of one sampling tick, the last thing on the bus.
    Bytes tick_bytes() {
        start();
        next_sample();
        stop();
        sync_processor();
        const Bytes all = bytes();
        return all.size() < 6 ? all : Bytes(all.end() - 6, all.end());
    }
    ScriptedChip chip{board.sensors.spi};
};

TEST_F(Identification, ALis3lv02dqFoundInTheFirstPassIsAskedThreeTimesThenSwitchedOn) {
    chip.answer(0x0F, {0x3A});
    open();
    EXPECT_EQ(bytes(), (Bytes{{0x8F, 0xFF}, {0x8F, 0xFF}, {0x8F, 0xFF}, {0x20, 0xC7}}));
    const auto t = chip.transfers();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].prescaler, 4u) << "identification at the slow clock";
    EXPECT_EQ(t[3].prescaler, 1u) << "set-up at the fast clock";
    chip.clear();
    close();
    EXPECT_EQ(bytes(), (Bytes{{0x20, 0x00}}));

    chip.clear();
    open();
    EXPECT_EQ(chip.transfers().at(0).prescaler, 4u) << "every open starts at the slow clock";
}

TEST_F(Identification, ALis3lv02dqThatAnswersOnlyInALaterPassIsAccepted) {
    chip.answer(0x0F, {0x00, 0x3A});
    open();
    EXPECT_TRUE(board.console_has("Gsensor ID : 3a"));
    EXPECT_EQ(bytes(),
              (Bytes{{0x8F, 0xFF}, {0x80, 0xFF}, {0x8F, 0xFF}, {0x8F, 0xFF}, {0x20, 0xC7}}));
    close();

    chip.answer(0x0F, {0x00, 0x00, 0x3A});
    board.clear_console();
    open();
    EXPECT_TRUE(board.console_has("Gsensor ID : 3a"));
}

TEST_F(Identification, TheLastPassDecides) {
    chip.answer(0x0F, {0x3A, 0x3A, 0x11});
    chip.answer(0x00, {0x00});
    open();
    EXPECT_TRUE(board.console_has("Gsensor ID : 0"));
    EXPECT_TRUE(board.console_has("Gsensor not found..!!!!!"));
    EXPECT_EQ(bytes().size(), 4u) << "three passes, one of them asking both registers; no set-up";
    chip.clear();
    close();
    EXPECT_TRUE(chip.transfers().empty()) << "no power-down for an unknown chip";
}

TEST_F(Identification, AnAdxl345IsAskedForBothRegistersInEveryPassThenSetUp) {
    chip.answer(0x0F, {0x00});
    chip.answer(0x00, {0xE5});
    open();
    EXPECT_TRUE(board.console_has("Gsensor ID : e5"));
    EXPECT_EQ(bytes(), (Bytes{{0x8F, 0xFF},
                              {0x80, 0xFF},
                              {0x8F, 0xFF},
                              {0x80, 0xFF},
                              {0x8F, 0xFF},
                              {0x80, 0xFF},
                              {0x27, 0x70},
                              {0x2C, 0x0A},
                              {0x2D, 0x00},
                              {0x2E, 0x80},
                              {0x31, 0x0C},
                              {0x2D, 0x08}}));
    for (const auto& t : chip.transfers()) EXPECT_EQ(t.prescaler, 4u);
    chip.clear();
    close();
    EXPECT_EQ(bytes(), (Bytes{{0x2D, 0x00}}));
}

TEST_F(Identification, TheAnswerIsTheByteOfTheSecondClockNotTheFirst) {
    chip.set_during_command(0x3A);
    chip.answer(0x0F, {0x00});
    chip.answer(0x00, {0x00});
    open();
    EXPECT_TRUE(board.console_has("Gsensor not found..!!!!!"));
}

TEST_F(Identification, TheTickReadsHighBeforeLowAndXThenYThenZ) {
    chip.answer(0x0F, {0x3A});
    open();
    chip.clear();
    EXPECT_EQ(
        tick_bytes(),
        (Bytes{
            {0xA9, 0xFF}, {0xA8, 0xFF}, {0xAB, 0xFF}, {0xAA, 0xFF}, {0xAD, 0xFF}, {0xAC, 0xFF}}));
    close();
    chip.answer(0x0F, {0x00});
    chip.answer(0x00, {0xE5});
    open();
    chip.clear();
    EXPECT_EQ(
        tick_bytes(),
        (Bytes{
            {0xB3, 0xFF}, {0xB2, 0xFF}, {0xB5, 0xFF}, {0xB4, 0xFF}, {0xB7, 0xFF}, {0xB6, 0xFF}}));
}

// The bytes of a transfer are filled in with interrupts masked: however the tick falls between
// the opens, set-ups and power-downs, every transfer on the bus is one the driver meant.
TEST_F(Identification, TransfersNeverMixWithTheTicks) {
    simk::rmmod("accelmon");
    std::string error;
    ASSERT_EQ(simk::insmod(ACCELMON_PATH, {"frame=200"}, error), 0) << error;
    chip.answer(0x0F, {0x3A});
    for (int i = 0; i < 40; ++i) {
        open();
        start();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        close();
    }
    const Bytes allowed{{0x8F, 0xFF}, {0x20, 0xC7}, {0x20, 0x00}, {0xA8, 0xFF}, {0xA9, 0xFF},
                        {0xAA, 0xFF}, {0xAB, 0xFF}, {0xAC, 0xFF}, {0xAD, 0xFF}};
    size_t ticks_seen = 0;
    for (const auto& b : bytes()) {
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), b), allowed.end())
            << "transfer " << int(b.at(0)) << "," << int(b.at(1));
        ticks_seen += b[0] == 0xA9;
    }
    EXPECT_GT(ticks_seen, 0u);
}

// ---- Read and write --------------------------------------------------------------------------

using ReadWrite = AccelmonTest;

TEST_F(ReadWrite, BeforeTheFirstTickTheRecordIsZeroAndReadReturnsZero) {
    open();
    Record r;
    r.fill(0x5A5A);
    EXPECT_EQ(simk::dev_read(file, reinterpret_cast<uintptr_t>(r.data()), 8, task), 0);
    EXPECT_EQ(r, (Record{0, 0, 0, 0}));
}

TEST_F(ReadWrite, AShortReadWritesOnlyTheBytesAskedFor) {
    open();
    start();
    next_sample();
    std::array<uint8_t, 8> full{};
    {
        ProcessorHeld held;
        simk::dev_read(file, reinterpret_cast<uintptr_t>(full.data()), 8, task);
        std::array<uint8_t, 8> part;
        part.fill(0xA5);
        EXPECT_EQ(simk::dev_read(file, reinterpret_cast<uintptr_t>(part.data()), 3, task), 0);
        EXPECT_TRUE(std::equal(part.begin(), part.begin() + 3, full.begin()));
        EXPECT_EQ(part[3], 0xA5);
        EXPECT_EQ(part[7], 0xA5);
    }
    EXPECT_NE(full, (std::array<uint8_t, 8>{})) << "a sample is in the record";
}

TEST_F(ReadWrite, AnUnwritableBufferIsSkippedAndReadStillReturnsZero) {
    open();
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    EXPECT_EQ(simk::dev_read(file, reinterpret_cast<uintptr_t>(page), 8, task), 0);
    ::munmap(page, 4096);
}

TEST_F(ReadWrite, ReadConsumesNothingAndWriteTakesNothing) {
    open();
    start();
    next_sample();
    ProcessorHeld held;
    EXPECT_EQ(read_record(), read_record());
    const char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(simk::dev_write(file, reinterpret_cast<uintptr_t>(data), 4, task), 0);
}

// ---- Commands ---------------------------------------------------------------------------------

using Commands = AccelmonTest;

// The requests and the record as user space has them from accelmon.h: the numbers the programs
// on the box were built with.
static_assert(GSENSOR_IOC_START == 0x4B00 && GSENSOR_IOC_STOP == 0x4B01);
static_assert(GSENSOR_IOC_GET_VOLUME == 0x80044B02 && GSENSOR_IOC_SUB35 == 0x4B03);
static_assert(GSENSOR_IOC_PWR_DETECT == 0x4B04 && XYZ_RECORD_SIZE == 8);
static_assert(XYZ_Z_EMERGENCY == 254 && XYZ_Z_ALARM == 253 && XYZ_Z_POWER == 255);

TEST_F(Commands, OnlyType4BWithNumbersUpTo5AreAccepted) {
    open();
    EXPECT_EQ(ioctl(0x4C00), -ENOTTY);
    EXPECT_EQ(ioctl(0x0000), -ENOTTY);
    EXPECT_EQ(ioctl(0x4B06), -ENOTTY);
    EXPECT_EQ(ioctl(0x4BFF), -ENOTTY);
    EXPECT_EQ(ioctl(0x80044B06), -ENOTTY);
    EXPECT_EQ(ioctl(0x4B05), 0);
    int level = -7;
    EXPECT_EQ(ioctl(0x4B02, &level), 0) << "number 2 without direction and size";
    EXPECT_EQ(level, -7) << "does nothing";
    EXPECT_EQ(ioctl(0x40044B02, &level), 0);
    EXPECT_EQ(level, -7) << "write direction: not the volume command";
}

TEST_F(Commands, StartSamplesAndSignalsStopKeepsQuiet) {
    open();
    simk::dev_set_owner(file, ::getpid());
    ASSERT_EQ(simk::dev_set_flags(file, simk::dev_get_flags(file) | kOAsync, task), 0);
    take_sigio();
    start();
    next_sample();
    EXPECT_TRUE(take_sigio());

    stop();
    sync_processor();
    take_sigio();
    const uint64_t t = ticks();
    // The timer goes on without sampling: wait for it to run a few times.
    const auto spi_bytes = board.sensors.spi.bytes();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sync_processor();
    EXPECT_EQ(ticks(), t) << "no ADC read while stopped";
    EXPECT_EQ(board.sensors.spi.bytes(), spi_bytes) << "no SPI transfer while stopped";
    EXPECT_FALSE(take_sigio());
}

TEST_F(Commands, CloseStopsTheTimerAndAnOpenAloneDoesNotRestartIt) {
    open();
    simk::dev_set_owner(file, ::getpid());
    ASSERT_EQ(simk::dev_set_flags(file, simk::dev_get_flags(file) | kOAsync, task), 0);
    start();
    next_sample();
    close();
    take_sigio();
    const uint64_t t = ticks();

    open();
    simk::dev_set_owner(file, ::getpid());
    ASSERT_EQ(simk::dev_set_flags(file, simk::dev_get_flags(file) | kOAsync, task), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    sync_processor();
    EXPECT_EQ(ticks(), t);
    EXPECT_FALSE(take_sigio()) << "no signals without a new start command";

    start();
    next_sample();
    EXPECT_TRUE(take_sigio());
}

TEST_F(Commands, ReleaseTakesTheFileOffTheSignalList) {
    open();
    simk::dev_set_owner(file, ::getpid());
    ASSERT_EQ(simk::dev_set_flags(file, simk::dev_get_flags(file) | kOAsync, task), 0);
    start();
    close();
    simk::OpenFile* other = nullptr;
    ASSERT_EQ(open_device(&other), 0);
    file = other;
    start();  // no owner and no O_ASYNC on this file
    take_sigio();
    next_sample();
    next_sample();
    EXPECT_FALSE(take_sigio());
}

TEST_F(Commands, GetVolumeReturnsTheKnobUpTo63AndSkipsABadPointer) {
    open();
    for (int level : {0, 17, 54, 55, 60, 63}) {
        board.sensors.set_knob_level(level);
        EXPECT_EQ(volume(), level);
    }
    EXPECT_EQ(ioctl(0x80044B02, 16ul), 0) << "an address outside user space";
    void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    EXPECT_EQ(ioctl(0x80044B02, reinterpret_cast<unsigned long>(page)), 0);
    ::munmap(page, 4096);
}

}  // namespace
}  // namespace accelmontest
