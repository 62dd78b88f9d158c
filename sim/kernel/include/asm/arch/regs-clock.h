/* S3C2410 clock and power management registers. */
#ifndef __ASM_ARM_REGS_CLOCK
#define __ASM_ARM_REGS_CLOCK

#include <asm/arch/map.h>

#define S3C2410_CLKREG(x) ((void __iomem *)((unsigned long)S3C24XX_VA_CLKPWR + (x)))

#define S3C2410_PLLVAL(_m, _p, _s) ((_m) << 12 | ((_p) << 4) | ((_s)))

#define S3C2410_LOCKTIME S3C2410_CLKREG(0x00)
#define S3C2410_MPLLCON S3C2410_CLKREG(0x04)
#define S3C2410_UPLLCON S3C2410_CLKREG(0x08)
#define S3C2410_CLKCON S3C2410_CLKREG(0x0C)
#define S3C2410_CLKSLOW S3C2410_CLKREG(0x10)
#define S3C2410_CLKDIVN S3C2410_CLKREG(0x14)

#define S3C2410_CLKCON_IDLE (1 << 2)
#define S3C2410_CLKCON_POWER (1 << 3)
#define S3C2410_CLKCON_NAND (1 << 4)
#define S3C2410_CLKCON_LCDC (1 << 5)
#define S3C2410_CLKCON_USBH (1 << 6)
#define S3C2410_CLKCON_USBD (1 << 7)
#define S3C2410_CLKCON_PWMT (1 << 8)
#define S3C2410_CLKCON_SDI (1 << 9)
#define S3C2410_CLKCON_UART0 (1 << 10)
#define S3C2410_CLKCON_UART1 (1 << 11)
#define S3C2410_CLKCON_UART2 (1 << 12)
#define S3C2410_CLKCON_GPIO (1 << 13)
#define S3C2410_CLKCON_RTC (1 << 14)
#define S3C2410_CLKCON_ADC (1 << 15)
#define S3C2410_CLKCON_IIC (1 << 16)
#define S3C2410_CLKCON_IIS (1 << 17)
#define S3C2410_CLKCON_SPI (1 << 18)

#define S3C2410_PLLCON_MDIVSHIFT 12
#define S3C2410_PLLCON_PDIVSHIFT 4
#define S3C2410_PLLCON_SDIVSHIFT 0
#define S3C2410_PLLCON_MDIVMASK ((1 << (1 + (19 - 12))) - 1)
#define S3C2410_PLLCON_PDIVMASK ((1 << 5) - 1)
#define S3C2410_PLLCON_SDIVMASK 3

#define S3C2410_CLKDIVN_PDIVN (1 << 0)
#define S3C2410_CLKDIVN_HDIVN (1 << 1)

#define S3C2410_CLKSLOW_UCLK_OFF (1 << 7)
#define S3C2410_CLKSLOW_MPLL_OFF (1 << 5)
#define S3C2410_CLKSLOW_SLOW (1 << 4)
#define S3C2410_CLKSLOW_SLOWVAL(x) (x)
#define S3C2410_CLKSLOW_GET_SLOWVAL(x) ((x) & 7)

static inline unsigned int s3c2410_get_pll(unsigned int pllval,
					   unsigned int baseclk)
{
	unsigned int mdiv, pdiv, sdiv;
	unsigned long long fvco;

	mdiv = pllval >> S3C2410_PLLCON_MDIVSHIFT;
	pdiv = pllval >> S3C2410_PLLCON_PDIVSHIFT;
	sdiv = pllval >> S3C2410_PLLCON_SDIVSHIFT;

	mdiv &= S3C2410_PLLCON_MDIVMASK;
	pdiv &= S3C2410_PLLCON_PDIVMASK;
	sdiv &= S3C2410_PLLCON_SDIVMASK;

	fvco = (unsigned long long)baseclk * (mdiv + 8);
	fvco /= (pdiv + 2) << sdiv;
	return (unsigned int)fvco;
}

#endif
