#ifndef __ASM_ARM_ATOMIC_H
#define __ASM_ARM_ATOMIC_H

#include <linux/compiler.h>

typedef struct {
	volatile int counter;
} atomic_t;

#define ATOMIC_INIT(i) { (i) }

#if defined(__arm__) && __ARM_ARCH < 6
/*
 * The box's ARM920T has no atomic instructions: as the ARM kernel does before
 * ARMv6, each operation runs with interrupts off (the compiler's atomics would
 * be calls into a library the kernel does not have).
 */
unsigned long __simk_local_irq_save(void);
void __simk_local_irq_restore(unsigned long flags);

#define atomic_read(v) ((v)->counter)
#define atomic_set(v, i) (((v)->counter) = (i))

static inline int atomic_add_return(int i, atomic_t *v)
{
	unsigned long flags = __simk_local_irq_save();
	int val = v->counter + i;

	v->counter = val;
	__simk_local_irq_restore(flags);
	return val;
}

static inline int atomic_sub_return(int i, atomic_t *v)
{
	return atomic_add_return(-i, v);
}

static inline int atomic_cmpxchg(atomic_t *v, int old, int newval)
{
	unsigned long flags = __simk_local_irq_save();
	int ret = v->counter;

	if (ret == old)
		v->counter = newval;
	__simk_local_irq_restore(flags);
	return ret;
}

static inline int atomic_xchg(atomic_t *v, int newval)
{
	unsigned long flags = __simk_local_irq_save();
	int ret = v->counter;

	v->counter = newval;
	__simk_local_irq_restore(flags);
	return ret;
}
#else
#define atomic_read(v) __atomic_load_n(&(v)->counter, __ATOMIC_SEQ_CST)
#define atomic_set(v, i) __atomic_store_n(&(v)->counter, (i), __ATOMIC_SEQ_CST)

static inline int atomic_add_return(int i, atomic_t *v)
{
	return __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST);
}

static inline int atomic_sub_return(int i, atomic_t *v)
{
	return __atomic_sub_fetch(&v->counter, i, __ATOMIC_SEQ_CST);
}

static inline int atomic_cmpxchg(atomic_t *v, int old, int newval)
{
	__atomic_compare_exchange_n(&v->counter, &old, newval, 0,
				    __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
	return old;
}

static inline int atomic_xchg(atomic_t *v, int newval)
{
	return __atomic_exchange_n(&v->counter, newval, __ATOMIC_SEQ_CST);
}
#endif

#define atomic_add(i, v) ((void)atomic_add_return((i), (v)))
#define atomic_sub(i, v) ((void)atomic_sub_return((i), (v)))
#define atomic_inc(v) ((void)atomic_add_return(1, (v)))
#define atomic_dec(v) ((void)atomic_sub_return(1, (v)))
#define atomic_inc_return(v) atomic_add_return(1, (v))
#define atomic_dec_return(v) atomic_sub_return(1, (v))
#define atomic_inc_and_test(v) (atomic_add_return(1, (v)) == 0)
#define atomic_dec_and_test(v) (atomic_sub_return(1, (v)) == 0)
#define atomic_sub_and_test(i, v) (atomic_sub_return((i), (v)) == 0)
#define atomic_add_negative(i, v) (atomic_add_return((i), (v)) < 0)

#define smp_mb() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define smp_rmb() smp_mb()
#define smp_wmb() smp_mb()
#define mb() smp_mb()
#define rmb() smp_mb()
#define wmb() smp_mb()

#endif
