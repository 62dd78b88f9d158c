/* Interrupt flags of the one simulated processor.
 *
 * "Interrupts off" is a lock of the processor: interrupt handlers and timer
 * functions run with it held, and process context that disables interrupts
 * waits for a running handler and keeps the next one out until it enables
 * them again. */
#ifndef __ASM_ARM_SYSTEM_H
#define __ASM_ARM_SYSTEM_H

#include <linux/compiler.h>
#include <asm/atomic.h>

__SIMK_BEGIN_DECLS

unsigned long __simk_local_irq_save(void);
void __simk_local_irq_restore(unsigned long flags);
void __simk_local_irq_disable(void);
void __simk_local_irq_enable(void);
unsigned long __simk_irqs_disabled(void);

#define local_irq_save(flags) ((flags) = __simk_local_irq_save())
#define local_irq_restore(flags) __simk_local_irq_restore(flags)
#define local_irq_disable() __simk_local_irq_disable()
#define local_irq_enable() __simk_local_irq_enable()
#define local_save_flags(flags) ((flags) = __simk_irqs_disabled())
#define irqs_disabled() (__simk_irqs_disabled() != 0)
#define local_fiq_enable() do { } while (0)
#define local_fiq_disable() do { } while (0)

#define raw_local_irq_save(flags) local_irq_save(flags)
#define raw_local_irq_restore(flags) local_irq_restore(flags)

#define xchg(ptr, x) __atomic_exchange_n((ptr), (x), __ATOMIC_SEQ_CST)

__SIMK_END_DECLS

#endif
