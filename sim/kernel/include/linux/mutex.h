/* Sleeping mutexes, on the semaphore code. */
#ifndef __LINUX_MUTEX_H
#define __LINUX_MUTEX_H

#include <asm/semaphore.h>

__SIMK_BEGIN_DECLS

struct mutex {
	struct semaphore sem;
};

#define __MUTEX_INITIALIZER(lockname) { \
	.sem = __SEMAPHORE_INIT((lockname).sem, 1) }
#define DEFINE_MUTEX(mutexname) \
	struct mutex mutexname = __MUTEX_INITIALIZER(mutexname)

static inline void mutex_init(struct mutex *lock)
{
	sema_init(&lock->sem, 1);
}

static inline void mutex_lock(struct mutex *lock)
{
	down(&lock->sem);
}

static inline int mutex_lock_interruptible(struct mutex *lock)
{
	return down_interruptible(&lock->sem);
}

/* 1 when taken, 0 when contended (the opposite of down_trylock). */
static inline int mutex_trylock(struct mutex *lock)
{
	return !down_trylock(&lock->sem);
}

static inline void mutex_unlock(struct mutex *lock)
{
	up(&lock->sem);
}

static inline int mutex_is_locked(struct mutex *lock)
{
	return lock->sem.count <= 0;
}

__SIMK_END_DECLS

#endif
