/* kmalloc and friends. As on the board, one allocation is at most 128 KiB;
 * a sleeping allocation (GFP_KERNEL) from interrupt context is reported. */
#ifndef _LINUX_SLAB_H
#define _LINUX_SLAB_H

#include <linux/types.h>
#include <linux/gfp.h>

__SIMK_BEGIN_DECLS

#define KMALLOC_MAX_SIZE (128 * 1024)

void *__kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void *kcalloc(size_t n, size_t size, gfp_t flags);
void kfree(const void *objp);
size_t ksize(const void *objp);

static inline void *kmalloc(size_t size, gfp_t flags)
{
	return __kmalloc(size, flags);
}

__SIMK_END_DECLS

#endif
