// The S3C2410 board support the drivers call: GPIO pin services and the clocks.
#include <array>
#include <cstring>

#include "internal.hpp"

extern "C" {
#include <asm/arch/hardware.h>
#include <asm/arch/regs-clock.h>
#include <asm/arch/regs-gpio.h>
}

namespace {

// The board's clocks: a 12 MHz crystal, MPLL at 202.8 MHz, CLKDIVN 3 (FCLK:HCLK:PCLK 1:2:4).
constexpr unsigned long kFclk = 202800000;
constexpr unsigned long kHclk = kFclk / 2;
constexpr unsigned long kPclk = kFclk / 4;  // 50700000 = 4 x 12675000
constexpr unsigned long kUclk = 48000000;
constexpr unsigned long kXtal = 12000000;

}  // namespace

struct clk {
    const char* name;
    unsigned long rate;
    u32 ctrlbit;  // CLKCON bit that gates it, or 0
    int usage;
};

namespace {

std::array<struct clk, 21>& clocks() {
    static std::array<struct clk, 21> table{{
        {"xtal", kXtal, 0, 0},
        {"fclk", kFclk, 0, 0},
        {"hclk", kHclk, 0, 0},
        {"pclk", kPclk, 0, 0},
        {"mpll", kFclk, 0, 0},
        {"upll", kUclk, 0, 0},
        {"usb-bus", kUclk, 0, 0},
        {"nand", kHclk, S3C2410_CLKCON_NAND, 0},
        {"lcd", kHclk, S3C2410_CLKCON_LCDC, 0},
        {"usb-host", kHclk, S3C2410_CLKCON_USBH, 0},
        {"usb-device", kPclk, S3C2410_CLKCON_USBD, 0},
        {"timers", kPclk, S3C2410_CLKCON_PWMT, 0},
        {"sdi", kPclk, S3C2410_CLKCON_SDI, 0},
        {"uart", kPclk, S3C2410_CLKCON_UART0, 0},
        {"gpio", kPclk, S3C2410_CLKCON_GPIO, 0},
        {"rtc", kPclk, S3C2410_CLKCON_RTC, 0},
        {"adc", kPclk, S3C2410_CLKCON_ADC, 0},
        {"i2c", kPclk, S3C2410_CLKCON_IIC, 0},
        {"iis", kPclk, S3C2410_CLKCON_IIS, 0},
        {"spi", kPclk, S3C2410_CLKCON_SPI, 0},
        {"watchdog", kPclk, 0, 0},
    }};
    return table;
}

std::mutex& clock_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

void gpio_modify(void __iomem* reg, u32 mask, u32 value) {
    simk::detail::IrqGuard irqs_off;
    const u32 old = __raw_readl(reg);
    __raw_writel((old & ~mask) | value, reg);
}

}  // namespace

namespace simk::detail {

void reset_clocks() {
    std::lock_guard lock(clock_mutex());
    for (struct clk& c : clocks()) c.usage = 0;
}

}  // namespace simk::detail

