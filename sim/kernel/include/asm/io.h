/* Register access. An I/O address (from ioremap or the fixed mappings of
 * asm/arch/map.h) lies in a reserved, inaccessible range of the simulated
 * board: a driver reaches its registers only through these accessors, which
 * hand the access to the hardware model behind the physical address. A bare
 * dereference faults, as a mistake should. */
#ifndef __ASM_ARM_IO_H
#define __ASM_ARM_IO_H

#include <linux/types.h>
#include <linux/compiler.h>

__SIMK_BEGIN_DECLS

/* Start of the simulated I/O address space (fixed for the process). */
extern unsigned long __simk_io_base;

u8 __simk_readb(const volatile void __iomem *addr);
u16 __simk_readw(const volatile void __iomem *addr);
u32 __simk_readl(const volatile void __iomem *addr);
void __simk_writeb(u8 value, volatile void __iomem *addr);
void __simk_writew(u16 value, volatile void __iomem *addr);
void __simk_writel(u32 value, volatile void __iomem *addr);

#define __raw_readb(a) __simk_readb(a)
#define __raw_readw(a) __simk_readw(a)
#define __raw_readl(a) __simk_readl(a)
#define __raw_writeb(v, a) __simk_writeb((u8)(v), (a))
#define __raw_writew(v, a) __simk_writew((u16)(v), (a))
#define __raw_writel(v, a) __simk_writel((u32)(v), (a))

#define readb(a) __raw_readb(a)
#define readw(a) __raw_readw(a)
#define readl(a) __raw_readl(a)
#define writeb(v, a) __raw_writeb(v, a)
#define writew(v, a) __raw_writew(v, a)
#define writel(v, a) __raw_writel(v, a)

#define ioread8(a) __raw_readb(a)
#define ioread16(a) __raw_readw(a)
#define ioread32(a) __raw_readl(a)
#define iowrite8(v, a) __raw_writeb(v, a)
#define iowrite16(v, a) __raw_writew(v, a)
#define iowrite32(v, a) __raw_writel(v, a)

void __raw_readsb(const volatile void __iomem *addr, void *data, int bytelen);
void __raw_readsw(const volatile void __iomem *addr, void *data, int wordlen);
void __raw_readsl(const volatile void __iomem *addr, void *data, int longlen);
void __raw_writesb(volatile void __iomem *addr, const void *data, int bytelen);
void __raw_writesw(volatile void __iomem *addr, const void *data, int wordlen);
void __raw_writesl(volatile void __iomem *addr, const void *data, int longlen);

#define readsb(p, d, l) __raw_readsb(p, d, l)
#define readsw(p, d, l) __raw_readsw(p, d, l)
#define readsl(p, d, l) __raw_readsl(p, d, l)
#define writesb(p, d, l) __raw_writesb(p, d, l)
#define writesw(p, d, l) __raw_writesw(p, d, l)
#define writesl(p, d, l) __raw_writesl(p, d, l)

void memcpy_fromio(void *to, const volatile void __iomem *from, size_t count);
void memcpy_toio(volatile void __iomem *to, const void *from, size_t count);
void memset_io(volatile void __iomem *dst, int c, size_t count);

/* Maps `size` bytes of physical address space; NULL when it cannot. */
void __iomem *__ioremap(unsigned long phys_addr, size_t size,
			unsigned long flags);
void __iounmap(volatile void __iomem *addr);

#define ioremap(cookie, size) __ioremap((cookie), (size), 0)
#define ioremap_nocache(cookie, size) __ioremap((cookie), (size), 0)
#define ioremap_cached(cookie, size) __ioremap((cookie), (size), 0)
#define iounmap(cookie) __iounmap(cookie)

__SIMK_END_DECLS

#endif
