// The models around accelmon that the driver tests do not reach through the driver, each rule
// driven with the wrong sequence: SPI0's bus (chip select, SPPIN, mode, clock), the ADC's clock,
// prescaler and start delay, the accelerometers' power, interface and interrupt registers.
#include <chrono>
#include <thread>

#include "accelmon_fixture.hpp"

namespace accelmontest {
namespace {

constexpr uint32_t kSpi = 0x59000000;
constexpr uint32_t kSpcon = kSpi + 0x00;
constexpr uint32_t kSpsta = kSpi + 0x04;
constexpr uint32_t kSppre = kSpi + 0x0C;
constexpr uint32_t kSptdat = kSpi + 0x10;
constexpr uint32_t kSprdat = kSpi + 0x14;
constexpr uint32_t kGpecon = 0x56000040;
constexpr uint32_t kGpgcon = 0x56000060;
constexpr uint32_t kGpgdat = 0x56000064;
constexpr uint32_t kSppin = kSpi + 0x08;
constexpr uint32_t kAdccon = 0x58000000;
constexpr uint32_t kAdcdly = 0x58000008;
constexpr uint32_t kAdcdat0 = 0x5800000C;
constexpr uint32_t kMpllcon = 0x4C000004;
constexpr uint32_t kSpiIrq = 1u << 22;
constexpr uint32_t kAdcEnd = 1u << 15;  // ECFLG
constexpr uint32_t kAdcStart = 0x4001;  // PRSCEN, start

class Models : public ::testing::Test {
  protected:
    Models() { board.sensors.set_mount(hw::Mount::kStraight); }

    // The driver's set-up of the bus: SPI pins, chip select GPG2 as an output, high.
    void wire_bus() {
        set_reg(kGpecon, (reg(kGpecon) & ~(0x3Fu << 22)) | (0x2Au << 22));
        set_reg(kGpgdat, reg(kGpgdat) | (1u << 2));
        set_reg(kGpgcon, (reg(kGpgcon) & ~(3u << 4)) | (1u << 4));
        set_reg(kSppre, 4);
        set_reg(kSpcon, 0x1E);
    }
    void chip_select(bool active) {
        const uint32_t dat = reg(kGpgdat);
        set_reg(kGpgdat, active ? dat & ~(1u << 2) : dat | (1u << 2));
    }
    uint8_t byte(uint8_t out) {
        EXPECT_TRUE(eventually([] { return (reg(kSpsta) & 1) != 0; }));
        set_reg(kSptdat, out);
        EXPECT_TRUE(eventually([] { return (reg(kSpsta) & 1) != 0; })) << "byte never done";
        return static_cast<uint8_t>(reg(kSprdat));
    }
    uint8_t read_register(uint8_t address) {
        chip_select(true);
        byte(0x80 | address);
        const uint8_t value = byte(0xFF);
        chip_select(false);
        return value;
    }
    void write_register(uint8_t address, uint8_t value) {
        chip_select(true);
        byte(address);
        byte(value);
        chip_select(false);
    }
    bool ready() { return (reg(kSpsta) & 1) != 0; }
    int16_t axis(uint8_t low_register) {
        const uint8_t low = read_register(low_register);
        return static_cast<int16_t>(read_register(low_register + 1) << 8 | low);
    }

