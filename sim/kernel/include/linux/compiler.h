/* Compiler annotations of the 2.6.20 kernel: the sparse address spaces are empty here. */
#ifndef _LINUX_COMPILER_H
#define _LINUX_COMPILER_H

#define __user
#define __kernel
#define __iomem
#define __force
#define __safe
#define __nocast
#define __bitwise
#define __acquires(x)
#define __releases(x)
#ifndef __must_check
#define __must_check __attribute__((warn_unused_result))
#endif
#ifndef __deprecated
#define __deprecated __attribute__((deprecated))
#endif
#ifndef __attribute_used__
#define __attribute_used__ __attribute__((used))
#endif
#ifndef __used
#define __used __attribute__((used))
#endif
#ifndef __maybe_unused
#define __maybe_unused __attribute__((unused))
#endif
#ifndef __always_inline
#define __always_inline inline __attribute__((always_inline))
#endif
#ifndef noinline
#define noinline __attribute__((noinline))
#endif
#ifndef __packed
#define __packed __attribute__((packed))
#endif
#ifndef __aligned
#define __aligned(x) __attribute__((aligned(x)))
#endif
#ifndef __weak
#define __weak __attribute__((weak))
#endif
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
#define barrier() __asm__ __volatile__("" : : : "memory")
#define ACCESS_ONCE(x) (*(volatile __typeof__(x) *)&(x))

#ifndef __cplusplus
#define typeof __typeof__
#endif

#ifdef __cplusplus
#define __SIMK_BEGIN_DECLS extern "C" {
#define __SIMK_END_DECLS }
#else
#define __SIMK_BEGIN_DECLS
#define __SIMK_END_DECLS
#endif

#endif
