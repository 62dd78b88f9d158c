#ifndef _LINUX_HIGHMEM_H
#define _LINUX_HIGHMEM_H
#include <linux/mm.h>
#define kmap(page) page_address(page)
#define kunmap(page) do { } while (0)
#endif