    Board board;
};

// ---- SPI0 -------------------------------------------------------------------------------------

TEST_F(Models, SpiExchangesBytesWithTheSelectedChip) {
    wire_bus();
    EXPECT_EQ(reg(kSpsta) & 1, 1u) << "ready after reset";
    EXPECT_EQ(read_register(0x0F), 0x3A);
    EXPECT_EQ(board.sensors.spi.bytes(), 2u);

    chip_select(false);
    EXPECT_EQ(byte(0x8F), 0xFF) << "MISO floats high with the chip select high";
    EXPECT_EQ(byte(0xFF), 0xFF);

    set_reg(kSpcon, 0x18);  // mode 0
    EXPECT_EQ(read_register(0x0F), 0xFF) << "no chip in the wrong mode";
    set_reg(kSpcon, 0x1E);
    set_reg(kGpecon, reg(kGpecon) & ~(0x3Fu << 22));
    EXPECT_EQ(read_register(0x0F), 0xFF) << "no chip without the SPI pins";
    wire_bus();
    EXPECT_EQ(read_register(0x0F), 0x3A);
}

// A byte whose chip select rises before it is done never reaches the chip, and what comes back
// is the floating MISO. The bus runs slow, so that the rise comes while the byte is on the wire.
TEST_F(Models, ChipSelectRaisedBeforeTheByteIsDoneLosesTheByte) {
    wire_bus();
    set_reg(kMpllcon, 0x52013);  // PCLK 11.25 MHz: 364 us a byte at SPPRE0 255
    set_reg(kSppre, 255);
    bool cut = false;
    for (int attempt = 0; attempt < 20 && !cut; ++attempt) {
        chip_select(true);
        byte(0x20);  // CTRL_REG1
        set_reg(kSptdat, 0xC7);
        chip_select(false);
        cut = !ready();  // still on the wire as the select rose
        ASSERT_TRUE(eventually([this] { return ready(); }));
    }
    ASSERT_TRUE(cut);
    EXPECT_EQ(reg(kSprdat), 0xFFu);
    EXPECT_EQ(board.sensors.lis3lv02dq.peek(0x20), 0x07) << "the write never arrived";
    EXPECT_TRUE(board.console_has("chip select changed before the byte was done"));
    write_register(0x20, 0xC7);  // waiting for REDY first
    EXPECT_EQ(board.sensors.lis3lv02dq.peek(0x20), 0xC7);
}

TEST_F(Models, SppinEnmulTurnsTheLowChipSelectIntoAMultiMasterError) {
    wire_bus();
    set_reg(kSppin, 0x06);
    chip_select(true);
    set_reg(kSptdat, 0x8F);
    EXPECT_NE(reg(kSpsta) & 0x02, 0u) << "MULF";
    EXPECT_EQ(reg(kSpsta) & 0x02, 0u) << "cleared by the read";
    EXPECT_TRUE(eventually([this] { return ready(); }));
    EXPECT_EQ(reg(kSprdat), 0xFFu);
    chip_select(false);
    EXPECT_EQ(board.sensors.spi.bytes(), 0u) << "nothing went out";
    set_reg(kSppin, 0x00);
    EXPECT_TRUE(board.console_has("SPPIN0 bit 1 written 0"));
    set_reg(kSppin, 0x02);
    EXPECT_EQ(read_register(0x0F), 0x3A);
}

TEST_F(Models, TheSpiInterruptComesOnlyInInterruptModeAndTheReservedModeClocksNothing) {
    wire_bus();
    set_reg(kSrcpnd, kSpiIrq);
    EXPECT_EQ(read_register(0x0F), 0x3A);
    EXPECT_EQ(reg(kSrcpnd) & kSpiIrq, 0u) << "polling mode";
    set_reg(kSpcon, 0x3E);  // interrupt mode
    EXPECT_EQ(read_register(0x0F), 0x3A);
    EXPECT_TRUE(eventually([] { return (reg(kSrcpnd) & kSpiIrq) != 0; }));
    set_reg(kSrcpnd, kSpiIrq);
    set_reg(kSpcon, 0x7E);  // SMOD 11
    set_reg(kSptdat, 0xFF);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(ready()) << "never clocked";
}

TEST_F(Models, ABusClockAboveTwentyFiveMegahertzShiftsTheBytes) {
    wire_bus();
    set_reg(kSppre, 0);  // 25.35 MHz
    EXPECT_NE(read_register(0x0F), 0x3A);
    set_reg(kSppre, 1);
    EXPECT_EQ(read_register(0x0F), 0x3A);
}

// ---- ADC --------------------------------------------------------------------------------------

TEST_F(Models, AdcWithoutItsClockReadsZeroAndConvertsNothing) {
    set_reg(kClkcon, reg(kClkcon) & ~(1u << 15));
    set_reg(kAdccon, 0x4001);
    EXPECT_EQ(reg(kAdccon), 0u);
    set_reg(kClkcon, reg(kClkcon) | (1u << 15));
    EXPECT_EQ(board.sensors.adc.conversions(), 0u);
}

// The converter's clock runs only with PRSCEN, and the start delay must not be 0: without either
// a conversion never ends. The longest delay makes it last past a millisecond.
TEST_F(Models, AdcConversionsNeedTheirPrescalerAndAStartDelay) {
    board.sensors.adc.set_input(0, 520);
    const uint32_t prescaler = 24u << 6;
    const auto converted = [] { return (reg(kAdccon) & kAdcEnd) != 0; };
    set_reg(kAdcdly, 0xFF);
    set_reg(kAdccon, prescaler | 0x0001);  // PRSCEN clear
    set_reg(kAdcdly, 0xFF);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(converted());
    EXPECT_EQ(reg(kAdcdat0), 0u);
    set_reg(kAdcdly, 0);
    set_reg(kAdccon, prescaler | kAdcStart);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(converted());
    EXPECT_TRUE(board.console_has("ADCDLY 0; never ends"));

    set_reg(kAdcdly, 0xFFFF);
    set_reg(kAdccon, (255u << 6) | kAdcStart);
    bool seen_under_way = !converted();
    for (int attempt = 0; attempt < 20 && !seen_under_way; ++attempt) {
        ASSERT_TRUE(eventually(converted));
        set_reg(kAdccon, (255u << 6) | kAdcStart);
        seen_under_way = !converted();
    }
    EXPECT_TRUE(seen_under_way) << "1.3 ms at the longest delay";
    ASSERT_TRUE(eventually(converted));
    EXPECT_EQ(reg(kAdcdat0) & 0x3FF, 520u);
}

TEST_F(Models, AdcClockAboveTwoAndAHalfMegahertzGetsTheLowBitsWrong) {
    board.sensors.adc.set_input(0, 520);
    set_reg(kAdccon, (9u << 6) | kAdcStart);  // 5.07 MHz
    ASSERT_TRUE(eventually([] { return (reg(kAdccon) & kAdcEnd) != 0; }));
    EXPECT_NE(reg(kAdcdat0) & 0x3FF, 520u);
    set_reg(kAdccon, (24u << 6) | kAdcStart);  // 2.03 MHz
    ASSERT_TRUE(eventually([] { return (reg(kAdccon) & kAdcEnd) != 0; }));
    EXPECT_EQ(reg(kAdcdat0) & 0x3FF, 520u);
}

// ---- LIS3LV02DQ -------------------------------------------------------------------------------

TEST_F(Models, Lis3lv02dqMeasuresOnlyOnceSwitchedOn) {
    wire_bus();
    const hw::Accel a{5.0, -5.0, 1.0};
    board.sensors.lis3lv02dq.set_source([a] { return a; });
    EXPECT_FALSE(board.sensors.lis3lv02dq.measuring());
    EXPECT_EQ(read_register(0x20), 0x07);
    EXPECT_EQ(axis(0x28), 0) << "nothing sampled while powered down";
    write_register(0x20, 0xC7);
    EXPECT_TRUE(board.sensors.lis3lv02dq.measuring());
    EXPECT_EQ(axis(0x28), 2047);
    EXPECT_EQ(axis(0x2A), -2048);
    EXPECT_EQ(axis(0x2C), 1024);
    write_register(0x20, 0x03);  // Z off
    EXPECT_FALSE(board.sensors.lis3lv02dq.measuring());
}

TEST_F(Models, Lis3lv02dqInItsThreeWireModeLeavesMisoFloating) {
    wire_bus();
    write_register(0x21, 0x02);  // CTRL_REG2 SIM
    EXPECT_EQ(read_register(0x0F), 0xFF);
    write_register(0x21, 0x00);  // heard on SDI all the same
    EXPECT_EQ(read_register(0x0F), 0x3A);
}

// ---- ADXL345 ----------------------------------------------------------------------------------

class Adxl345 : public Models {
  protected:
    Adxl345() {
        board.sensors.fit(hw::AccelChip::kAdxl345);
        board.sensors.adxl345.set_source([this] { return felt_; });  // under the machine lock
        wire_bus();
    }
    uint8_t source() { return read_register(0x30); }
    void feel(hw::Accel a) {
        hw::MachineGuard guard(hw::machine_lock());
        felt_ = a;
    }

