#ifndef _LINUX_INIT_H
#define _LINUX_INIT_H

#include <linux/compiler.h>

#define __init
#define __exit
#define __initdata
#define __exitdata
#define __devinit
#define __devexit
#define __devinitdata
#define __exit_p(x) x
#define __devexit_p(x) x

typedef int (*initcall_t)(void);
typedef void (*exitcall_t)(void);

#endif
