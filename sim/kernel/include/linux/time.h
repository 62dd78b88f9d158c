#ifndef _LINUX_TIME_H
#define _LINUX_TIME_H

#include <linux/types.h>

__SIMK_BEGIN_DECLS

#ifdef __cplusplus
#include <sys/time.h>
#else
struct timeval {
	time_t tv_sec;
	suseconds_t tv_usec;
};

struct timespec {
	time_t tv_sec;
	long tv_nsec;
};
#endif

void do_gettimeofday(struct timeval *tv);

__SIMK_END_DECLS

#endif
