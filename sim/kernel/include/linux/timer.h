/* Kernel timers. A timer function runs on the simulated processor within a
 * tick of its expiry, one at a time with the interrupt handlers. */
#ifndef _LINUX_TIMER_H
#define _LINUX_TIMER_H

#include <linux/list.h>
#include <linux/stddef.h>
#include <linux/jiffies.h>

__SIMK_BEGIN_DECLS

struct timer_list {
	struct list_head entry;	/* next == NULL: not pending */
	unsigned long expires;
	void (*function)(unsigned long);
	unsigned long data;
	void *base;
};

#define TIMER_INITIALIZER(_function, _expires, _data) { \
	.entry = { NULL, NULL }, \
	.expires = (_expires), \
	.function = (_function), \
	.data = (_data), \
	.base = NULL, \
}

#define DEFINE_TIMER(_name, _function, _expires, _data) \
	struct timer_list _name = TIMER_INITIALIZER(_function, _expires, _data)

void init_timer(struct timer_list *timer);

static inline void setup_timer(struct timer_list *timer,
			       void (*function)(unsigned long),
			       unsigned long data)
{
	timer->function = function;
	timer->data = data;
	init_timer(timer);
}

static inline int timer_pending(const struct timer_list *timer)
{
	return __atomic_load_n(&timer->entry.next, __ATOMIC_SEQ_CST) != NULL;
}

void add_timer(struct timer_list *timer);
int mod_timer(struct timer_list *timer, unsigned long expires);
int del_timer(struct timer_list *timer);
int try_to_del_timer_sync(struct timer_list *timer);
int del_timer_sync(struct timer_list *timer);
#define del_singleshot_timer_sync(t) del_timer_sync(t)

__SIMK_END_DECLS

#endif