  private:
    hw::Accel felt_{0, 0, 1};
};

TEST_F(Adxl345, DataReadyComesWhileMeasuringAndNeverAsleep) {
    EXPECT_EQ(source() & 0x80, 0) << "standby";
    write_register(0x2D, 0x08);
    ASSERT_TRUE(eventually([this] { return (source() & 0x80) != 0; }));
    axis(0x32);
    EXPECT_EQ(source() & 0x80, 0) << "cleared by reading the data";
    write_register(0x2D, 0x0C);  // measure, asleep at 8 a second
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(source() & 0x80, 0);
}

TEST_F(Adxl345, ActivityNeedsItsEnableAndItsAxes) {
    write_register(0x24, 16);  // THRESH_ACT 1 g
    write_register(0x27, 0x70);
    write_register(0x2D, 0x08);
    feel({2, 0, 1});
    EXPECT_EQ(source() & 0x10, 0) << "not enabled in INT_ENABLE";
    write_register(0x2E, 0x10);
    EXPECT_NE(source() & 0x10, 0);
    write_register(0x27, 0x10);  // Z alone takes part, at 1 g
    source();
    EXPECT_EQ(source() & 0x10, 0);
    write_register(0x27, 0xF0);  // ac-coupled: 2 g is the reference now
    EXPECT_EQ(source() & 0x10, 0);
    feel({0, 0, 1});
    EXPECT_NE(source() & 0x10, 0) << "2 g away from the reference";
}

TEST_F(Adxl345, InactivityTakesEveryAxisThatTakesPart) {
    write_register(0x25, 4);  // THRESH_INACT 0.25 g
    write_register(0x26, 0);  // at once
    write_register(0x2E, 0x08);
    write_register(0x2D, 0x08);
    write_register(0x27, 0x07);
    EXPECT_EQ(source() & 0x08, 0) << "Z feels gravity";
    write_register(0x27, 0x06);
    EXPECT_NE(source() & 0x08, 0);
}

TEST_F(Adxl345, TheInterruptPinsCarryTheEnabledSourcesAsMapped) {
    write_register(0x2E, 0x80);  // DATA_READY, as accelmon enables it
    write_register(0x2D, 0x08);
    ASSERT_TRUE(eventually([this] { return board.sensors.adxl345.int_pin(1); }));
    EXPECT_FALSE(board.sensors.adxl345.int_pin(2));
    write_register(0x2F, 0x80);
    EXPECT_TRUE(board.sensors.adxl345.int_pin(2));
    EXPECT_FALSE(board.sensors.adxl345.int_pin(1));
    write_register(0x31, 0x20);  // INT_INVERT
    EXPECT_FALSE(board.sensors.adxl345.int_pin(2));
    EXPECT_TRUE(board.sensors.adxl345.int_pin(1));
    write_register(0x31, 0x40);  // 3-wire
    EXPECT_EQ(read_register(0x00), 0xFF);
}

}  // namespace
}  // namespace accelmontest
