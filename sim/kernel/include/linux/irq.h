#ifndef _LINUX_IRQ_H
#define _LINUX_IRQ_H

#include <linux/interrupt.h>
#include <asm/irq.h>

#endif
