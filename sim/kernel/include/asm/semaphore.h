/* Counting semaphores (the 2.6.20 ARM API). down() sleeps uninterruptibly,
 * down_interruptible() returns -EINTR when the caller is interrupted. */
#ifndef __ASM_ARM_SEMAPHORE_H
#define __ASM_ARM_SEMAPHORE_H

#include <linux/wait.h>
#include <linux/spinlock.h>
#include <asm/atomic.h>

__SIMK_BEGIN_DECLS

struct semaphore {
	int count;
	wait_queue_head_t wait;
};

#define __SEMAPHORE_INIT(name, cnt) { \
	.count = (cnt), \
	.wait = __WAIT_QUEUE_HEAD_INITIALIZER((name).wait), \
}

#define __DECLARE_SEMAPHORE_GENERIC(name, count) \
	struct semaphore name = __SEMAPHORE_INIT(name, count)

#define DECLARE_MUTEX(name) __DECLARE_SEMAPHORE_GENERIC(name, 1)
#define DECLARE_MUTEX_LOCKED(name) __DECLARE_SEMAPHORE_GENERIC(name, 0)

void sema_init(struct semaphore *sem, int val);

static inline void init_MUTEX(struct semaphore *sem)
{
	sema_init(sem, 1);
}

static inline void init_MUTEX_LOCKED(struct semaphore *sem)
{
	sema_init(sem, 0);
}

void down(struct semaphore *sem);
int down_interruptible(struct semaphore *sem);
int down_trylock(struct semaphore *sem);
void up(struct semaphore *sem);

__SIMK_END_DECLS

#endif
