/* jiffies at HZ = 200, counted from the board's power-on on the monotonic
 * clock. `jiffies` reads the clock each time it is used. */
#ifndef _LINUX_JIFFIES_H
#define _LINUX_JIFFIES_H

#include <linux/types.h>
#include <asm/param.h>

__SIMK_BEGIN_DECLS

/* Like the kernel, start five minutes before the 32-bit wrap of jiffies. */
#define INITIAL_JIFFIES ((unsigned long)(unsigned int)(-300 * HZ))
#define MAX_JIFFY_OFFSET ((~0UL >> 1) - 1)

unsigned long __simk_jiffies(void);
u64 get_jiffies_64(void);

#ifndef __cplusplus
#define jiffies (__simk_jiffies())
#define jiffies_64 (get_jiffies_64())
#endif

#define time_after(a, b) ((long)(b) - (long)(a) < 0)
#define time_before(a, b) time_after(b, a)
#define time_after_eq(a, b) ((long)(a) - (long)(b) >= 0)
#define time_before_eq(a, b) time_after_eq(b, a)

static inline unsigned int jiffies_to_msecs(const unsigned long j)
{
	return (unsigned int)(j * (1000 / HZ));
}

static inline unsigned int jiffies_to_usecs(const unsigned long j)
{
	return (unsigned int)(j * (1000000 / HZ));
}

static inline unsigned long msecs_to_jiffies(const unsigned int m)
{
	if (m > jiffies_to_msecs(MAX_JIFFY_OFFSET))
		return MAX_JIFFY_OFFSET;
	return (m + (1000 / HZ) - 1) / (1000 / HZ);
}

static inline unsigned long usecs_to_jiffies(const unsigned int u)
{
	return (u + (1000000 / HZ) - 1) / (1000000 / HZ);
}

__SIMK_END_DECLS

#endif
