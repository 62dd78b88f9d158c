/* Basic kernel types (the module's view of an ARM 2.6.20 kernel, built for the host ABI).
 *
 * The POSIX names are defined for C only: the kernel's own C++ files take the C library's
 * definitions, which have the same sizes. */
#ifndef _LINUX_TYPES_H
#define _LINUX_TYPES_H

#include <linux/compiler.h>
#include <asm/types.h>

typedef unsigned int gfp_t;
typedef u32 resource_size_t;
typedef u16 __le16;
typedef u16 __be16;
typedef u32 __le32;
typedef u32 __be32;
typedef unsigned char unchar;

#ifndef __cplusplus
typedef __SIZE_TYPE__ size_t;
typedef __PTRDIFF_TYPE__ ptrdiff_t;
typedef __PTRDIFF_TYPE__ ssize_t; /* long on a 64-bit PC, int on the ARM kernel */
typedef long long loff_t;
typedef long off_t;
typedef int pid_t;
typedef unsigned int uid_t;
typedef unsigned int gid_t;
typedef unsigned int mode_t;
typedef u32 dev_t;
typedef unsigned long sector_t;
typedef long clock_t;
typedef long time_t;
typedef long suseconds_t;
typedef __UINTPTR_TYPE__ uintptr_t;
typedef unsigned char u_char;
typedef unsigned short u_short;
typedef unsigned int u_int;
typedef unsigned long u_long;
typedef unsigned short ushort;
typedef unsigned int uint;
typedef unsigned long ulong;
typedef __UINT8_TYPE__ uint8_t;
typedef __UINT16_TYPE__ uint16_t;
typedef __UINT32_TYPE__ uint32_t;
typedef __UINT64_TYPE__ uint64_t;
typedef __INT8_TYPE__ int8_t;
typedef __INT16_TYPE__ int16_t;
typedef __INT32_TYPE__ int32_t;
typedef __INT64_TYPE__ int64_t;
typedef _Bool bool;
#endif

#endif
