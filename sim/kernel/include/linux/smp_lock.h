/* The big kernel lock. The old .ioctl and the fasync toggle of fcntl run
 * under it, as in 2.6.20; a task that sleeps gives it up until it wakes. */
#ifndef __LINUX_SMPLOCK_H
#define __LINUX_SMPLOCK_H

#include <linux/compiler.h>

__SIMK_BEGIN_DECLS

void lock_kernel(void);
void unlock_kernel(void);
int kernel_locked(void);

__SIMK_END_DECLS

#endif
