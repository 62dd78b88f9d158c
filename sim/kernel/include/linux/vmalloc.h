/* vmalloc: page-granular kernel memory. On the simulated board each area is
 * its own shared-memory file, so that mmap of a device can hand the pages to
 * a user program. */
#ifndef _LINUX_VMALLOC_H
#define _LINUX_VMALLOC_H

#include <linux/types.h>

__SIMK_BEGIN_DECLS

struct page;

void *vmalloc(unsigned long size);
void *vmalloc_user(unsigned long size);
void *vmalloc_32(unsigned long size);
void *vmalloc_32_user(unsigned long size);
void vfree(void *addr);
struct page *vmalloc_to_page(void *addr);
unsigned long vmalloc_to_pfn(void *addr);

__SIMK_END_DECLS

#endif
