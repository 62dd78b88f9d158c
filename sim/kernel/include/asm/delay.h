#ifndef __ASM_ARM_DELAY_H
#define __ASM_ARM_DELAY_H

#include <linux/compiler.h>

__SIMK_BEGIN_DECLS

#define MAX_UDELAY_MS 2

void __simk_udelay(unsigned long usecs);
void __simk_ndelay(unsigned long nsecs);

/* As on ARM, a constant delay above MAX_UDELAY_MS milliseconds does not
 * link: use mdelay or msleep for those. */
extern void __bad_udelay(void);

#define udelay(n) \
	(__builtin_constant_p(n) ? \
	 ((n) > (MAX_UDELAY_MS * 1000) ? __bad_udelay() : __simk_udelay(n)) : \
	 __simk_udelay(n))
#define ndelay(n) __simk_ndelay(n)

__SIMK_END_DECLS

#endif
