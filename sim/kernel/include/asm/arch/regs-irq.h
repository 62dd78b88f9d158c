/* S3C2410 interrupt controller registers. */
#ifndef ___ASM_ARCH_REGS_IRQ_H
#define ___ASM_ARCH_REGS_IRQ_H

#include <asm/arch/map.h>
#include <asm/arch/regs-gpio.h>

#define S3C2410_IRQREG(x) ((void __iomem *)((unsigned long)S3C24XX_VA_IRQ + (x)))
#define S3C2410_EINTREG(x) ((void __iomem *)((unsigned long)S3C24XX_VA_GPIO + (x)))

#define S3C2410_SRCPND S3C2410_IRQREG(0x000)
#define S3C2410_INTMOD S3C2410_IRQREG(0x004)
#define S3C2410_INTMSK S3C2410_IRQREG(0x008)
#define S3C2410_PRIORITY S3C2410_IRQREG(0x00C)
#define S3C2410_INTPND S3C2410_IRQREG(0x010)
#define S3C2410_INTOFFSET S3C2410_IRQREG(0x014)
#define S3C2410_SUBSRCPND S3C2410_IRQREG(0x018)
#define S3C2410_INTSUBMSK S3C2410_IRQREG(0x01C)

/* mask/pending of the external interrupts 4..23 (in the GPIO block) */
#ifndef S3C2410_EINTMASK
#define S3C2410_EINTMASK S3C2410_GPIOREG(0x0A4)
#define S3C2410_EINTPEND S3C2410_GPIOREG(0x0A8)
#endif

/* bits of SUBSRCPND/INTSUBMSK */
#define S3C2410_SUBSRC_RXD0 (1 << 0)
#define S3C2410_SUBSRC_TXD0 (1 << 1)
#define S3C2410_SUBSRC_ERR0 (1 << 2)
#define S3C2410_SUBSRC_RXD1 (1 << 3)
#define S3C2410_SUBSRC_TXD1 (1 << 4)
#define S3C2410_SUBSRC_ERR1 (1 << 5)
#define S3C2410_SUBSRC_RXD2 (1 << 6)
#define S3C2410_SUBSRC_TXD2 (1 << 7)
#define S3C2410_SUBSRC_ERR2 (1 << 8)
#define S3C2410_SUBSRC_TC (1 << 9)
#define S3C2410_SUBSRC_ADC (1 << 10)

#endif
