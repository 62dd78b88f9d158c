// The models around accelmon: SPI0, the ADC, the LIS3LV02DQ and ADXL345-type chips, the car's
// motion and the input lines, through their registers and pins as a driver sees them.
#include <cmath>

#include "accelmon_fixture.hpp"

namespace accelmontest {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kSpi = 0x59000000;
constexpr uint32_t kSpcon = kSpi + 0x00;
constexpr uint32_t kSpsta = kSpi + 0x04;
constexpr uint32_t kSppre = kSpi + 0x0C;
constexpr uint32_t kSptdat = kSpi + 0x10;
constexpr uint32_t kSprdat = kSpi + 0x14;
constexpr uint32_t kGpecon = 0x56000040;
constexpr uint32_t kGpgcon = 0x56000060;
constexpr uint32_t kGpgdat = 0x56000064;

constexpr uint32_t kAdc = 0x58000000;
constexpr uint32_t kAdccon = kAdc + 0x00;
constexpr uint32_t kAdcdat0 = kAdc + 0x0C;

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
    void feel(const hw::Accel& a) {
        board.sensors.lis3lv02dq.set_source([a] { return a; });
        board.sensors.adxl345.set_source([a] { return a; });
    }
    uint32_t convert(uint32_t adccon) {
        set_reg(kAdccon, adccon | 1);
        EXPECT_TRUE(eventually([] { return (reg(kAdccon) & (1u << 15)) != 0; }));
        return reg(kAdcdat0) & 0x3FF;
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
}

TEST_F(Models, SpiReachesNoChipInTheWrongModeOrWithoutItsPins) {
    wire_bus();
    set_reg(kSpcon, 0x18);  // mode 0
    EXPECT_EQ(read_register(0x0F), 0xFF);
    set_reg(kSpcon, 0x1E);
    set_reg(kGpecon, reg(kGpecon) & ~(0x3Fu << 22));
    EXPECT_EQ(read_register(0x0F), 0xFF);
    wire_bus();
    EXPECT_EQ(read_register(0x0F), 0x3A);
}

TEST_F(Models, SpiWithoutItsClockOrInSlaveModeNeverFinishesAByte) {
    wire_bus();
    set_reg(kSpcon, 0x0E);  // ENSCK clear
    set_reg(kSptdat, 0x8F);
    std::this_thread::sleep_for(1ms);
    EXPECT_EQ(reg(kSpsta) & 1, 0u);
    set_reg(kSptdat, 0x11);
    EXPECT_NE(reg(kSpsta) & 4, 0u) << "a write while busy collides";
    EXPECT_EQ(reg(kSpsta) & 4, 0u) << "reading SPSTA clears DCOL";

    board.soc.clock.reset();
    hw::reset_all();
    wire_bus();
    set_reg(kClkcon, reg(kClkcon) & ~kClkconSpi);
    EXPECT_EQ(reg(kSpsta), 0u) << "a gated controller reads 0";
    set_reg(kSptdat, 0x8F);
    set_reg(kClkcon, reg(kClkcon) | kClkconSpi);
    EXPECT_EQ(board.sensors.spi.bytes(), 0u);
}

// ---- ADC --------------------------------------------------------------------------------------

TEST_F(Models, AdcConvertsTheSelectedInputAndKeepsTheResult) {
    board.sensors.adc.set_input(0, 700);
    board.sensors.adc.set_input(3, 5000);
    EXPECT_EQ(reg(kAdcdat0), 0u) << "nothing converted yet";
    EXPECT_EQ(convert(0x4000 | (24u << 6)), 700u);
    EXPECT_EQ(convert(0x4000 | (3u << 3)), 1023u) << "inputs are limited to full scale";
    EXPECT_EQ(board.sensors.adc.conversions(), 2u);

    set_reg(kAdccon, 0x4000 | 4 | 1);  // standby: no conversion
    EXPECT_EQ(board.sensors.adc.conversions(), 2u);
    EXPECT_EQ(reg(kAdcdat0), 1023u);

    board.sensors.set_knob_level(37);
    EXPECT_EQ(convert(0x4000) >> 4, 37u);
    EXPECT_EQ(board.sensors.knob_level(), 37);
}

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
    feel({0.375, -0.125, 1.0});
    EXPECT_FALSE(board.sensors.lis3lv02dq.measuring());
    EXPECT_EQ(read_register(0x20), 0x07);
    EXPECT_EQ(axis(0x28), 0) << "nothing sampled while powered down";
    write_register(0x20, 0xC7);
    EXPECT_TRUE(board.sensors.lis3lv02dq.measuring());
    EXPECT_EQ(read_register(0x28), 0x80);
    EXPECT_EQ(read_register(0x29), 0x01) << "0.375 g is 384 counts";
    EXPECT_EQ(axis(0x2A), -128);
    EXPECT_EQ(axis(0x2C), 1024);
    EXPECT_EQ(read_register(0x0F), 0x3A);
    write_register(0x0F, 0x00);
    EXPECT_EQ(read_register(0x0F), 0x3A) << "WHO_AM_I cannot be written";
}

