/* printk, panic, the little helpers every driver uses. */
#ifndef _LINUX_KERNEL_H
#define _LINUX_KERNEL_H

#include <stdarg.h>
#include <linux/stddef.h>
#include <linux/types.h>
#include <linux/compiler.h>
#include <linux/stringify.h>

__SIMK_BEGIN_DECLS

#define KERN_EMERG "<0>"
#define KERN_ALERT "<1>"
#define KERN_CRIT "<2>"
#define KERN_ERR "<3>"
#define KERN_WARNING "<4>"
#define KERN_NOTICE "<5>"
#define KERN_INFO "<6>"
#define KERN_DEBUG "<7>"

#ifndef __cplusplus
#define INT_MAX ((int)(~0U >> 1))
#define INT_MIN (-INT_MAX - 1)
#define UINT_MAX (~0U)
#define LONG_MAX ((long)(~0UL >> 1))
#define LONG_MIN (-LONG_MAX - 1)
#define ULONG_MAX (~0UL)
#else
#include <climits>
#endif

#define ARRAY_SIZE(x) (sizeof(x) / sizeof((x)[0]))
#define ALIGN(x, a) (((x) + (a) - 1) & ~((__typeof__(x))(a) - 1))
#define DIV_ROUND_UP(n, d) (((n) + (d) - 1) / (d))
#define roundup(x, y) ((((x) + ((y) - 1)) / (y)) * (y))

/* Breaks the build when the condition holds. */
#define BUILD_BUG_ON(condition) ((void)sizeof(char[1 - 2 * !!(condition)]))

#ifndef container_of
#define container_of(ptr, type, member) \
	((type *)((char *)(ptr) - offsetof(type, member)))
#endif

#ifndef __cplusplus
#define min(x, y) ({ __typeof__(x) _min1 = (x); __typeof__(y) _min2 = (y); \
	(void)(&_min1 == &_min2); _min1 < _min2 ? _min1 : _min2; })
#define max(x, y) ({ __typeof__(x) _max1 = (x); __typeof__(y) _max2 = (y); \
	(void)(&_max1 == &_max2); _max1 > _max2 ? _max1 : _max2; })
#define min_t(type, x, y) ({ type __min1 = (x); type __min2 = (y); \
	__min1 < __min2 ? __min1 : __min2; })
#define max_t(type, x, y) ({ type __max1 = (x); type __max2 = (y); \
	__max1 > __max2 ? __max1 : __max2; })
#endif

int printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vprintk(const char *fmt, va_list args);
void panic(const char *fmt, ...)
	__attribute__((format(printf, 1, 2), noreturn));
void dump_stack(void);

#ifndef __cplusplus
int sprintf(char *buf, const char *fmt, ...)
	__attribute__((format(printf, 2, 3)));
int snprintf(char *buf, size_t size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
int vsprintf(char *buf, const char *fmt, va_list args);
int vsnprintf(char *buf, size_t size, const char *fmt, va_list args);
int sscanf(const char *buf, const char *fmt, ...);
#endif

unsigned long simple_strtoul(const char *cp, char **endp, unsigned int base);
long simple_strtol(const char *cp, char **endp, unsigned int base);
unsigned long long simple_strtoull(const char *cp, char **endp,
				   unsigned int base);
long long simple_strtoll(const char *cp, char **endp, unsigned int base);

/* Reports a kernel bug like an oops: the message goes to the console and the
 * board stops (BUG) or goes on (WARN_ON). */
void __simk_bug(const char *file, int line) __attribute__((noreturn));
void __simk_warn(const char *file, int line);

#define BUG() __simk_bug(__FILE__, __LINE__)
#define BUG_ON(condition) do { if (unlikely((condition) != 0)) BUG(); } while (0)
#define WARN_ON(condition) ({ int __ret_warn_on = !!(condition); \
	if (unlikely(__ret_warn_on)) __simk_warn(__FILE__, __LINE__); \
	unlikely(__ret_warn_on); })

#define might_sleep() do { } while (0)
#define cpu_relax() barrier()

__SIMK_END_DECLS

#endif
