#ifndef _ASMARM_CURRENT_H
#define _ASMARM_CURRENT_H
#include <linux/sched.h>
#endif
