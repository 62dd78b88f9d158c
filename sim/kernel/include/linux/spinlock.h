/* Spin locks. Several process-context threads run at once on the simulated
 * board, so a spin lock is a real lock; the _irqsave/_irq forms also turn
 * interrupts off (see asm/system.h), which keeps handlers and timers out. */
#ifndef __LINUX_SPINLOCK_H
#define __LINUX_SPINLOCK_H

#include <linux/compiler.h>
#include <linux/stddef.h>
#include <asm/system.h>

__SIMK_BEGIN_DECLS

typedef struct {
	volatile int lock;	/* 0 free, 1 held, 2 held with waiters */
} spinlock_t;

typedef struct {
	spinlock_t lock;
} rwlock_t;

#define __SPIN_LOCK_UNLOCKED(name) { 0 }
#define SPIN_LOCK_UNLOCKED ((spinlock_t){ 0 })
#define DEFINE_SPINLOCK(x) spinlock_t x = __SPIN_LOCK_UNLOCKED(x)
#define __RW_LOCK_UNLOCKED(name) { { 0 } }
#define RW_LOCK_UNLOCKED ((rwlock_t){ { 0 } })
#define DEFINE_RWLOCK(x) rwlock_t x = __RW_LOCK_UNLOCKED(x)

void __simk_spin_lock(spinlock_t *lock);
void __simk_spin_unlock(spinlock_t *lock);
int __simk_spin_trylock(spinlock_t *lock);

#define spin_lock_init(l) do { (l)->lock = 0; } while (0)
#define spin_lock(l) __simk_spin_lock(l)
#define spin_unlock(l) __simk_spin_unlock(l)
#define spin_trylock(l) __simk_spin_trylock(l)
#define spin_is_locked(l) ((l)->lock != 0)

#define spin_lock_irqsave(l, flags) \
	do { local_irq_save(flags); spin_lock(l); } while (0)
#define spin_unlock_irqrestore(l, flags) \
	do { spin_unlock(l); local_irq_restore(flags); } while (0)
#define spin_lock_irq(l) do { local_irq_disable(); spin_lock(l); } while (0)
#define spin_unlock_irq(l) do { spin_unlock(l); local_irq_enable(); } while (0)
/* Timer functions run with interrupts off here, so keeping them out takes
 * the same as keeping interrupts out. */
#define spin_lock_bh(l) spin_lock_irq(l)
#define spin_unlock_bh(l) spin_unlock_irq(l)
#define local_bh_disable() local_irq_disable()
#define local_bh_enable() local_irq_enable()

#define rwlock_init(rw) spin_lock_init(&(rw)->lock)
#define read_lock(rw) spin_lock(&(rw)->lock)
#define read_unlock(rw) spin_unlock(&(rw)->lock)
#define write_lock(rw) spin_lock(&(rw)->lock)
#define write_unlock(rw) spin_unlock(&(rw)->lock)
#define read_lock_irqsave(rw, f) spin_lock_irqsave(&(rw)->lock, f)
#define read_unlock_irqrestore(rw, f) spin_unlock_irqrestore(&(rw)->lock, f)
#define write_lock_irqsave(rw, f) spin_lock_irqsave(&(rw)->lock, f)
#define write_unlock_irqrestore(rw, f) spin_unlock_irqrestore(&(rw)->lock, f)
#define write_lock_irq(rw) spin_lock_irq(&(rw)->lock)
#define write_unlock_irq(rw) spin_unlock_irq(&(rw)->lock)
#define read_lock_irq(rw) spin_lock_irq(&(rw)->lock)
#define read_unlock_irq(rw) spin_unlock_irq(&(rw)->lock)

__SIMK_END_DECLS

#endif
