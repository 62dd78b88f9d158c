#ifndef __ASM_ARM_BITOPS_H
#define __ASM_ARM_BITOPS_H

#include <asm/types.h>

#define BITOP_WORD(nr) ((nr) / BITS_PER_LONG)
#define BITOP_MASK(nr) (1UL << ((nr) % BITS_PER_LONG))

static inline void set_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_or(addr + BITOP_WORD(nr), BITOP_MASK(nr), __ATOMIC_SEQ_CST);
}

static inline void clear_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_and(addr + BITOP_WORD(nr), ~BITOP_MASK(nr), __ATOMIC_SEQ_CST);
}

static inline void change_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_xor(addr + BITOP_WORD(nr), BITOP_MASK(nr), __ATOMIC_SEQ_CST);
}

static inline int test_and_set_bit(int nr, volatile unsigned long *addr)
{
	return (__atomic_fetch_or(addr + BITOP_WORD(nr), BITOP_MASK(nr),
				  __ATOMIC_SEQ_CST) & BITOP_MASK(nr)) != 0;
}

static inline int test_and_clear_bit(int nr, volatile unsigned long *addr)
{
	return (__atomic_fetch_and(addr + BITOP_WORD(nr), ~BITOP_MASK(nr),
				   __ATOMIC_SEQ_CST) & BITOP_MASK(nr)) != 0;
}

static inline int test_bit(int nr, const volatile unsigned long *addr)
{
	return (__atomic_load_n(addr + BITOP_WORD(nr), __ATOMIC_SEQ_CST) &
		BITOP_MASK(nr)) != 0;
}

static inline int ffs(int x)
{
	return __builtin_ffs(x);
}

static inline int fls(int x)
{
	return x ? 32 - __builtin_clz((unsigned int)x) : 0;
}

#define __set_bit(nr, addr) set_bit(nr, addr)
#define __clear_bit(nr, addr) clear_bit(nr, addr)

#endif
