/* Wait queues. A sleeper gives up nothing but its own thread: interrupts,
 * timers and other requests go on, and a wake-up from any context ends the
 * sleep. */
#ifndef _LINUX_WAIT_H
#define _LINUX_WAIT_H

#include <linux/list.h>
#include <linux/stddef.h>
#include <linux/spinlock.h>

__SIMK_BEGIN_DECLS

struct task_struct;
typedef struct __wait_queue wait_queue_t;
typedef int (*wait_queue_func_t)(wait_queue_t *wait, unsigned mode, int sync,
				 void *key);

struct __wait_queue {
	unsigned int flags;
#define WQ_FLAG_EXCLUSIVE 0x01
#ifdef __cplusplus
	void *private_;
#else
	void *private;
#endif
	wait_queue_func_t func;
	struct list_head task_list;
};

struct __wait_queue_head {
	spinlock_t lock;
	struct list_head task_list;
};
typedef struct __wait_queue_head wait_queue_head_t;

int default_wake_function(wait_queue_t *wait, unsigned mode, int sync,
			  void *key);
int autoremove_wake_function(wait_queue_t *wait, unsigned mode, int sync,
			     void *key);

#define __WAITQUEUE_INITIALIZER(name, tsk) { \
	.flags = 0, \
	.private = tsk, \
	.func = default_wake_function, \
	.task_list = { NULL, NULL } }

#define DECLARE_WAITQUEUE(name, tsk) \
	wait_queue_t name = __WAITQUEUE_INITIALIZER(name, tsk)

#define __WAIT_QUEUE_HEAD_INITIALIZER(name) { \
	.lock = __SPIN_LOCK_UNLOCKED(name.lock), \
	.task_list = { &(name).task_list, &(name).task_list } }

#define DECLARE_WAIT_QUEUE_HEAD(name) \
	wait_queue_head_t name = __WAIT_QUEUE_HEAD_INITIALIZER(name)

void init_waitqueue_head(wait_queue_head_t *q);
void init_waitqueue_entry(wait_queue_t *q, struct task_struct *p);

static inline int waitqueue_active(wait_queue_head_t *q)
{
	return !list_empty(&q->task_list);
}

void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait);
void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);

void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr, void *key);
void __wake_up_sync(wait_queue_head_t *q, unsigned int mode, int nr);

#define __SIMK_TASK_NORMAL 3	/* TASK_INTERRUPTIBLE | TASK_UNINTERRUPTIBLE */
#define wake_up(x) __wake_up(x, __SIMK_TASK_NORMAL, 1, NULL)
#define wake_up_nr(x, nr) __wake_up(x, __SIMK_TASK_NORMAL, nr, NULL)
#define wake_up_all(x) __wake_up(x, __SIMK_TASK_NORMAL, 0, NULL)
#define wake_up_interruptible(x) __wake_up(x, 1, 1, NULL)
#define wake_up_interruptible_nr(x, nr) __wake_up(x, 1, nr, NULL)
#define wake_up_interruptible_all(x) __wake_up(x, 1, 0, NULL)
#define wake_up_interruptible_sync(x) __wake_up_sync(x, 1, 1)

void prepare_to_wait(wait_queue_head_t *q, wait_queue_t *wait, int state);
void prepare_to_wait_exclusive(wait_queue_head_t *q, wait_queue_t *wait,
			       int state);
void finish_wait(wait_queue_head_t *q, wait_queue_t *wait);

#define DEFINE_WAIT(name) \
	wait_queue_t name = { \
		.flags = 0, \
		.private = get_current(), \
		.func = autoremove_wake_function, \
		.task_list = LIST_HEAD_INIT((name).task_list), \
	}

void sleep_on(wait_queue_head_t *q);
long sleep_on_timeout(wait_queue_head_t *q, signed long timeout);
void interruptible_sleep_on(wait_queue_head_t *q);
long interruptible_sleep_on_timeout(wait_queue_head_t *q, signed long timeout);

#ifndef __cplusplus

#define __wait_event(wq, condition) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, 2 /* TASK_UNINTERRUPTIBLE */); \
		if (condition) \
			break; \
		schedule(); \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event(wq, condition) \
do { \
	if (condition) \
		break; \
	__wait_event(wq, condition); \
} while (0)

#define __wait_event_timeout(wq, condition, ret) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, 2 /* TASK_UNINTERRUPTIBLE */); \
		if (condition) \
			break; \
		ret = schedule_timeout(ret); \
		if (!ret) \
			break; \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event_timeout(wq, condition, timeout) \
({ \
	long __ret = timeout; \
	if (!(condition)) \
		__wait_event_timeout(wq, condition, __ret); \
	__ret; \
})

#define __wait_event_interruptible(wq, condition, ret) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, 1 /* TASK_INTERRUPTIBLE */); \
		if (condition) \
			break; \
		if (!signal_pending(get_current())) { \
			schedule(); \
			continue; \
		} \
		ret = -512 /* -ERESTARTSYS */; \
		break; \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event_interruptible(wq, condition) \
({ \
	int __ret = 0; \
	if (!(condition)) \
		__wait_event_interruptible(wq, condition, __ret); \
	__ret; \
})

#define __wait_event_interruptible_timeout(wq, condition, ret) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait(&wq, &__wait, 1 /* TASK_INTERRUPTIBLE */); \
		if (condition) \
			break; \
		if (!signal_pending(get_current())) { \
			ret = schedule_timeout(ret); \
			if (!ret) \
				break; \
			continue; \
		} \
		ret = -512 /* -ERESTARTSYS */; \
		break; \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event_interruptible_timeout(wq, condition, timeout) \
({ \
	long __ret = timeout; \
	if (!(condition)) \
		__wait_event_interruptible_timeout(wq, condition, __ret); \
	__ret; \
})

#define __wait_event_interruptible_exclusive(wq, condition, ret) \
do { \
	DEFINE_WAIT(__wait); \
	for (;;) { \
		prepare_to_wait_exclusive(&wq, &__wait, 1); \
		if (condition) \
			break; \
		if (!signal_pending(get_current())) { \
			schedule(); \
			continue; \
		} \
		ret = -512 /* -ERESTARTSYS */; \
		break; \
	} \
	finish_wait(&wq, &__wait); \
} while (0)

#define wait_event_interruptible_exclusive(wq, condition) \
({ \
	int __ret = 0; \
	if (!(condition)) \
		__wait_event_interruptible_exclusive(wq, condition, __ret); \
	__ret; \
})

#endif /* !__cplusplus */

/* The functions the wait_event macros use (declared again in linux/sched.h). */
struct task_struct *get_current(void);
int signal_pending(struct task_struct *p);
void schedule(void);
signed long schedule_timeout(signed long timeout);

__SIMK_END_DECLS

#endif