extern "C" {

// ---- GPIO --------------------------------------------------------------------------------------

void s3c2410_gpio_cfgpin(unsigned int pin, unsigned int function) {
    void __iomem* base = S3C24XX_GPIO_BASE(pin);
    const unsigned offset = S3C2410_GPIO_OFFSET(pin);
    const bool bank_a = pin < S3C2410_GPIO_BANKB;
    u32 mask = bank_a ? (1u << offset) : (3u << (offset * 2));
    switch (function) {
        case S3C2410_GPIO_LEAVE:
            mask = 0;
            function = 0;
            break;
        case S3C2410_GPIO_INPUT:
        case S3C2410_GPIO_OUTPUT:
        case S3C2410_GPIO_SFN2:
        case S3C2410_GPIO_SFN3:
            if (bank_a) {
                function = (function & 1) << offset;
            } else {
                function = (function & 3) << (offset * 2);
            }
            break;
        default:
            break;
    }
    gpio_modify(base, mask, function & mask);
}

unsigned int s3c2410_gpio_getcfg(unsigned int pin) {
    void __iomem* base = S3C24XX_GPIO_BASE(pin);
    const unsigned offset = S3C2410_GPIO_OFFSET(pin);
    const u32 con = __raw_readl(base);
    if (pin < S3C2410_GPIO_BANKB) return (con >> offset) & 1;
    return (con >> (offset * 2)) & 3;
}

void s3c2410_gpio_pullup(unsigned int pin, unsigned int to) {
    if (pin < S3C2410_GPIO_BANKB) return;  // port A has no pull-ups
    void __iomem* up = static_cast<char*>(S3C24XX_GPIO_BASE(pin)) + 0x08;
    const unsigned offset = S3C2410_GPIO_OFFSET(pin);
    gpio_modify(up, 1u << offset, (to & 1) << offset);
}

void s3c2410_gpio_setpin(unsigned int pin, unsigned int to) {
    void __iomem* dat = static_cast<char*>(S3C24XX_GPIO_BASE(pin)) + 0x04;
    const unsigned offset = S3C2410_GPIO_OFFSET(pin);
    gpio_modify(dat, 1u << offset, (to ? 1u : 0u) << offset);
}

unsigned int s3c2410_gpio_getpin(unsigned int pin) {
    void __iomem* dat = static_cast<char*>(S3C24XX_GPIO_BASE(pin)) + 0x04;
    return __raw_readl(dat) & (1u << S3C2410_GPIO_OFFSET(pin));
}

int s3c2410_gpio_getirq(unsigned int pin) {
    if (pin >= S3C2410_GPF0 && pin <= S3C2410_GPF3) return IRQ_EINT0 + (pin - S3C2410_GPF0);
    if (pin >= S3C2410_GPF4 && pin <= S3C2410_GPF7) return IRQ_EINT4 + (pin - S3C2410_GPF4);
    if (pin >= S3C2410_GPG0 && pin <= S3C2410_GPG15) return IRQ_EINT8 + (pin - S3C2410_GPG0);
    return -1;
}

unsigned int s3c2410_modify_misccr(unsigned int clr, unsigned int chg) {
    simk::detail::IrqGuard irqs_off;
    u32 misccr = __raw_readl(S3C2410_MISCCR);
    misccr = (misccr & ~clr) | chg;
    __raw_writel(misccr, S3C2410_MISCCR);
    return misccr;
}

// ---- Clocks ------------------------------------------------------------------------------------

struct clk* clk_get(struct device*, const char* id) {
    if (id == nullptr) return static_cast<struct clk*>(ERR_PTR(-ENOENT));
    for (struct clk& c : clocks()) {
        if (std::strcmp(c.name, id) == 0) return &c;
    }
    return static_cast<struct clk*>(ERR_PTR(-ENOENT));
}

void clk_put(struct clk*) {}

int clk_enable(struct clk* clk) {
    if (clk == nullptr || IS_ERR(clk)) return -EINVAL;
    std::lock_guard lock(clock_mutex());
    if (clk->usage++ == 0 && clk->ctrlbit != 0)
        gpio_modify(S3C2410_CLKCON, clk->ctrlbit, clk->ctrlbit);
    return 0;
}

void clk_disable(struct clk* clk) {
    if (clk == nullptr || IS_ERR(clk)) return;
    std::lock_guard lock(clock_mutex());
    if (clk->usage == 0) return;
    if (--clk->usage == 0 && clk->ctrlbit != 0) gpio_modify(S3C2410_CLKCON, clk->ctrlbit, 0);
}

int clk_use(struct clk*) {
    return 0;
}
void clk_unuse(struct clk*) {}

unsigned long clk_get_rate(struct clk* clk) {
    if (clk == nullptr || IS_ERR(clk)) return 0;
    return clk->rate;
}

int clk_set_rate(struct clk*, unsigned long) {
    return -EINVAL;
}

long clk_round_rate(struct clk* clk, unsigned long) {
    return static_cast<long>(clk_get_rate(clk));
}

}  // extern "C"
