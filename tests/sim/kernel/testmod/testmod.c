/*
 * testmod - a character driver that exercises the kernel services the way
 * the board's drivers use them: user copies, a vmalloc area mapped through a
 * fault handler, asynchronous notification, timers, interrupts, wait queues.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/errno.h>
#include <linux/vmalloc.h>
#include <linux/mm.h>
#include <linux/interrupt.h>
#include <linux/wait.h>
#include <linux/sched.h>
#include <linux/poll.h>
#include <linux/timer.h>
#include <linux/delay.h>
#include <linux/ioport.h>
#include <linux/string.h>
#include <linux/spinlock.h>
#include <asm/uaccess.h>
#include <asm/io.h>
#include <asm/irq.h>
#include <asm/semaphore.h>

#include <asm/arch/irqs.h>

#include "testmod.h"

static int major = TM_MAJOR;
static int answer = 42;
static unsigned int count = 3;
static char *label = "none";
static int fail_init;
static int leak;

module_param(major, int, 0);
module_param(answer, int, S_IRUGO);
module_param(count, uint, 0);
module_param(label, charp, 0);
module_param(fail_init, int, 0);
module_param(leak, int, 0);

static char data[TM_DATA_SIZE];
static int value;
static char *area;
static struct fasync_struct *async_queue;

static DECLARE_WAIT_QUEUE_HEAD(timer_wq);
static DECLARE_WAIT_QUEUE_HEAD(irq_wq);
static DECLARE_WAIT_QUEUE_HEAD(data_wq);
static DECLARE_MUTEX(taken_sema);
static DEFINE_SPINLOCK(lock);

static struct timer_list tm_timer;
static struct tm_timer timer_info;
static unsigned long timer_busy_us;
static struct tm_state state;
static unsigned int seq;
static int data_ready;
static int irq_dev;

static volatile int release_busy;

/* Busy for up to `us` microseconds, or until a write to minor 1 ends it. */
static void busy_wait_us(unsigned long us)
{
	release_busy = 0;
	while (us >= 100 && !release_busy) {
		udelay(100);
		us -= 100;
	}
}

static void tm_timer_fn(unsigned long arg)
{
	timer_info.fired_at = jiffies;
	timer_info.in_interrupt = in_interrupt();
	if (state.in_critical)
		state.overlap = 1;
	if (timer_busy_us) {
		state.in_timer = 1;
		busy_wait_us(timer_busy_us);
		timer_busy_us = 0;
		state.in_timer = 0;
	}
	state.seq_timer_end = ++seq;
	timer_info.fired = 1;
	wake_up_interruptible(&timer_wq);
}

static irqreturn_t tm_isr(int irq, void *dev_id)
{
	if (state.in_critical || state.in_timer)
		state.overlap = 1;
	state.irq_in_interrupt = in_irq();
	state.last_irq = irq;
	state.seq_irq = ++seq;
	state.irq_count++;
	wake_up_interruptible(&irq_wq);
	return IRQ_HANDLED;
}

static int tm_open(struct inode *inode, struct file *filp)
{
	if (iminor(inode) > 1)
		return -ENODEV;
	filp->private_data = &data;
	return 0;
}

static int tm_fasync(int fd, struct file *filp, int on)
{
	return fasync_helper(fd, filp, on, &async_queue);
}

static int tm_release(struct inode *inode, struct file *filp)
{
	tm_fasync(-1, filp, 0);
	return 0;
}

static ssize_t tm_read(struct file *filp, char __user *buf, size_t len,
		       loff_t *pos)
{
	/* minor 1 reads the state without the big kernel lock that ioctl takes */
	if (iminor(filp->f_dentry->d_inode) == 1) {
		if (len > sizeof(state))
			len = sizeof(state);
		if (copy_to_user(buf, &state, len))
			return -EFAULT;
		return len;
	}
	if (len > sizeof(data))
		len = sizeof(data);
	if (copy_to_user(buf, data, len))
		return -EFAULT;
	return len;
}

static ssize_t tm_write(struct file *filp, const char __user *buf, size_t len,
			loff_t *pos)
{
	char tmp[TM_DATA_SIZE];

	if (iminor(filp->f_dentry->d_inode) == 1) {
		release_busy = 1;
		return len;
	}
	if (len > sizeof(tmp))
		len = sizeof(tmp);
	if (copy_from_user(tmp, buf, len))
		return -EFAULT;
	memcpy(data, tmp, len);
	return len;
}

static unsigned int tm_poll(struct file *filp, poll_table *wait)
{
	poll_wait(filp, &data_wq, wait);
	return data_ready ? (POLLIN | POLLRDNORM) : 0;
}

static struct page *tm_vm_nopage(struct vm_area_struct *vma,
				 unsigned long address, int *type)
{
	unsigned long offset;
	struct page *page;

	offset = address - vma->vm_start + (vma->vm_pgoff << PAGE_SHIFT);
	if (!area || offset >= TM_AREA_PAGES * PAGE_SIZE)
		return NOPAGE_SIGBUS;
	page = vmalloc_to_page(area + offset);
	get_page(page);
	if (type)
		*type = VM_FAULT_MINOR;
	return page;
}

