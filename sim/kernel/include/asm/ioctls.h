#ifndef _SIMK_ASM_IOCTLS_H
#define _SIMK_ASM_IOCTLS_H

#ifdef __cplusplus
#include_next <asm/ioctls.h>
#else

#define FIONREAD 0x541B
#define FIONBIO 0x5421
#define FIONCLEX 0x5450
#define FIOCLEX 0x5451
#define FIOASYNC 0x5452
#define FIOQSIZE 0x545E

#endif /* __cplusplus */

#endif
