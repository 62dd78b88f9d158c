// The models around accelmon that the driver tests do not reach through the driver: SPI0's bus
// rules, the ADC's clock gate, the LIS3LV02DQ's power-down and range.
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
constexpr uint32_t kAdccon = 0x58000000;

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

// ---- ADC --------------------------------------------------------------------------------------

TEST_F(Models, AdcWithoutItsClockReadsZeroAndConvertsNothing) {
    set_reg(kClkcon, reg(kClkcon) & ~(1u << 15));
    set_reg(kAdccon, 0x4001);
    EXPECT_EQ(reg(kAdccon), 0u);
    set_reg(kClkcon, reg(kClkcon) | (1u << 15));
    EXPECT_EQ(board.sensors.adc.conversions(), 0u);
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
}

}  // namespace
}  // namespace accelmontest
