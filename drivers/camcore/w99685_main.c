/*
 * w99685_main.c - camcore: the character device of the two W99685 camera
 * coprocessors (minor 0 rear, minor 1 front), the shared frame area mapped
 * by the recorder, the ioctl requests, the board set-up at load, the clock
 * modes and the coprocessor interrupt.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/errno.h>
#include <linux/slab.h>
#include <linux/vmalloc.h>
#include <linux/mm.h>
#include <linux/interrupt.h>
#include <linux/wait.h>
#include <linux/sched.h>
#include <linux/poll.h>
#include <linux/delay.h>
#include <linux/clk.h>
#include <linux/err.h>
#include <linux/string.h>
#include <asm/uaccess.h>
#include <asm/io.h>
#include <asm/semaphore.h>
#include <asm/arch/hardware.h>
#include <asm/arch/regs-clock.h>
#include <asm/arch/regs-gpio.h>
#include <asm/arch/regs-irq.h>
#include <asm/arch/regs-mem.h>
#include <asm/arch/regs-serial.h>
#include <asm/arch/regs-timer.h>

#include "w99685.h"

/* The records as user space and the chip lay them out: 4 bytes each (the
 * size of struct iic_cmd is checked where it is declared). */
typedef char iic_cmd_data_at_2[offsetof(struct iic_cmd, data) == 2 ? 1 : -1];
typedef char cmdparam_is_4_bytes[sizeof(cmdparam_struct) == 4 ? 1 : -1];

int device_type = 1;
module_param(device_type, int, 0);
MODULE_PARM_DESC(device_type, "0: front camera only, 1: front and rear, "
			      "other: both cameras, no chip reset at open");

#ifdef CAMCORE_TEST_FAULTS
int test_fault;
module_param(test_fault, int, 0);
MODULE_PARM_DESC(test_fault,
		 "test build: the mistake to make (enum camcore_test_fault)");
#endif

static unsigned char *share_memory;
static unsigned char g_buff[W99685_LCD_BUFFER_SIZE];
static unsigned long timer_startval;
static unsigned long timer_usec_ticks;

/* A frame fetch waits this long for the frame-ready interrupt. */
#define FRAME_WAIT_TICKS 1000 /* 5 s at 200 Hz */

/* ---- Board set-up ------------------------------------------------------ */

void udelay_proc(void)
{
	/* every caller runs in process context: sleep rather than spin */
	msleep(15);
}

static void __iomem *uart_reg(int port, int reg)
{
	return (void __iomem *)((unsigned long)S3C24XX_VA_UART + 0x4000 * port +
				reg);
}

