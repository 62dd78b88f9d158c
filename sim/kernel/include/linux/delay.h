/* Delays. udelay/ndelay/mdelay are real busy waits (the caller keeps the
 * processor, as on the board); msleep and ssleep put the task to sleep. */
#ifndef _LINUX_DELAY_H
#define _LINUX_DELAY_H

#include <linux/compiler.h>
#include <asm/delay.h>

__SIMK_BEGIN_DECLS

#ifndef MAX_UDELAY_MS
#define MAX_UDELAY_MS 5
#endif

#define mdelay(n) ({ unsigned long __ms = (n); \
	while (__ms--) udelay(1000); })

void msleep(unsigned int msecs);
unsigned long msleep_interruptible(unsigned int msecs);

static inline void ssleep(unsigned int seconds)
{
	msleep(seconds * 1000);
}

__SIMK_END_DECLS

#endif
