// The S3C2410 board services the drivers call (GPIO pins, clocks), the I/O space (ioremap,
// resources) and the kernel's panic, called as a driver calls them. The fixed register mappings
// are what the drivers' own tests go through.
#include <sys/types.h>

#include <cerrno>
#include <string>

#include "kernel_fixture.hpp"

extern "C" {
#include <asm/arch/hardware.h>
#include <asm/arch/regs-clock.h>
#include <asm/arch/regs-gpio.h>
#include <asm/arch/regs-irq.h>
#include <asm/io.h>
#include <linux/clk.h>
#include <linux/err.h>
#include <linux/ioport.h>
#include <linux/kernel.h>
}

namespace {

using simktest::reg;

class Services : public ::testing::Test {
  protected:
    simktest::Board board;
};

TEST_F(Services, GpioServicesSetFunctionsAndLevels) {
    s3c2410_gpio_cfgpin(S3C2410_GPE11, S3C2410_GPE11_SPIMISO0);
    s3c2410_gpio_cfgpin(S3C2410_GPE13, S3C2410_GPE13_SPICLK0);
    EXPECT_EQ(board.soc.gpio.function(S3C2410_GPE11), 2u);
    EXPECT_EQ(board.soc.gpio.function(S3C2410_GPE13), 2u);
    EXPECT_EQ(s3c2410_gpio_getcfg(S3C2410_GPE11), 2u);

    s3c2410_gpio_setpin(S3C2410_GPG2, 1);
    s3c2410_gpio_cfgpin(S3C2410_GPG2, S3C2410_GPG2_OUTP);
    EXPECT_TRUE(board.soc.gpio.is_output(S3C2410_GPG2));
    EXPECT_TRUE(board.soc.gpio.level(S3C2410_GPG2));
    s3c2410_gpio_setpin(S3C2410_GPG2, 0);
    EXPECT_FALSE(board.soc.gpio.level(S3C2410_GPG2));

    // getpin gives the data bit in place.
    s3c2410_gpio_cfgpin(S3C2410_GPG1, S3C2410_GPIO_INPUT);
    board.soc.gpio.drive(S3C2410_GPG1, true);
    EXPECT_EQ(s3c2410_gpio_getpin(S3C2410_GPG1), 2u);
    board.soc.gpio.drive(S3C2410_GPG1, false);
    EXPECT_EQ(s3c2410_gpio_getpin(S3C2410_GPG1), 0u);
    s3c2410_gpio_cfgpin(S3C2410_GPG1, S3C2410_GPIO_OUTPUT);
    EXPECT_EQ(board.soc.gpio.function(S3C2410_GPG1), 1u);

    s3c2410_gpio_pullup(S3C2410_GPF6, 1);
    EXPECT_NE(reg(0x56000058) & (1u << 6), 0u);
    EXPECT_EQ(s3c2410_gpio_getirq(S3C2410_GPG8), 60);
    EXPECT_EQ(s3c2410_gpio_getirq(S3C2410_GPF1), 17);
    EXPECT_EQ(s3c2410_gpio_getirq(S3C2410_GPE1), -1);
}

TEST_F(Services, ClocksOfTheBoard) {
    struct clk* pclk = clk_get(nullptr, "pclk");
    ASSERT_FALSE(IS_ERR(pclk));
    EXPECT_EQ(clk_get_rate(pclk), 50700000u);
    EXPECT_TRUE(IS_ERR(clk_get(nullptr, "nosuch")));
    EXPECT_EQ(PTR_ERR(clk_get(nullptr, "nosuch")), -ENOENT);

    struct clk* timers = clk_get(nullptr, "timers");
    ASSERT_FALSE(IS_ERR(timers));
    struct clk* adc = clk_get(nullptr, "adc");
    __raw_writel(__raw_readl(S3C2410_CLKCON) & ~S3C2410_CLKCON_ADC, S3C2410_CLKCON);
    EXPECT_EQ(clk_enable(adc), 0);
    EXPECT_NE(__raw_readl(S3C2410_CLKCON) & S3C2410_CLKCON_ADC, 0u);
    clk_disable(adc);
    EXPECT_EQ(__raw_readl(S3C2410_CLKCON) & S3C2410_CLKCON_ADC, 0u);
}

TEST_F(Services, IoremapGivesAnAddressTheAccessorsTranslate) {
    void __iomem* gpio = ioremap(0x56000050, 0x10);
    ASSERT_NE(gpio, nullptr);
    writel(0x55, gpio);
    EXPECT_EQ(reg(0x56000050), 0x55u);
    writeb(0xAA, static_cast<char*>(gpio) + 4);
    // GPF0..3 are outputs and read back their latch; GPF4..7 are inputs on their pull-ups.
    EXPECT_EQ(readb(static_cast<char*>(gpio) + 4), 0xFAu);
    iounmap(gpio);
    EXPECT_EQ(ioremap(0xF0000000, 4), nullptr);
    EXPECT_EQ(ioremap(0x1000, 0), nullptr);
}

TEST_F(Services, RegionsAreClaimedOnce) {
    struct resource* r = request_mem_region(0x59000000, 0x20, "spi");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(request_mem_region(0x59000010, 0x20, "again"), nullptr);
    struct resource* adc = request_mem_region(0x58000000, 0x20, "adc");
    EXPECT_NE(adc, nullptr);
    release_mem_region(0x59000000, 0x20);
    r = request_mem_region(0x59000000, 0x20, "spi");
    EXPECT_NE(r, nullptr);
    release_mem_region(0x59000000, 0x20);
    release_mem_region(0x58000000, 0x20);
    release_mem_region(0x58000000, 0x20);
    EXPECT_TRUE(board.console_has("Trying to free nonexistent resource <58000000-5800001f>"));
}

using ServicesDeathTest = Services;

TEST_F(ServicesDeathTest, ABareIoAccessOutsideAnyMappingIsAnOops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    void __iomem* gpio = ioremap(0x56000050, 0x10);
    iounmap(gpio);
    EXPECT_DEATH(
        {
            simk::set_console(nullptr);
            readl(gpio);
        },
        "Unable to handle kernel paging request");
}

TEST_F(ServicesDeathTest, PanicReachesTheBoardsHandler) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    simk::set_panic_handler([](std::string_view msg) {
        std::fprintf(stderr, "board halted: %.*s\n", static_cast<int>(msg.size()), msg.data());
        std::_Exit(3);
    });
    EXPECT_EXIT(panic("setup_timer: HZ is too small, cannot configure timer!"),
                ::testing::ExitedWithCode(3),
                "board halted: setup_timer: HZ is too small, cannot configure timer!");
}

}  // namespace
