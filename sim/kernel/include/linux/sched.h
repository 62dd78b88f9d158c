/* Tasks and sleeping. A task is the user process on whose behalf a device
 * request runs (process context); interrupt handlers and timer functions see
 * the idle task. */
#ifndef _LINUX_SCHED_H
#define _LINUX_SCHED_H

#include <linux/types.h>
#include <linux/kernel.h>
#include <linux/jiffies.h>
#include <linux/list.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <linux/signal.h>
#include <linux/errno.h>
#include <asm/param.h>

__SIMK_BEGIN_DECLS

#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE 1
#define TASK_UNINTERRUPTIBLE 2
#define TASK_STOPPED 4
#define TASK_NONINTERACTIVE 64

#define TASK_COMM_LEN 16
#define MAX_SCHEDULE_TIMEOUT LONG_MAX

struct task_struct {
	volatile long state;
	pid_t pid;
	pid_t tgid;
	char comm[TASK_COMM_LEN];
	void *__simk_task;	/* the simulator's bookkeeping of this task */
};

struct task_struct *get_current(void);
#ifndef __cplusplus
#define current get_current()
#endif

void __simk_set_current_state(long state);
#define set_current_state(state_value) __simk_set_current_state(state_value)
#define __set_current_state(state_value) __simk_set_current_state(state_value)

int signal_pending(struct task_struct *p);

void schedule(void);
signed long schedule_timeout(signed long timeout);
signed long schedule_timeout_interruptible(signed long timeout);
signed long schedule_timeout_uninterruptible(signed long timeout);
int wake_up_process(struct task_struct *tsk);
void yield(void);
int cond_resched(void);

int capable(int cap);

__SIMK_END_DECLS

#endif