TEST_F(Models, Lis3lv02dqScalesLimitsAndLaysOutItsOutputs) {
    wire_bus();
    feel({5.0, -5.0, 1.0});
    write_register(0x20, 0xC7);
    EXPECT_EQ(axis(0x28), 2047);
    EXPECT_EQ(axis(0x2A), -2048);
    EXPECT_EQ(board.sensors.lis3lv02dq.last_sample(), (std::array<int, 3>{2047, -2048, 1024}));

    write_register(0x21, 0x80);  // 6 g
    feel({5.0, -1.0, 0.0});
    std::this_thread::sleep_for(30ms);  // a new sample at 40 per second
    EXPECT_EQ(axis(0x28), 1700);
    EXPECT_EQ(axis(0x2A), -340);

    write_register(0x21, 0x01);  // 2 g, left-justified
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(axis(0x2A), -1024 * 16);

    write_register(0x21, 0x20);  // big-endian
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(read_register(0x2A), 0xFC) << "high byte first";
    EXPECT_EQ(read_register(0x2B), 0x00);

    write_register(0x20, 0xC6);  // X disabled
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(read_register(0x28) | read_register(0x29), 0);
}

TEST_F(Models, Lis3lv02dqStepsTheAddressWhenAsked) {
    wire_bus();
    feel({0, 0, 1.0});
    write_register(0x20, 0xC7);
    chip_select(true);
    byte(0x80 | 0x40 | 0x2C);
    EXPECT_EQ(byte(0xFF), 0x00);
    EXPECT_EQ(byte(0xFF), 0x04) << "OUTZ_H follows OUTZ_L";
    chip_select(false);
}

// ---- ADXL345 ----------------------------------------------------------------------------------

TEST_F(Models, Adxl345OutputsFollowItsDataFormat) {
    board.sensors.fit(hw::AccelChip::kAdxl345);
    wire_bus();
    feel({1.0, -1.0 / 256, 0.5});
    EXPECT_EQ(read_register(0x00), 0xE5);
    EXPECT_EQ(read_register(0x2C), 0x0A);
    EXPECT_EQ(axis(0x32), 0) << "standby";
    write_register(0x2D, 0x08);
    EXPECT_EQ(axis(0x32), 256) << "10 bits right-justified, 256 per g";
    EXPECT_EQ(axis(0x34), -1);

    write_register(0x31, 0x0C);  // full resolution, left-justified, 2 g
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(static_cast<uint16_t>(axis(0x32)), 0x4000);
    EXPECT_EQ(static_cast<uint16_t>(axis(0x34)), 0xFFC0);
    EXPECT_EQ(static_cast<uint16_t>(axis(0x36)), 0x2000);

    write_register(0x31, 0x01);  // 4 g, 10 bits
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(axis(0x32), 128);

    feel({9.0, 0, 0});
    write_register(0x31, 0x0C);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(static_cast<uint16_t>(axis(0x32)), 0x7FC0) << "limited to the 2 g range";
    EXPECT_NE(read_register(0x30) & 0x80, 0) << "data ready while measuring";
}

// ---- Motion -----------------------------------------------------------------------------------

