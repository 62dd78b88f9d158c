#ifndef _LINUX_FCNTL_H
#define _LINUX_FCNTL_H

#ifdef __cplusplus
#include <fcntl.h>
#else
/* File flags as a program passes them to open() and fcntl(F_SETFL). */
#define O_ACCMODE 00000003
#define O_RDONLY 00000000
#define O_WRONLY 00000001
#define O_RDWR 00000002
#define O_CREAT 00000100
#define O_EXCL 00000200
#define O_NOCTTY 00000400
#define O_TRUNC 00001000
#define O_APPEND 00002000
#define O_NONBLOCK 00004000
#define O_NDELAY O_NONBLOCK
#define O_SYNC 00010000
#define FASYNC 00020000
#define O_ASYNC FASYNC

#define F_DUPFD 0
#define F_GETFD 1
#define F_SETFD 2
#define F_GETFL 3
#define F_SETFL 4
#define F_SETOWN 8
#define F_GETOWN 9
#define F_SETSIG 10
#define F_GETSIG 11
#endif

#endif
