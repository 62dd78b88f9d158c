#ifndef __ASM_ARM_IRQ_H
#define __ASM_ARM_IRQ_H

#include <linux/compiler.h>
#include <asm/arch/irqs.h>

__SIMK_BEGIN_DECLS

#define IRQ_TYPE_NONE 0x00000000
#define IRQ_TYPE_EDGE_RISING 0x00000001
#define IRQ_TYPE_EDGE_FALLING 0x00000002
#define IRQ_TYPE_EDGE_BOTH (IRQ_TYPE_EDGE_FALLING | IRQ_TYPE_EDGE_RISING)
#define IRQ_TYPE_LEVEL_HIGH 0x00000004
#define IRQ_TYPE_LEVEL_LOW 0x00000008
#define IRQ_TYPE_SENSE_MASK 0x0000000f
#define IRQ_TYPE_PROBE 0x00000010

#define __IRQT_FALEDGE IRQ_TYPE_EDGE_FALLING
#define __IRQT_RISEDGE IRQ_TYPE_EDGE_RISING
#define __IRQT_LOWLVL IRQ_TYPE_LEVEL_LOW
#define __IRQT_HIGHLVL IRQ_TYPE_LEVEL_HIGH

#define IRQT_NOEDGE (0)
#define IRQT_RISING (__IRQT_RISEDGE)
#define IRQT_FALLING (__IRQT_FALEDGE)
#define IRQT_BOTHEDGE (__IRQT_RISEDGE | __IRQT_FALEDGE)
#define IRQT_LOW (__IRQT_LOWLVL)
#define IRQT_HIGH (__IRQT_HIGHLVL)
#define IRQT_PROBE IRQ_TYPE_PROBE

#define NO_IRQ ((unsigned int)(-1))

int set_irq_type(unsigned int irq, unsigned int type);
void disable_irq_nosync(unsigned int irq);
void disable_irq(unsigned int irq);
void enable_irq(unsigned int irq);

__SIMK_END_DECLS

#endif