TEST_F(Models, TheCarStandsStillWhenParkedAndVibratesWhenDriving) {
    hw::VehicleMotion motion;
    const auto t0 = hw::Clock::now();
    const hw::Accel parked = motion.at(t0);
    EXPECT_EQ(parked.x, 0);
    EXPECT_EQ(parked.y, 0);
    EXPECT_EQ(parked.z, 1);

    motion.set_state(hw::MotionState::kDriving);
    double min_z = 2, max_z = 0;
    for (int ms = 0; ms < 2000; ms += 7) {
        const hw::Accel a = motion.at(t0 + std::chrono::milliseconds(ms));
        min_z = std::min(min_z, a.z);
        max_z = std::max(max_z, a.z);
        EXPECT_LT(std::abs(a.x), 0.1);
        EXPECT_LT(std::abs(a.y), 0.1);
    }
    EXPECT_GT(max_z - min_z, 0.05) << "the road shakes";
    EXPECT_LT(max_z - min_z, 0.3) << "but never like an impact";

    motion.set_state(hw::MotionState::kBraking);
    EXPECT_LT(motion.at(t0).x, -0.35);
    motion.set_state(hw::MotionState::kCornering);
    EXPECT_GT(motion.at(t0).y, 0.25);
}

TEST_F(Models, AnImpactLastsLongEnoughForThreeSamplesASecond) {
    hw::VehicleMotion motion;
    motion.impact(-2.5, 'x');
    const auto now = hw::Clock::now();
    EXPECT_NEAR(motion.at(now).x, -2.5, 1e-9);
    EXPECT_NEAR(motion.at(now + 340ms).x, -2.5, 1e-9);
    EXPECT_EQ(motion.at(now + 500ms).x, 0);
    EXPECT_EQ(motion.at(now + 500ms).z, 1);
}

TEST_F(Models, TheRotatedMountIsUndoneByTheDriversMapping) {
    const hw::Accel car{0.3, -0.2, 1.0};
    const hw::Accel chip = hw::chip_axes(car, hw::Mount::kRotated);
    // The driver's rotated mapping: X = chip y, Y = -chip x.
    EXPECT_EQ(chip.y, car.x);
    EXPECT_EQ(-chip.x, car.y);
    EXPECT_EQ(chip.z, car.z);
    const hw::Accel straight = hw::chip_axes(car, hw::Mount::kStraight);
    EXPECT_EQ(straight.x, car.x);
    EXPECT_EQ(straight.y, car.y);
}

// ---- Input lines ------------------------------------------------------------------------------

TEST_F(Models, AButtonPressIsOneLowPulse) {
    hw::InputLines& in = board.sensors.inputs;
    std::atomic<int> falls{0};
    const int watch = board.soc.gpio.watch(kButtonPin, [&](bool level) { falls += !level; });
    EXPECT_TRUE(in.button_level());
    in.press_button(20ms);
    EXPECT_FALSE(in.button_level());
    EXPECT_TRUE(in.button_pressed());
    EXPECT_TRUE(eventually([&] { return in.button_level(); }));
    EXPECT_FALSE(in.button_pressed());
    board.soc.gpio.unwatch(watch);
    EXPECT_EQ(falls, 1);

    in.raise_alarm(20ms);
    EXPECT_FALSE(in.alarm_level());
    EXPECT_TRUE(eventually([&] { return in.alarm_level(); }));
}

TEST_F(Models, PowerDetectIsHeldLowWhileTheSupplyFailsAndNotesTheProcessorsPulls) {
    hw::InputLines& in = board.sensors.inputs;
    EXPECT_TRUE(in.power_detect_level());
    in.fail_power();
    EXPECT_FALSE(in.power_detect_level());
    in.restore_power();
    EXPECT_TRUE(in.power_detect_level());
    EXPECT_EQ(in.cpu_pulses(), 0u);

    // The processor makes GPG1 an output and drives it low, then gives it back.
    set_reg(kGpgdat, reg(kGpgdat) & ~(1u << 1));
    set_reg(kGpgcon, (reg(kGpgcon) & ~(3u << 2)) | (1u << 2));
    EXPECT_TRUE(in.power_detect_driven_by_cpu());
    EXPECT_FALSE(in.power_detect_level());
    EXPECT_EQ(in.cpu_pulses(), 1u);
    set_reg(kGpgdat, reg(kGpgdat) | (1u << 1));
    set_reg(kGpgcon, (reg(kGpgcon) & ~(3u << 2)) | (2u << 2));
    EXPECT_FALSE(in.power_detect_driven_by_cpu());
    EXPECT_TRUE(in.power_detect_level());
    EXPECT_EQ(in.cpu_pulses(), 1u);
}

}  // namespace
}  // namespace accelmontest