void s3c2410_reg_set(void)
{
	static const char fn[] = "s3c2410_reg_set";

	printk(KERN_INFO "%s: Bus width & control register %x\n", fn,
	       __raw_readl(S3C2410_BWSCON));
	printk(KERN_INFO "%s: BANKCON2 %x\n", fn,
	       __raw_readl(S3C2410_BANKCON2));
	printk(KERN_INFO "%s: GPIO Port A %x\n", fn,
	       __raw_readl(S3C2410_GPACON));
	printk(KERN_INFO "%s: GPFCON %x\n", fn, __raw_readl(S3C2410_GPFCON));

	s3c2410_gpio_cfgpin(S3C2410_GPF0, S3C2410_GPF0_EINT0);
	s3c2410_gpio_cfgpin(S3C2410_GPF1, S3C2410_GPF1_EINT1);
	printk(KERN_INFO "%s: GPFCON %x\n", fn, __raw_readl(S3C2410_GPFCON));

	printk(KERN_INFO "%s: MPLLCON %x\n", fn, __raw_readl(S3C2410_MPLLCON));
	printk(KERN_INFO "%s: UPLLCON %x\n", fn, __raw_readl(S3C2410_UPLLCON));
	printk(KERN_INFO "%s: CLKCON %x\n", fn, __raw_readl(S3C2410_CLKCON));
	printk(KERN_INFO "%s: CLKSLOW %x\n", fn, __raw_readl(S3C2410_CLKSLOW));
	printk(KERN_INFO "%s: CLKDIVN %x\n", fn, __raw_readl(S3C2410_CLKDIVN));
	printk(KERN_INFO "%s: CLKDIVN %x\n", fn,
	       __raw_readl(uart_reg(0, S3C2410_UBRDIV)));
	printk(KERN_INFO "%s: CLKDIVN %x\n", fn,
	       __raw_readl(uart_reg(1, S3C2410_UBRDIV)));
	printk(KERN_INFO "%s: CLKDIVN %x\n", fn,
	       __raw_readl(uart_reg(2, S3C2410_UBRDIV)));

	/* GPF0/1: interrupts 0/1; GPF2/3: chip reset; GPF4: interrupt 4 */
	__raw_writel(0x25A, S3C2410_GPFCON);
	printk(KERN_INFO "%s: GPF con. register %x \n", fn,
	       __raw_readl(S3C2410_GPFCON));

	/* interrupts 0 and 1 on the falling edge, 2..7 on low level */
	__raw_writel(0x33, S3C2410_EXTINT0);
	printk(KERN_INFO "%s: External interrupt trigger mode %x\n", fn,
	       __raw_readl(S3C2410_EXTINT0));

	__raw_writel(3, S3C2410_SRCPND);
	__raw_writel(0x675D3DCC, S3C2410_INTMSK);
	printk(KERN_INFO "%s: SRCPND %x\n", fn, __raw_readl(S3C2410_SRCPND));
	printk(KERN_INFO "%s: INTMOD %x\n", fn, __raw_readl(S3C2410_INTMOD));
	printk(KERN_INFO "%s: INTMSK %x\n", fn, __raw_readl(S3C2410_INTMSK));
}

void s3c2410_clock_change(int drMode)
{
	int slow = drMode == 1;
	int port;

	if (slow) {
		__raw_writel(__raw_readl(S3C2410_CLKCON) & ~0x380FC,
			     S3C2410_CLKCON);
		mdelay(3);
		__raw_writel(0x52013, S3C2410_MPLLCON);
	} else {
		__raw_writel(0xA1031, S3C2410_MPLLCON);
	}

	for (port = 0; port < 3; port++) {
		__raw_writel(7, uart_reg(port, S3C2410_UFCON));
		__raw_writel(0, uart_reg(port, S3C2410_UMCON));
		__raw_writel(3, uart_reg(port, S3C2410_ULCON));
		__raw_writel(0x245, uart_reg(port, S3C2410_UCON));
	}
	__raw_writel(slow ? 5 : 26, uart_reg(0, S3C2410_UBRDIV));
	__raw_writel(slow ? 72 : 329, uart_reg(1, S3C2410_UBRDIV));
	__raw_writel(slow ? 72 : 329, uart_reg(2, S3C2410_UBRDIV));
	mdelay(3);
}

/* Re-programs timer 4 as the 200 Hz system tick for a `pclk` Hz clock. */
void s3c2410_timer_setup(unsigned long pclk)
{
	unsigned long tcon, tcfg0, tcfg1, tcnt;
	struct clk *clk;

	tcon = __raw_readl(S3C2410_TCON);
	tcfg1 = __raw_readl(S3C2410_TCFG1);
	tcfg0 = __raw_readl(S3C2410_TCFG0);

	clk = clk_get(NULL, "timers");
	if (IS_ERR(clk))
		panic("failed to get clock for system timer");
	clk_enable(clk);
	printk(KERN_INFO "PCLK %d\n", (int)pclk);

	timer_usec_ticks = (65536000UL * 6 + pclk / 2000) / (pclk / 1000);

	tcfg1 &= ~S3C2410_TCFG1_MUX4_MASK;
	tcfg0 &= ~S3C2410_TCFG_PRESCALER1_MASK;
	tcfg0 |= 2 << S3C2410_TCFG_PRESCALER1_SHIFT;

	tcnt = pclk / 1200 - 1;
	printk(KERN_INFO
	       "timer tcon=%08lx, tcnt %04lx, tcfg %08lx,%08lx, usec %08lx\n",
	       tcon, tcnt, tcfg0, tcfg1, timer_usec_ticks);
	if (tcnt > 0xFFFF)
		panic("setup_timer: HZ is too small, cannot configure timer!");

	__raw_writel(tcfg1, S3C2410_TCFG1);
	__raw_writel(tcfg0, S3C2410_TCFG0);
	__raw_writel(tcnt, S3C2410_TCNTB(4));

	tcon &= ~(7 << 20);
	tcon |= S3C2410_TCON_T4RELOAD | S3C2410_TCON_T4MANUALUPD;
	__raw_writel(tcon, S3C2410_TCON);
	__raw_writel(tcnt, S3C2410_TCNTB(4));
	tcon |= S3C2410_TCON_T4START;
	tcon &= ~S3C2410_TCON_T4MANUALUPD;
	__raw_writel(tcon, S3C2410_TCON);
	timer_startval = tcnt;
}

