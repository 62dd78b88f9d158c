#ifndef _ASMARM_SIGNAL_H
#define _ASMARM_SIGNAL_H

#ifdef __cplusplus
#include <signal.h>
#else
#define SIGHUP 1
#define SIGINT 2
#define SIGQUIT 3
#define SIGILL 4
#define SIGTRAP 5
#define SIGABRT 6
#define SIGBUS 7
#define SIGFPE 8
#define SIGKILL 9
#define SIGUSR1 10
#define SIGSEGV 11
#define SIGUSR2 12
#define SIGPIPE 13
#define SIGALRM 14
#define SIGTERM 15
#define SIGCHLD 17
#define SIGCONT 18
#define SIGSTOP 19
#define SIGURG 23
#define SIGIO 29
#define SIGPOLL SIGIO
#define SIGPWR 30

/* si_code values of SIGIO (the "band" given to kill_fasync). */
#define __SI_POLL (2 << 16)
#define POLL_IN (__SI_POLL | 1)
#define POLL_OUT (__SI_POLL | 2)
#define POLL_MSG (__SI_POLL | 3)
#define POLL_ERR (__SI_POLL | 4)
#define POLL_PRI (__SI_POLL | 5)
#define POLL_HUP (__SI_POLL | 6)
#endif

#endif
