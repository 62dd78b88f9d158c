#ifndef LINUX_HARDIRQ_H
#define LINUX_HARDIRQ_H

#include <linux/compiler.h>
#include <asm/system.h>

__SIMK_BEGIN_DECLS

/* 1 while the calling thread runs an interrupt handler or a timer function
 * on the simulated processor. */
int __simk_in_interrupt(void);
int __simk_in_irq(void);

#define in_interrupt() __simk_in_interrupt()
#define in_irq() __simk_in_irq()
#define in_softirq() (__simk_in_interrupt() && !__simk_in_irq())
#define in_atomic() (__simk_in_interrupt() || irqs_disabled())

__SIMK_END_DECLS

#endif