/* The frame-ready interrupt of one coprocessor (2.6.20: no pt_regs). */
irqreturn_t w99685_isr(int irq, void *dev_instance)
{
	W99685_DEV *pDev = dev_instance;

	pDev->frame_ready = 1;
	wake_up_interruptible(&pDev->wq);
	return IRQ_HANDLED;
}

/* ---- File operations --------------------------------------------------- */

static int w99685_open(struct inode *inode, struct file *file)
{
	unsigned int minor = iminor(inode);
	unsigned char major_v, minor_v;
	W99685_DEV *pDev;

	if (minor > 1)
		return -EPERM;

	pDev = kmalloc(sizeof(*pDev), GFP_KERNEL);
	if (pDev == NULL)
		return -ENOMEM;
	memset(pDev, 0, sizeof(*pDev));
	if (minor == 0) {
		pDev->paddr = W99685_REAR_PADDR;
		pDev->irq = W99685_REAR_IRQ;
	} else {
		pDev->paddr = W99685_FRONT_PADDR;
		pDev->irq = W99685_FRONT_IRQ;
	}
	spin_lock_init(&pDev->lock);
	init_waitqueue_head(&pDev->wq);
	init_MUTEX(&pDev->sema);
	file->private_data = pDev;

	if (device_type == 0 && minor == 0) {
		printk(KERN_INFO "Disregard rear video open in TK500\n");
		pDev->disregarded = 1;
		return 0;
	}

	pDev->ready = init_dev(pDev) == 0;
	if (pDev->ready && GetFirmwareVersion(&major_v, &minor_v, pDev) == 0)
		printk(KERN_INFO "Firmware version marjor %x,minor %x\n",
		       major_v, minor_v);
	return 0;
}

static int w99685_release(struct inode *inode, struct file *file)
{
	W99685_DEV *pDev = file->private_data;

	if (!pDev->disregarded) {
		/* no handler may run on the record once it is freed */
		if (pDev->irq_requested)
			free_irq(pDev->irq, pDev);
		if (pDev->reg_base)
			iounmap(pDev->reg_base);
	}
	kfree(pDev);
	file->private_data = NULL;
	return 0;
}

/*
 * One capture cycle: trigger, wait for the frame-ready interrupt (or 5 s),
 * fetch the frame into this device's half of the frame area. Returns the
 * frame length, or 0 when no frame was fetched. Nothing is copied to `buf`:
 * the caller reads the frame through its mapping.
 */
static ssize_t w99685_read(struct file *file, char __user *buf, size_t count,
			   loff_t *f_pos)
{
	W99685_DEV *pDev = file->private_data;
	unsigned char *frame;
	unsigned int size = 0;
	ssize_t result = 0;

	if (pDev->disregarded || !pDev->ready || share_memory == NULL)
		return 0;
	frame = share_memory + (W99685_IS_FRONT(pDev) ? W99685_FRONT_OFFSET
						      : W99685_REAR_OFFSET);

	down(&pDev->sema);
	if (pDev->sensor_type != SENSOR_MT9M112D)
		SetOpMode(0, 2, 1, pDev);
	/*
	 * The interrupt may come before this task sleeps: the flag keeps it,
	 * where a bare sleep on the queue would lose it and wait 5 s.
	 */
	pDev->frame_ready = 0;
	if (FastSnapShot(0, pDev)) {
		printk(KERN_ERR "Capture Error\n");
		goto out;
	}
	/* a time-out or a signal proceeds like a wake-up */
	wait_event_interruptible_timeout(pDev->wq, pDev->frame_ready,
					 FRAME_WAIT_TICKS);
	if (SingleCapture(frame, &size, pDev) == 0)
		result = size;
out:
	up(&pDev->sema);
	return result;
}