static struct vm_operations_struct tm_vm_ops = {
	.nopage = tm_vm_nopage,
};

static int tm_mmap(struct file *filp, struct vm_area_struct *vma)
{
	vma->vm_ops = &tm_vm_ops;
	vma->vm_flags |= VM_RESERVED;
	return 0;
}

static int tm_ioctl(struct inode *inode, struct file *filp, unsigned int cmd,
		    unsigned long arg)
{
	struct tm_params params;
	unsigned long flags;
	int ret;

	switch (cmd) {
	case TM_GET_PARAMS:
		memset(&params, 0, sizeof(params));
		params.answer = answer;
		params.count = count;
		strlcpy(params.label, label, sizeof(params.label));
		if (copy_to_user((void __user *)arg, &params, sizeof(params)))
			return -EFAULT;
		return 0;
	case TM_PUT_INT:
		return get_user(value, (int __user *)arg);
	case TM_GET_INT:
		return put_user(value, (int __user *)arg);
	case TM_ARM_TIMER:
		timer_info.fired = 0;
		timer_info.armed_at = jiffies;
		timer_info.expires = timer_info.armed_at + arg;
		mod_timer(&tm_timer, timer_info.expires);
		return 0;
	case TM_WAIT_TIMER:
		timer_info.remaining = wait_event_interruptible_timeout(
			timer_wq, timer_info.fired, 10 * HZ);
		if (copy_to_user((void __user *)arg, &timer_info,
				 sizeof(timer_info)))
			return -EFAULT;
		return 0;
	case TM_REQUEST_IRQ:
		return request_irq(arg, tm_isr, IRQF_DISABLED, "testmod",
				   &irq_dev);
	case TM_FREE_IRQ:
		free_irq(arg, &irq_dev);
		return 0;
	case TM_SET_TYPE:
		return set_irq_type(arg >> 8, arg & 0xff);
	case TM_SLEEP_IRQ:
		return interruptible_sleep_on_timeout(&irq_wq, arg);
	case TM_CRITICAL:
		spin_lock_irqsave(&lock, flags);
		state.in_critical = 1;
		busy_wait_us(arg);
		state.in_critical = 0;
		spin_unlock_irqrestore(&lock, flags);
		return 0;
	case TM_KILL_FASYNC:
		kill_fasync(&async_queue, SIGIO, POLL_IN);
		return 0;
	case TM_WAIT_DATA:
		return wait_event_interruptible(data_wq, data_ready);
	case TM_TIMER_BUSY:
		timer_busy_us = arg;
		return 0;
	case TM_AREA_PEEK:
		if (!area || arg >= TM_AREA_PAGES * PAGE_SIZE)
			return -EINVAL;
		return (unsigned char)area[arg];
	case TM_SET_DATA:
		data_ready = 1;
		wake_up_interruptible(&data_wq);
		return 0;
	case TM_MSLEEP:
		msleep(arg);
		return 0;
	case TM_IRQS_OFF_RETURN:
		local_irq_disable();	/* a driver bug: never turned on again */
		return 0;
	case TM_WHOAMI:
		if (copy_to_user((void __user *)arg, current->comm,
				 sizeof(current->comm)))
			return -EFAULT;
		return current->pid;
	case TM_SEMA:
		ret = down_interruptible(&taken_sema);
		if (ret == 0)
			up(&taken_sema);
		return ret;
	default:
		return -ENOTTY;
	}
}

static struct file_operations tm_fops = {
	.owner = THIS_MODULE,
	.read = tm_read,
	.write = tm_write,
	.poll = tm_poll,
	.ioctl = tm_ioctl,
	.mmap = tm_mmap,
	.open = tm_open,
	.release = tm_release,
	.fasync = tm_fasync,
};

static int __init tm_init(void)
{
	int ret;
	int i;

	ret = register_chrdev(major, "testmod", &tm_fops);
	if (ret < 0)
		return ret;
	if (major == 0)
		major = ret;
	setup_timer(&tm_timer, tm_timer_fn, 0);
	if (leak) {
		/* an init that fails and forgets what it set up */
		mod_timer(&tm_timer, jiffies + 10 * HZ);
		request_irq(IRQ_EINT2, tm_isr, IRQF_DISABLED, "testmod", &irq_dev);
		request_mem_region(0x59000000, 0x20, "testmod");
		return -EIO;
	}
	if (fail_init) {
		unregister_chrdev(major, "testmod");
		return -ENODEV;
	}
	area = vmalloc(TM_AREA_PAGES * PAGE_SIZE);
	if (area)
		for (i = 0; i < TM_AREA_PAGES * PAGE_SIZE; i++)
			area[i] = (char)(i / PAGE_SIZE + 1);
	down(&taken_sema);
	printk(KERN_INFO "testmod: loaded, answer %d\n", answer);
	return 0;
}

static void __exit tm_exit(void)
{
	del_timer_sync(&tm_timer);
	up(&taken_sema);
	vfree(area);
	unregister_chrdev(major, "testmod");
	printk("testmod: unloaded\n");
}

module_init(tm_init);
module_exit(tm_exit);

MODULE_LICENSE("GPL");
MODULE_AUTHOR("dashcam");
MODULE_DESCRIPTION("Exercises the simulated kernel");
