#ifndef __ASM_PARAM_H
#define __ASM_PARAM_H

/* The board's scheduler tick. */
#define HZ 200
#ifndef __cplusplus
#define USER_HZ 100
#define CLOCKS_PER_SEC USER_HZ
#define NOGROUP (-1)
#define MAXHOSTNAMELEN 64
#endif

#endif