static ssize_t w99685_write(struct file *file, const char __user *buf,
			    size_t count, loff_t *f_pos)
{
	return count;
}

static unsigned int w99685_poll(struct file *file, poll_table *wait)
{
	W99685_DEV *pDev = file->private_data;

	poll_wait(file, &pDev->wq, wait);
	return 0;
}

/* ---- The frame area mapping -------------------------------------------- */

static struct page *mmapnopage_vm_nopage(struct vm_area_struct *vma,
					 unsigned long address, int *type)
{
	unsigned long offset = address - vma->vm_start;
	struct page *page;

	if (share_memory == NULL || offset >= W99685_AREA_SIZE)
		return NOPAGE_SIGBUS;
	page = vmalloc_to_page(share_memory + offset);
	get_page(page);
	if (type)
		*type = VM_FAULT_MINOR;
	return page;
}

static struct vm_operations_struct mmapnopage_vm_ops = {
	.nopage = mmapnopage_vm_nopage,
};

static int mmapnopage_mmap(struct file *file, struct vm_area_struct *vma)
{
	vma->vm_ops = &mmapnopage_vm_ops;
	vma->vm_flags |= VM_RESERVED;
	return 0;
}

/* ---- Requests ---------------------------------------------------------- */

/* OV7725 register write over the coprocessor's sensor bus. */
static void ov7725_write(unsigned char reg, unsigned char value,
			 W99685_DEV *pDev)
{
	iic_write(OV7725_ADDR, reg, value, pDev);
}

/* Request 4: a capture for every COM10 value with bit 5 clear. */
static void com10_sweep(W99685_DEV *pDev)
{
	unsigned int size;
	int v, i;

	printk(KERN_INFO "%s: single capture test 2\n", "w99685_ioctl");
	for (v = 0; v < 256; v++) {
		if (v & 0x20)
			continue;
		ov7725_write(0x12, 0x80, pDev);
		mdelay(1);
		ov7725_write(0x12, 0x00, pDev);
		ov7725_write(0x0D, 0x01, pDev);
		mdelay(1);
		ov7725_write(0x15, v, pDev);
		for (i = 0; i < 4; i++)
			udelay_proc();

		SetOpMode(0, 2, 0, pDev);
		PreViewControl(0, pDev);
		SetJPEGFormat(1, pDev);
		SetImageFormat(8, pDev);
		SetOpMode(0, 2, 0, pDev);
		SnapShot(0, pDev);
		udelay(100);

		size = 0;
		if (share_memory)
			SingleCapture(share_memory, &size, pDev);
		PreViewControl(1, pDev);
		if (size != 0)
			printk(KERN_INFO "%s: size %d 0x15 register value \n",
			       "w99685_ioctl", v);
	}
}

static void lcd_fill_test(W99685_DEV *pDev)
{
	int i;

	PreViewControl(0, pDev);
	SetLCMControlMode(0, pDev);
	for (i = 0; i < W99685_LCD_BUFFER_SIZE; i += 2) {
		g_buff[i] = 0xE0;
		g_buff[i + 1] = 0x07;
	}
	RefreshLCDWin_Bypass(g_buff, W99685_LCD_BUFFER_SIZE, pDev);
}

