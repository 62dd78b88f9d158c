/* Resource claims: which driver owns a range of physical addresses. */
#ifndef _LINUX_IOPORT_H
#define _LINUX_IOPORT_H

#include <linux/types.h>

__SIMK_BEGIN_DECLS

struct resource {
	resource_size_t start;
	resource_size_t end;
	const char *name;
	unsigned long flags;
	struct resource *parent, *sibling, *child;
};

#define IORESOURCE_IO 0x00000100
#define IORESOURCE_MEM 0x00000200
#define IORESOURCE_IRQ 0x00000400
#define IORESOURCE_BUSY 0x80000000

extern struct resource ioport_resource;
extern struct resource iomem_resource;

struct resource *__request_region(struct resource *parent,
				  resource_size_t start, resource_size_t n,
				  const char *name);
void __release_region(struct resource *parent, resource_size_t start,
		      resource_size_t n);
int __check_region(struct resource *parent, resource_size_t start,
		   resource_size_t n);
int request_resource(struct resource *root, struct resource *new_res);
int release_resource(struct resource *old);

#define request_region(start, n, name) \
	__request_region(&ioport_resource, (start), (n), (name))
#define request_mem_region(start, n, name) \
	__request_region(&iomem_resource, (start), (n), (name))
#define release_region(start, n) \
	__release_region(&ioport_resource, (start), (n))
#define release_mem_region(start, n) \
	__release_region(&iomem_resource, (start), (n))
#define check_mem_region(start, n) \
	__check_region(&iomem_resource, (start), (n))

__SIMK_END_DECLS

#endif
