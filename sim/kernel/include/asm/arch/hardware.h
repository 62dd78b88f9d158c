/* The S3C2410 GPIO services of the kernel's board support. */
#ifndef __ASM_ARCH_HARDWARE_H
#define __ASM_ARCH_HARDWARE_H

#include <linux/compiler.h>
#include <asm/sizes.h>
#include <asm/arch/map.h>

__SIMK_BEGIN_DECLS

/* Sets the function of a pin: S3C2410_GPIO_INPUT, S3C2410_GPIO_OUTPUT,
 * S3C2410_GPIO_SFN2/3, or the pin's own function constant (for example
 * S3C2410_GPE11_SPIMISO0). */
void s3c2410_gpio_cfgpin(unsigned int pin, unsigned int function);
unsigned int s3c2410_gpio_getcfg(unsigned int pin);
/* to = 1 disables the pin's pull-up, 0 enables it. */
void s3c2410_gpio_pullup(unsigned int pin, unsigned int to);
void s3c2410_gpio_setpin(unsigned int pin, unsigned int to);
/* The pin's bit of the data register, in place (0 or 1 << offset). */
unsigned int s3c2410_gpio_getpin(unsigned int pin);
/* The interrupt of an EINT pin, or -1. */
int s3c2410_gpio_getirq(unsigned int pin);
unsigned int s3c2410_modify_misccr(unsigned int clr, unsigned int chg);

__SIMK_END_DECLS

#endif