static void diagnostic(unsigned short code, W99685_DEV *pDev)
{
	unsigned char major_v, minor_v, format, b;
	unsigned short w;

	switch (code) {
	case 1:
		if (GetFirmwareVersion(&major_v, &minor_v, pDev) == 0)
			printk(KERN_INFO
			       "%s: \n drv result : Firmware version major "
			       "%x,minor %x\n",
			       "w99685_ioctl", major_v, minor_v);
		GetImageFormat(&format, pDev);
		break;
	case 2:
		SetOpMode(0, 2, 1, pDev);
		FastSnapShot(0, pDev);
		break;
	case 3:
		if (pDev->sensor_type == SENSOR_MT9V111) {
			iic_read16bit(MT9V111_ADDR, 0xFF, &w, pDev);
		} else {
			SetSensorSlaveAddress(OV7725_ADDR, 1, pDev);
			iic_read(OV7725_ADDR, 0x0A, &b, pDev);
		}
		break;
	case 4:
		Test_W99685CMD_MassDataDMA(pDev);
		break;
	case 5:
		Test_W99685CMD_MassDataCMD(pDev);
		break;
	case 6:
		PreviewLCM(pDev);
		break;
	case 7:
		lcd_fill_test(pDev);
		break;
	case 8:
		SetLCMControlMode(1, pDev);
		break;
	case 9:
		LCDWriteCMDAddrWORD(0x15, pDev);
		LCDWriteCMDRegWORD(0xA05D, pDev);
		break;
	case 10:
	case 11:
	case 12:
		OV7725Set(code - 9, pDev);
		break;
	default:
		break;
	}
}

static void sensor_write(const struct iic_cmd *cmd, W99685_DEV *pDev)
{
	printk(KERN_INFO "%s: iic wirte %x,%x\n", "w99685_ioctl", cmd->subaddr,
	       cmd->data);
	if (pDev->sensor_type == SENSOR_MT9V111) {
		SetSensorInputFormat(0xF1, pDev);
		iic_write16bit(MT9V111_ADDR, cmd->subaddr, cmd->data, pDev);
	} else {
		SetSensorSlaveAddress(OV7725_ADDR, 1, pDev);
		SetSensorInputFormat(0xE3, pDev);
		iic_write(OV7725_ADDR, cmd->subaddr, cmd->data & 0xFF, pDev);
	}
}

static void sensor_read(const struct iic_cmd *cmd, W99685_DEV *pDev)
{
	unsigned char b = 0;
	unsigned short w = 0;

	if (pDev->sensor_type == SENSOR_OV7725) {
		SetSensorSlaveAddress(OV7725_ADDR, 1, pDev);
		SetSensorInputFormat(0xE3, pDev);
		iic_read(OV7725_ADDR, cmd->subaddr, &b, pDev);
		printk(KERN_INFO "read value 0x%02x\n", b);
	} else {
		SetSensorInputFormat(0xF1, pDev);
		iic_read16bit(MT9V111_ADDR, cmd->subaddr, &w, pDev);
		printk(KERN_INFO "read value %04x\n", w);
	}
}

static void clock_mode(int slow)
{
	if (slow) {
		s3c2410_clock_change(1);
		s3c2410_timer_setup(11250000);
		printk(KERN_INFO "----- PLL OFF -> Slow Mode.. -----\n");
	} else {
		s3c2410_clock_change(2);
		s3c2410_timer_setup(12675000);
		printk(KERN_INFO "----- PLL ON -> Normal Mode.. -----\n");
	}
	printk(KERN_INFO "CLKCON %x\n", __raw_readl(S3C2410_CLKCON));
}

/*
 * Requests that command the coprocessor; on a chip whose bring-up failed
 * each of their frames would wait out its whole time-out (a COM10 sweep for
 * most of an hour), so they are not sent to it.
 */
static int talks_to_chip(unsigned int cmd)
{
	switch (cmd) {
	case CAMERA_IOC_DIAG:
	case CAMERA_IOC_SENSOR_WRITE:
	case CAMERA_IOC_SENSOR_READ:
	case CAMERA_IOC_COM10_SWEEP:
	case CAMERA_IOC_SET_QP:
		return 1;
	default:
		return 0;
	}
}

/*
 * Every request answers -ENOTTY, handled or not (the recorder ignores the
 * result); a disregarded rear device answers 0 and does nothing. Arguments
 * that cannot be read from the caller count as zero.
 */
