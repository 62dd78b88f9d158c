#ifndef _SIMK_LINUX_ERRNO_H
#define _SIMK_LINUX_ERRNO_H

#ifdef __cplusplus
#include_next <linux/errno.h>
#else
#include <asm/errno.h>
#endif

/* Kernel-internal codes; a system call never returns them to user space. */
#ifndef ERESTARTSYS
#define ERESTARTSYS 512
#define ERESTARTNOINTR 513
#define ERESTARTNOHAND 514
#define ENOIOCTLCMD 515
#define ERESTART_RESTARTBLOCK 516
#define EBADHANDLE 521
#define ENOTSUPP 524
#endif

#endif
