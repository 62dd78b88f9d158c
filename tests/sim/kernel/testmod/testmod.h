/* The test module's interface, shared by the module and the tests. */
#ifndef TESTMOD_H
#define TESTMOD_H

#include <linux/ioctl.h>

#define TM_MAJOR 200
#define TM_AREA_PAGES 5
#define TM_DATA_SIZE 256

struct tm_params {
	int answer;
	unsigned int count;
	char label[32];
};

struct tm_timer {
	long remaining;
	unsigned long armed_at;
	unsigned long expires;
	unsigned long fired_at;
	int fired;
	int in_interrupt;
};

/* read() of minor 1 */
struct tm_state {
	int in_timer;
	int in_critical;
	int overlap;
	int irq_count;
	unsigned int seq_timer_end;
	unsigned int seq_irq;
	int irq_in_interrupt;
	int last_irq;
};

#define TM_GET_PARAMS _IOR('T', 1, struct tm_params)
#define TM_PUT_INT _IOW('T', 2, int)
#define TM_GET_INT _IOR('T', 3, int)
#define TM_ARM_TIMER _IO('T', 4)	/* arg: ticks from now */
#define TM_WAIT_TIMER _IOR('T', 5, struct tm_timer)
#define TM_REQUEST_IRQ _IO('T', 6)	/* arg: irq */
#define TM_FREE_IRQ _IO('T', 7)		/* arg: irq */
#define TM_SET_TYPE _IO('T', 8)		/* arg: irq << 8 | type */
#define TM_SLEEP_IRQ _IO('T', 10)	/* arg: timeout in ticks; returns what is left */
#define TM_CRITICAL _IO('T', 11)	/* arg: microseconds with interrupts off */
/* TM_CRITICAL and TM_TIMER_BUSY end early on a write() to minor 1 */
#define TM_KILL_FASYNC _IO('T', 12)
#define TM_WAIT_DATA _IO('T', 13)
#define TM_TIMER_BUSY _IO('T', 14)	/* arg: microseconds the next timer run keeps busy */
#define TM_AREA_PEEK _IO('T', 16)	/* arg: offset; returns the byte */
#define TM_SET_DATA _IO('T', 17)
#define TM_MSLEEP _IO('T', 18)		/* arg: milliseconds */
#define TM_SEMA _IO('T', 19)		/* down_interruptible on a taken semaphore */
#define TM_WHOAMI _IO('T', 20)		/* arg: 16 bytes for comm; returns pid */
#define TM_IRQS_OFF_RETURN _IO('T', 21)

#endif
