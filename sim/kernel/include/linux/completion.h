#ifndef __LINUX_COMPLETION_H
#define __LINUX_COMPLETION_H

#include <linux/wait.h>

__SIMK_BEGIN_DECLS

struct completion {
	unsigned int done;
	wait_queue_head_t wait;
};

#define COMPLETION_INITIALIZER(work) { \
	0, __WAIT_QUEUE_HEAD_INITIALIZER((work).wait) }
#define DECLARE_COMPLETION(work) \
	struct completion work = COMPLETION_INITIALIZER(work)

void init_completion(struct completion *x);
#define INIT_COMPLETION(x) ((x).done = 0)
void wait_for_completion(struct completion *x);
int wait_for_completion_interruptible(struct completion *x);
unsigned long wait_for_completion_timeout(struct completion *x,
					  unsigned long timeout);
void complete(struct completion *x);
void complete_all(struct completion *x);

__SIMK_END_DECLS

#endif