static int w99685_ioctl(struct inode *inode, struct file *file,
			unsigned int cmd, unsigned long arg)
{
	W99685_DEV *pDev = file->private_data;
	struct iic_cmd iic;
	unsigned short code = 0;
	unsigned char value = 0;

	if (pDev->disregarded)
		return 0;
	if (!pDev->ready && talks_to_chip(cmd)) {
		printk(KERN_WARNING
		       "%s: request %u refused, the coprocessor is not "
		       "running\n",
		       "w99685_ioctl", cmd);
		return -ENOTTY;
	}

	down(&pDev->sema);
	switch (cmd) {
	case CAMERA_IOC_DIAG:
		if (get_user(code, (unsigned short __user *)arg))
			code = 0;
		diagnostic(code, pDev);
		break;
	case CAMERA_IOC_SENSOR_WRITE:
	case CAMERA_IOC_SENSOR_READ:
		if (copy_from_user(&iic, (void __user *)arg, sizeof(iic)))
			memset(&iic, 0, sizeof(iic));
		if (cmd == CAMERA_IOC_SENSOR_WRITE)
			sensor_write(&iic, pDev);
		else
			sensor_read(&iic, pDev);
		break;
	case CAMERA_IOC_COM10_SWEEP:
		com10_sweep(pDev);
		break;
	case CAMERA_IOC_SET_QP:
		if (get_user(value, (unsigned char __user *)arg))
			value = 0;
		printk(KERN_INFO "%s: Encoding QP set %d\n", "w99685_ioctl",
		       value);
		if (pDev->sensor_type == SENSOR_MT9M112D) {
			MT9M112D_MegaSetting(pDev);
			printk(KERN_INFO "!!!!!!!!!!!!! Use Scaler... "
					 "!!!!!!!!!!!!!!!!!\n");
		}
		SetQPValue(value, pDev);
		break;
	case CAMERA_IOC_CLOCK_NORMAL:
		clock_mode(0);
		break;
	case CAMERA_IOC_CLOCK_SLOW:
		clock_mode(1);
		break;
	case CAMERA_IOC_AUDIO_CLOCK_OFF:
		__raw_writel(__raw_readl(S3C2410_CLKCON) & ~(1 << 17),
			     S3C2410_CLKCON);
		mdelay(3);
		printk(KERN_INFO "CLKCON %x\n", __raw_readl(S3C2410_CLKCON));
		break;
	default:
		/* request 6 included: the image format stays as set up */
		break;
	}
	up(&pDev->sema);
	return -ENOTTY;
}

static struct file_operations w99685_fops = {
	.owner = THIS_MODULE,
	.read = w99685_read,
	.write = w99685_write,
	.poll = w99685_poll,
	.ioctl = w99685_ioctl,
	.mmap = mmapnopage_mmap,
	.open = w99685_open,
	.release = w99685_release,
};

/* ---- Module ------------------------------------------------------------ */

/*
 * Nothing but the device's registration can fail the load: without its frame
 * area the module still loads, and mapping the area then faults.
 */
static int __init w99685_init(void)
{
	int r;

	printk(KERN_INFO "+++ w99685 driver version 1.126 - auto detect CMOS "
			 "sensor +++\n");
	printk(KERN_INFO "device type %d\n", device_type);

	r = register_chrdev(W99685_MAJOR, W99685_NAME, &w99685_fops);
	if (r < 0)
		return r;
	s3c2410_reg_set();
	share_memory = vmalloc(W99685_AREA_SIZE);
	if (share_memory == NULL)
		printk(KERN_ERR "%s: no memory for the frame area\n",
		       "init_module");
	else
		memset(share_memory, 0, W99685_AREA_SIZE);
	return 0;
}

static void __exit w99685_exit(void)
{
	unregister_chrdev(W99685_MAJOR, W99685_NAME);
	if (share_memory)
		vfree(share_memory);
	share_memory = NULL;
}

module_init(w99685_init);
module_exit(w99685_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("W99685 camera coprocessors");
