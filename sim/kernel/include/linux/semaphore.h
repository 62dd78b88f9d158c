#ifndef _LINUX_SEMAPHORE_H
#define _LINUX_SEMAPHORE_H
#include <asm/semaphore.h>
#endif
