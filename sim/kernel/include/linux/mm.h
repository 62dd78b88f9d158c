/* Pages and user mappings: struct page, vm_area_struct and the 2.6.20 fault
 * handler .nopage. */
#ifndef _LINUX_MM_H
#define _LINUX_MM_H

#include <linux/types.h>
#include <linux/list.h>
#include <linux/gfp.h>
#include <asm/atomic.h>
#include <asm/page.h>

__SIMK_BEGIN_DECLS

struct file;

struct page {
	unsigned long flags;
	atomic_t _count;
#ifdef __cplusplus
	void *virtual_;
#else
	void *virtual;		/* kernel address of the page */
#endif
	int __simk_memfd;	/* the file behind the page (vmalloc areas) */
	long __simk_offset;	/* and the page's offset in it */
};

typedef struct {
	unsigned long pgprot;
} pgprot_t;

#define VM_READ 0x00000001
#define VM_WRITE 0x00000002
#define VM_EXEC 0x00000004
#define VM_SHARED 0x00000008
#define VM_MAYREAD 0x00000010
#define VM_MAYWRITE 0x00000020
#define VM_MAYEXEC 0x00000040
#define VM_MAYSHARE 0x00000080
#define VM_IO 0x00004000
#define VM_DONTCOPY 0x00020000
#define VM_DONTEXPAND 0x00040000
#define VM_RESERVED 0x00080000

struct vm_area_struct;

struct vm_operations_struct {
	void (*open)(struct vm_area_struct *area);
	void (*close)(struct vm_area_struct *area);
	struct page *(*nopage)(struct vm_area_struct *area,
			       unsigned long address, int *type);
	unsigned long (*nopfn)(struct vm_area_struct *area,
			       unsigned long address);
	int (*populate)(struct vm_area_struct *area, unsigned long address,
			unsigned long len, pgprot_t prot, unsigned long pgoff,
			int nonblock);
	int (*page_mkwrite)(struct vm_area_struct *vma, struct page *page);
};

struct vm_area_struct {
	void *vm_mm;
	unsigned long vm_start;
	unsigned long vm_end;
	struct vm_area_struct *vm_next;
	pgprot_t vm_page_prot;
	unsigned long vm_flags;
	const struct vm_operations_struct *vm_ops;
	unsigned long vm_pgoff;
	struct file *vm_file;
	void *vm_private_data;
};

/* Results of .nopage besides a page. */
#define NOPAGE_SIGBUS ((struct page *)0)
#define NOPAGE_OOM ((struct page *)(-1))
#define NOPAGE_REFAULT ((struct page *)(-2))

/* Fault types a .nopage handler reports through *type. */
#define VM_FAULT_OOM 0x00
#define VM_FAULT_SIGBUS 0x01
#define VM_FAULT_MINOR 0x02
#define VM_FAULT_MAJOR 0x03

static inline void get_page(struct page *page)
{
	atomic_inc(&page->_count);
}

void put_page(struct page *page);

static inline int page_count(struct page *page)
{
	return atomic_read(&page->_count);
}

static inline void *page_address(struct page *page)
{
#ifdef __cplusplus
	return page->virtual_;
#else
	return page->virtual;
#endif
}

struct page *virt_to_page(const void *addr);

__SIMK_END_DECLS

#endif
