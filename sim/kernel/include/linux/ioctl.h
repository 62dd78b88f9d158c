#ifndef _SIMK_LINUX_IOCTL_H
#define _SIMK_LINUX_IOCTL_H

#ifdef __cplusplus
#include_next <linux/ioctl.h>
#else
#include <asm/ioctl.h>
#endif /* __cplusplus */

#endif
