/* User memory. The copies reach the memory of the program on whose behalf
 * the request runs, and fail where the kernel's would: copy_*_user return the
 * number of bytes not copied, get_user/put_user return -EFAULT (and get_user
 * then yields 0). access_ok checks, as on ARM, only that the range lies in
 * user space. */
#ifndef _ASMARM_UACCESS_H
#define _ASMARM_UACCESS_H

#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/errno.h>

__SIMK_BEGIN_DECLS

#define VERIFY_READ 0
#define VERIFY_WRITE 1

int __simk_access_ok(unsigned long addr, unsigned long size);
#define access_ok(type, addr, size) \
	__simk_access_ok((unsigned long)(addr), (unsigned long)(size))

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
unsigned long copy_from_user(void *to, const void __user *from,
			     unsigned long n);
unsigned long clear_user(void __user *to, unsigned long n);
long strncpy_from_user(char *dst, const char __user *src, long count);
long strnlen_user(const char __user *str, long n);

#define __copy_to_user(to, from, n) copy_to_user(to, from, n)
#define __copy_from_user(to, from, n) copy_from_user(to, from, n)
#define __copy_to_user_inatomic(to, from, n) copy_to_user(to, from, n)
#define __copy_from_user_inatomic(to, from, n) copy_from_user(to, from, n)
#define __clear_user(to, n) clear_user(to, n)
#define strlen_user(str) strnlen_user(str, ~0UL >> 1)

/* Copy one scalar of `size` bytes; 0 or -EFAULT. */
int __simk_get_user(void *kernel_dst, const void __user *user_src,
		    unsigned long size);
int __simk_put_user(const void *kernel_src, void __user *user_dst,
		    unsigned long size);

#define get_user(x, ptr) \
({ \
	unsigned long long __gu_val = 0; \
	int __gu_err = __simk_get_user(&__gu_val, (ptr), sizeof(*(ptr))); \
	(x) = (__typeof__(*(ptr)))__gu_val; \
	__gu_err; \
})

#define put_user(x, ptr) \
({ \
	__typeof__(*(ptr)) __pu_val = (x); \
	__simk_put_user(&__pu_val, (ptr), sizeof(*(ptr))); \
})

#define __get_user(x, ptr) get_user(x, ptr)
#define __put_user(x, ptr) put_user(x, ptr)

__SIMK_END_DECLS

#endif
