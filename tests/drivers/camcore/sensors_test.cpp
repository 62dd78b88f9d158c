// The image sensor models as their bus and pixel port behave, without a coprocessor: the
// transfers the wrong protocol gets wrong, and the registers that shape the picture.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <span>

#include "mt9m112d.hpp"
#include "mt9v111.hpp"
#include "ov7725.hpp"

namespace {

using Bytes = std::array<uint8_t, 2>;

// The one byte an 8-bit read gets, with a stop (SCCB) or a repeated start (I2C) after the address.
uint8_t read8(hw::ImageSensor& s, uint8_t reg, bool repeated_start) {
    Bytes b{};
    s.read(reg, repeated_start, std::span(b).first(1));
    return b[0];
}

uint16_t read16(hw::ImageSensor& s, uint8_t reg) {
    Bytes b{};
    s.read(reg, true, b);
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

void write16(hw::ImageSensor& s, uint8_t reg, uint16_t v) {
    const Bytes b{static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    s.write(reg, b);
}

TEST(Ov7725, AnSccbReadGetsTheRegisterAndAnI2cReadTheOneLatchedBefore) {
    hw::Ov7725 s;
    EXPECT_EQ(read8(s, 0x0A, false), 0x77);
    EXPECT_EQ(read8(s, 0x0B, true), 0x77) << "the repeated start leaves 0x0A latched";
    EXPECT_EQ(read8(s, 0x0B, false), 0x21);
    // A write latches its register; one byte of value is all the port takes.
    const Bytes two{0x55, 0x66};
    s.write(0x15, two);
    EXPECT_EQ(s.reg(0x15), 0x55);
    EXPECT_EQ(s.reg(0x16), 0x00);
    EXPECT_EQ(read8(s, 0x0A, true), 0x55);
    // After its byte the sensor lets the bus go.
    Bytes b{};
    s.read(0x0A, false, b);
    EXPECT_EQ(b, (Bytes{0x77, 0xFF}));
}

TEST(Ov7725, ItsRegistersShapeThePictureAndTheSignals) {
    hw::Ov7725 s;
    hw::SensorOutput o = s.output();
    EXPECT_TRUE(o.flip && o.mirror) << "mounted upside down: wrong way up at reset";
    EXPECT_EQ(o.width, 640u);
    EXPECT_EQ(o.height, 480u);
    EXPECT_TRUE(o.y_first);
    EXPECT_FALSE(o.sync_inverted || o.clock_inverted || o.test_pattern);

    const uint8_t com3 = 0xD0, bars = 0xD1, qvga_w = 0x50, qvga_h = 0x78;
    s.write(0x0C, std::span(&com3, 1));
    o = s.output();
    EXPECT_FALSE(o.flip || o.mirror);
    s.write(0x0C, std::span(&bars, 1));
    EXPECT_TRUE(s.output().test_pattern);
    s.write(0x29, std::span(&qvga_w, 1));
    s.write(0x2C, std::span(&qvga_h, 1));
    EXPECT_EQ(s.output().width, 320u);
    EXPECT_EQ(s.output().height, 240u);

    for (uint8_t com10 : {0x02, 0x08, 0x40}) {
        s.write(0x15, std::span(&com10, 1));
        EXPECT_TRUE(s.output().sync_inverted) << int(com10);
    }
    const uint8_t pclk = 0x10;
    s.write(0x15, std::span(&pclk, 1));
    EXPECT_TRUE(s.output().clock_inverted);
    EXPECT_FALSE(s.output().sync_inverted);

    const uint8_t reset = 0x80;
    s.write(0x12, std::span(&reset, 1));
    EXPECT_EQ(s.reg(0x0C), 0x10) << "the soft reset";
    EXPECT_EQ(s.reg(0x15), 0x00);
}

TEST(Mt9v111, HalfARegisterIsNeverWrittenAndOneByteReadsOnlyTheHighHalf) {
    hw::Mt9v111 s;
    write16(s, 0x01, hw::Mt9v111::kCorePage);
    EXPECT_EQ(read16(s, 0xFF), hw::Mt9v111::kChipVersion);
    EXPECT_EQ(read8(s, 0xFF, true), 0x82);

    const uint8_t high = 0x12;
    s.write(0x09, std::span(&high, 1));
    EXPECT_EQ(s.reg(hw::Mt9v111::kCorePage, 0x09), 0x01FC);
    // Two registers in one write: the address steps on.
    const std::array<uint8_t, 4> pair{0x00, 0x22, 0x00, 0x33};
    s.write(0x05, pair);
    EXPECT_EQ(s.reg(hw::Mt9v111::kCorePage, 0x05), 0x0022);
    EXPECT_EQ(s.reg(hw::Mt9v111::kCorePage, 0x06), 0x0033);
    EXPECT_EQ(s.output().sync, hw::SensorOutput::Sync::kFrameLineValid);
    EXPECT_FALSE(s.output().y_first);
}

TEST(Mt9m112d, ItsIdentityAnswersAtRegisterZeroOnlyAfterRegister0FIsCleared) {
    hw::Mt9m112d s;
    EXPECT_EQ(read16(s, 0x00), 0u);
    EXPECT_EQ(read16(s, 0xFF), hw::Mt9m112d::kChipVersion);
    write16(s, 0x0F, 0x0000);
    EXPECT_EQ(read16(s, 0x00), hw::Mt9m112d::kChipVersion);
    write16(s, 0xF0, 0x0001);
    EXPECT_NE(read16(s, 0x00), hw::Mt9m112d::kChipVersion) << "page 1";
    write16(s, 0xF0, 0x0000);
    write16(s, 0x0D, 0x0009);  // soft reset
    EXPECT_EQ(read16(s, 0x00), 0u);
}

TEST(Mt9m112d, TheOutputSizeIsTheColourPipesAndStartsAtTheFullFrame) {
    hw::Mt9m112d s;
    EXPECT_EQ(s.output().width, 1280u);
    EXPECT_EQ(s.output().height, 1024u);
    write16(s, 0xF0, 0x0001);
    write16(s, 0xA1, 640);
    write16(s, 0xA4, 480);
    EXPECT_EQ(s.output().width, 640u);
    EXPECT_EQ(s.output().height, 480u);
}

}  // namespace
