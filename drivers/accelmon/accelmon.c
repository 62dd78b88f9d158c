/*
 * accelmon - the accelerometer on SPI channel 0 (a LIS3LV02DQ, or a chip of
 * the ADXL345 register map), the volume knob on ADC input AIN0 and the three
 * input lines of the recorder board (emergency button, external alarm,
 * power detect), offered to the recorder through one character device.
 *
 * While sampling is started, a kernel timer takes one sample about three
 * times a second into the 8-byte record XYZ and sends SIGIO to the owner of
 * the open file. An input's event is carried by the next sample as a marker
 * in place of the three axes (see accelmon.h).
 *
 * Everything runs on one processor. The SPI transfers, the ADC conversions
 * and the updates of the state shared with the tick and the interrupt
 * handler are made with local interrupts masked.
 */
#include <linux/module.h>
#include <linux/kernel.h>
#include <linux/init.h>
#include <linux/fs.h>
#include <linux/errno.h>
#include <linux/ioport.h>
#include <linux/interrupt.h>
#include <linux/timer.h>
#include <linux/jiffies.h>
#include <linux/delay.h>
#include <linux/string.h>
#include <linux/clk.h>
#include <linux/err.h>
#include <linux/signal.h>
#include <asm/uaccess.h>
#include <asm/io.h>
#include <asm/irq.h>
#include <asm/system.h>
#include <asm/arch/hardware.h>
#include <asm/arch/irqs.h>
#include <asm/arch/map.h>
#include <asm/arch/regs-gpio.h>
#include <asm/arch/regs-spi.h>
#include <asm/arch/regs-adc.h>

#include "accelmon.h"

typedef struct {
	int lavel;    /* the last level read, by the tick or on demand */
	int reserved; /* the last level reported in a record */
} volume_t;

#define ACCELMON_REGION_NAME "Gsensor+Volume"
#define ACCELMON_REGION_SIZE 0x20

/* The inputs. */
#define IRQ_EMERGENCY IRQ_EINT16 /* GPG8 */
#define IRQ_ALARM IRQ_EINT3	 /* GPF3 */
#define IRQ_PWR_DETECT IRQ_EINT9 /* GPG1 */
#define PWR_DETECT_PIN S3C2410_GPG1
#define SPI_CS_PIN S3C2410_GPG2

/* Pending events (g_bInt). */
#define EVENT_NONE 0
#define EVENT_EMERGENCY 1
#define EVENT_ALARM 2
#define EVENT_PWR_DETECT 3

#define DETECT_PERIOD (HZ / 5) /* power-detect checks, 200 ms apart */
#define PULSE_PERIOD HZ	       /* power-detect pulse steps, 1 s apart */
#define PULSE_STEPS 3

/* SPI controller set-up: polling, clock on, master, CPOL 1, CPHA 1 (mode 3). */
#define SPCON_MODE3                                                            \
	(S3C2410_SPCON_SMOD_POLL | S3C2410_SPCON_ENSCK | S3C2410_SPCON_MSTR |  \
	 S3C2410_SPCON_CPOL_HIGH | S3C2410_SPCON_CPHA_FMTB)
#define SPPIN_NORMAL S3C2410_SPPIN_RESERVED
#define SPPRE_LIS3LV02DQ 1

/* Waits for the controller's ready flag: 2 us each, at most this many in
 * one transfer, so that a dead controller cannot hold up the tick. */
#define SPI_WAIT_US 2
#define SPI_WAIT_BUDGET 300

#define SPI_READ 0x80
#define SPI_DUMMY 0xFF

/* The chips. */
#define LIS3LV02DQ_ID 0x3A
#define LIS_WHO_AM_I 0x0F
#define LIS_CTRL_REG1 0x20
#define LIS_CTRL_REG1_ON 0xC7 /* device on, decimation 512, X, Y, Z */
#define LIS_OUTX_L 0x28

#define ADXL345_ID 0xE5
#define ADXL_DEVID 0x00
#define ADXL_ACT_INACT_CTL 0x27
#define ADXL_BW_RATE 0x2C
#define ADXL_POWER_CTL 0x2D
#define ADXL_INT_ENABLE 0x2E
#define ADXL_DATA_FORMAT 0x31
#define ADXL_DATAX0 0x32
#define ADXL_MEASURE 0x08

/* The knob. */
#define ADC_CLOCK_HZ 2000000
#define ADC_PRESCALER_SLOWEST 0xFF
#define ADC_START_DELAY 0x9C40
#define ADC_LEVEL_SHIFT 4
#define VOLUME_UNREPORTED 100 /* no level has this value */

/* The sampling period is HZ / frame ticks. */
static int frame = 3;
module_param(frame, int, 0);
MODULE_PARM_DESC(frame, "samples per second (1..200), default 3");

/*
 * All of the module's state, once: the device and its user, the chip found
 * at the last open, the sampling tick and the inputs, the knob, and the SPI
 * transfer under way. Process context, the tick and the interrupt handler
 * share it on one processor; the comments on the functions say who masks
 * interrupts around what.
 */
static struct accelmon {
	int accelmon_usage;	    /* 1 while the device is open */
	int check_ID;		    /* identity read at the last open */
	int timer_flag;		    /* 1: the tick samples and signals */
	unsigned char sub_ver;	    /* 1: axes rotated for the 3.5 sub-board */
	unsigned char g_bInt;	    /* pending event, EVENT_* */
	unsigned char detect_flag;  /* power-detect debounce checks */
	unsigned char detect_flag1; /* power-detect pulse, seconds low */
	unsigned int baudrate;	    /* SPI prescaler at open */

	struct timer_list timer_task;	 /* the sampling tick */
	struct timer_list timer_detect;	 /* power-detect debounce */
	struct timer_list timer_detect1; /* power-detect pulse */
	struct fasync_struct *g_asqueue;

	void __iomem *baseaddr_spi;
	void __iomem *baseaddr_adc;
	unsigned int irqs_held; /* HELD_*: the inputs' interrupts held */

	short XYZ[4];  /* the record */
	short _XYZ[3]; /* raw axes of the last tick */
	volume_t volume;
	unsigned long prescaler; /* ADC clock prescaler */
	unsigned int delay_time; /* ADCDLY */

	/* The SPI transfer under way. */
	unsigned char tx_command[2];
	unsigned char spi_buf[4096];
	unsigned char *rxStr;
	int tx_cnt;
	int rx_cnt;
	int endSpiTx;
	int spi_timeout_reported;
} accelmon = {
	.baudrate = 4,
};

/* Interrupts this module holds (accelmon.irqs_held). */
#define HELD_EMERGENCY 1
#define HELD_ALARM 2
#define HELD_PWR_DETECT 4

/* ---- SPI ------------------------------------------------------------- */

/* Waits for REDY; gives up when the transfer's budget is spent. */
static void spi_wait_ready(int *budget)
{
	while (!(readb(accelmon.baseaddr_spi + S3C2410_SPSTA) &
		 S3C2410_SPSTA_READY)) {
		if (*budget <= 0) {
			if (!accelmon.spi_timeout_reported) {
				accelmon.spi_timeout_reported = 1;
				printk(KERN_WARNING
				       "accelmon: SPI0 not ready, "
				       "transfer goes on without it\n");
			}
			return;
		}
		udelay(SPI_WAIT_US);
		(*budget)--;
	}
}

static void spi_begin(unsigned char command, unsigned char data)
{
	accelmon.tx_command[0] = command;
	accelmon.tx_command[1] = data;
	accelmon.rxStr = accelmon.spi_buf;
	accelmon.tx_cnt = 0;
	accelmon.endSpiTx = 0;
	s3c2410_gpio_setpin(SPI_CS_PIN, 0);
}

static void spi_end(void)
{
	s3c2410_gpio_setpin(SPI_CS_PIN, 1);
	memset(accelmon.tx_command, 0, sizeof(accelmon.tx_command));
	memset(accelmon.spi_buf, 0, sizeof(accelmon.spi_buf));
}

/*
 * One register write: the command byte and the data byte in one chip
 * select. The bytes are filled in with interrupts masked, so that the tick
 * cannot run a transfer of its own between the filling and the transfer.
 */
static void spi_send(unsigned char command, unsigned char data)
{
	unsigned long flags;
	int budget = SPI_WAIT_BUDGET;

	local_irq_save(flags);
	spi_begin(command, data);
	while (!accelmon.endSpiTx) {
		spi_wait_ready(&budget);
		if (accelmon.tx_cnt < 2)
			writeb(accelmon.tx_command[accelmon.tx_cnt++],
			       accelmon.baseaddr_spi + S3C2410_SPTDAT);
		else
			accelmon.endSpiTx = 1; /* the second byte is out */
	}
	spi_end();
	local_irq_restore(flags);
}

/* One register read: returns the byte received during the second byte. */
static int spi_recv(unsigned char command)
{
	unsigned long flags;
	int budget = SPI_WAIT_BUDGET;
	int result = 0;

	local_irq_save(flags);
	spi_begin(command, SPI_DUMMY);
	while (!accelmon.endSpiTx) {
		spi_wait_ready(&budget);
		if (accelmon.tx_cnt < 2)
			writeb(accelmon.tx_command[accelmon.tx_cnt++],
			       accelmon.baseaddr_spi + S3C2410_SPTDAT);
		else
			accelmon.endSpiTx = 1;
		spi_wait_ready(&budget);
		*accelmon.rxStr++ =
			readb(accelmon.baseaddr_spi + S3C2410_SPRDAT);
	}
	for (accelmon.rx_cnt = 0; accelmon.rx_cnt < accelmon.tx_cnt;
	     accelmon.rx_cnt++) {
		if (accelmon.rx_cnt == 1)
			result = accelmon.spi_buf[accelmon.rx_cnt];
	}
	spi_end();
	local_irq_restore(flags);
	return result;
}

static void spi_setup(void)
{
	writel(accelmon.baudrate, accelmon.baseaddr_spi + S3C2410_SPPRE);
	writeb(SPCON_MODE3, accelmon.baseaddr_spi + S3C2410_SPCON);
	writeb(SPPIN_NORMAL, accelmon.baseaddr_spi + S3C2410_SPPIN);
}

/* Three passes; a pass that does not see the LIS3LV02DQ asks the other
 * chip's ID register. The last pass decides. */
static void gsensor_identify(void)
{
	int pass;

	for (pass = 0; pass < 3; pass++) {
		accelmon.check_ID = spi_recv(SPI_READ | LIS_WHO_AM_I) & 0xFF;
		if (accelmon.check_ID != LIS3LV02DQ_ID)
			accelmon.check_ID =
				spi_recv(SPI_READ | ADXL_DEVID) & 0xFF;
	}
	printk("Gsensor ID : %x\n", accelmon.check_ID);
}

static void gsensor_setup(void)
{
	switch (accelmon.check_ID) {
	case LIS3LV02DQ_ID:
		writel(SPPRE_LIS3LV02DQ, accelmon.baseaddr_spi + S3C2410_SPPRE);
		mdelay(1);
		spi_send(LIS_CTRL_REG1, LIS_CTRL_REG1_ON);
		break;
	case ADXL345_ID:
		spi_send(ADXL_ACT_INACT_CTL, 0x70);
		spi_send(ADXL_BW_RATE, 0x0A);
		spi_send(ADXL_POWER_CTL, 0x00);
		spi_send(ADXL_INT_ENABLE, 0x80);
		spi_send(ADXL_DATA_FORMAT,
			 0x0C); /* full res, left-justified, 2 g */
		spi_send(ADXL_POWER_CTL, ADXL_MEASURE);
		break;
	default:
		printk("Gsensor not found..!!!!!\n");
		break;
	}
}

static void gsensor_power_down(void)
{
	switch (accelmon.check_ID) {
	case LIS3LV02DQ_ID:
		spi_send(LIS_CTRL_REG1, 0x00);
		break;
	case ADXL345_ID:
		spi_send(ADXL_POWER_CTL, 0x00);
		break;
	default:
		break;
	}
}

/* One axis: high byte, then low byte (unsigned), as a 16-bit word. */
static short gsensor_axis(unsigned char low_register)
{
	int high = spi_recv(SPI_READ | (low_register + 1));
	int low = spi_recv(SPI_READ | low_register);

	return (short)((high << 8) | low);
}

static void gsensor_read_axes(void)
{
	int i;

	switch (accelmon.check_ID) {
	case LIS3LV02DQ_ID:
		for (i = 0; i < 3; i++)
			accelmon._XYZ[i] = gsensor_axis(LIS_OUTX_L + 2 * i);
		if (accelmon.sub_ver == 1) {
			/* the 3.5 sub-board carries the chip turned a quarter
			 */
			accelmon.XYZ[0] = accelmon._XYZ[1];
			accelmon.XYZ[1] = (short)-accelmon._XYZ[0];
		} else {
			accelmon.XYZ[0] = accelmon._XYZ[0];
			accelmon.XYZ[1] = accelmon._XYZ[1];
		}
		accelmon.XYZ[2] = accelmon._XYZ[2];
		break;
	case ADXL345_ID:
		/* left-justified 10 bits, 256 per g: bring to 1024 per g */
		for (i = 0; i < 3; i++) {
			accelmon._XYZ[i] = gsensor_axis(ADXL_DATAX0 + 2 * i);
			accelmon.XYZ[i] = (short)((accelmon._XYZ[i] >> 6) * 4);
		}
		break;
	default:
		break;
	}
}

/* ---- ADC ------------------------------------------------------------- */

static int init_adc(void)
{
	struct clk *clk = clk_get(NULL, "pclk");

	if (IS_ERR(clk)) {
		/* the slowest conversion clock is within the converter's
		 * limit whatever the bus clock is */
		accelmon.prescaler = ADC_PRESCALER_SLOWEST;
		printk(KERN_WARNING "accelmon: no pclk, ADC prescaler %lu\n",
		       accelmon.prescaler);
		return 1;
	}
	accelmon.prescaler = clk_get_rate(clk) / ADC_CLOCK_HZ - 1;
	clk_put(clk);
	return 1;
}

static void delay_set(void)
{
	accelmon.delay_time =
		readl(accelmon.baseaddr_adc + S3C2410_ADCDLY) | ADC_START_DELAY;
	writel(accelmon.delay_time, accelmon.baseaddr_adc + S3C2410_ADCDLY);
}

/*
 * Starts a conversion of AIN0 and, at once, takes the level of the one
 * before it from ADCDAT0: every read is one conversion behind.
 */
static int adc_level(void)
{
	unsigned long flags;
	u32 data;

	local_irq_save(flags);
	writel(S3C2410_ADCCON_PRSCEN |
		       S3C2410_ADCCON_PRSCVL(accelmon.prescaler) |
		       S3C2410_ADCCON_SELMUX(0) | S3C2410_ADCCON_ENABLE_START,
	       accelmon.baseaddr_adc + S3C2410_ADCCON);
	data = readl(accelmon.baseaddr_adc + S3C2410_ADCDAT0);
	local_irq_restore(flags);
	return (data & S3C2410_ADCDAT0_XPDATA_MASK) >> ADC_LEVEL_SHIFT;
}

/* From the tick: V is the level when it changed, else "unchanged". */
static void read_adc(void)
{
	int level = adc_level();

	if (level > VOLUME_RECORD_MAX)
		level = VOLUME_RECORD_MAX;
	accelmon.volume.lavel = level;
	if (level != accelmon.volume.reserved) {
		accelmon.volume.reserved = level;
		accelmon.XYZ[3] = level;
	} else {
		accelmon.XYZ[3] = XYZ_V_UNCHANGED;
	}
}

/* On demand: the level 0..63; leaves the last reported level alone. */
static int return_adc(void)
{
	int level = adc_level();

	accelmon.volume.lavel = level;
	return level;
}

/* ---- Sampling tick, inputs ------------------------------------------- */

static unsigned long sampling_period(void)
{
	return HZ / frame;
}

static void timer_handler(unsigned long data)
{
	memset(accelmon._XYZ, 0, sizeof(accelmon._XYZ));
	accelmon.XYZ[0] = accelmon.XYZ[1] = accelmon.XYZ[2] = 0;
	if (accelmon.timer_flag == 1) {
		gsensor_read_axes();
		read_adc();
		if (accelmon.g_bInt >= EVENT_EMERGENCY &&
		    accelmon.g_bInt <= EVENT_PWR_DETECT) {
			static const short marker_z[] = {
				[EVENT_EMERGENCY] = XYZ_Z_EMERGENCY,
				[EVENT_ALARM] = XYZ_Z_ALARM,
				[EVENT_PWR_DETECT] = XYZ_Z_POWER,
			};
			accelmon.XYZ[0] = XYZ_MARKER;
			accelmon.XYZ[1] = XYZ_MARKER;
			accelmon.XYZ[2] = marker_z[accelmon.g_bInt];
			accelmon.g_bInt = EVENT_NONE;
		}
		kill_fasync(&accelmon.g_asqueue, SIGIO, POLL_IN);
	}
	mod_timer(&accelmon.timer_task, jiffies + sampling_period());
}

/* The three inputs (2.6.20 handlers take no pt_regs). */
static irqreturn_t irq_func(int irq, void *dev_id)
{
	switch (irq) {
	case IRQ_EMERGENCY:
		accelmon.g_bInt = EVENT_EMERGENCY;
		break;
	case IRQ_ALARM:
		accelmon.g_bInt = EVENT_ALARM;
		break;
	case IRQ_PWR_DETECT:
		if (s3c2410_gpio_getpin(PWR_DETECT_PIN)) {
			accelmon.detect_flag = 0;
		} else {
			accelmon.detect_flag = 1;
			mod_timer(&accelmon.timer_detect,
				  jiffies + DETECT_PERIOD);
		}
		break;
	default:
		break;
	}
	return IRQ_HANDLED;
}

/*
 * Power-detect debounce: the line must still be low at the checks 200 ms
 * and 400 ms after its falling edge; from then on every check that finds it
 * low raises the event again.
 */
static void detect_handler(unsigned long data)
{
	int low = !s3c2410_gpio_getpin(PWR_DETECT_PIN);

	if (accelmon.detect_flag >= 2 && low)
		accelmon.g_bInt = EVENT_PWR_DETECT;
	else if (!low)
		accelmon.detect_flag = 0;
	if (accelmon.detect_flag != 0) {
		accelmon.detect_flag++;
		mod_timer(&accelmon.timer_detect, jiffies + DETECT_PERIOD);
	}
}

static void pwr_detect_request_irq(void)
{
	if (request_irq(IRQ_PWR_DETECT, irq_func, IRQF_DISABLED, ACCELMON_NAME,
			NULL) == 0)
		accelmon.irqs_held |= HELD_PWR_DETECT;
}

/* The power-detect line back to its input and interrupt function. */
static void pwr_detect_release_line(void)
{
	s3c2410_gpio_setpin(PWR_DETECT_PIN, 1);
	printk("GPG1-%d...\n", (int)s3c2410_gpio_getpin(PWR_DETECT_PIN));
	udelay(10);
	s3c2410_gpio_cfgpin(PWR_DETECT_PIN, S3C2410_GPG1_EINT9);
}

/* Power-detect pulse: one step a second, the line released after three. */
static void detect_handler1(unsigned long data)
{
	printk("timer Cnt %d..\n", accelmon.detect_flag1);
	if (accelmon.detect_flag1 > 2) {
		accelmon.detect_flag1 = 0;
		pwr_detect_release_line();
		pwr_detect_request_irq();
	} else if (accelmon.detect_flag1 != 0) {
		accelmon.detect_flag1++;
		mod_timer(&accelmon.timer_detect1, jiffies + PULSE_PERIOD);
	}
}

static void pwr_detect_pulse(void)
{
	if (accelmon.irqs_held & HELD_PWR_DETECT) {
		free_irq(IRQ_PWR_DETECT, NULL);
		accelmon.irqs_held &= ~HELD_PWR_DETECT;
	}
	udelay(2);
	s3c2410_gpio_cfgpin(PWR_DETECT_PIN, S3C2410_GPG1_OUTP);
	udelay(10);
	s3c2410_gpio_setpin(PWR_DETECT_PIN, 0);
	printk("GPG1-%d...\n", (int)s3c2410_gpio_getpin(PWR_DETECT_PIN));
	accelmon.detect_flag1 = 1;
	del_timer(&accelmon.timer_detect1);
	accelmon.timer_detect1.function = detect_handler1;
	accelmon.timer_detect1.expires = jiffies + PULSE_PERIOD;
	add_timer(&accelmon.timer_detect1);
}

/* ---- File operations ------------------------------------------------- */

static int accelmon_fasync(int fd, struct file *filp, int on)
{
	return fasync_helper(fd, filp, on, &accelmon.g_asqueue);
}

static int accelmon_open(struct inode *inode, struct file *filp)
{
	unsigned long flags;

	local_irq_save(flags);
	if (accelmon.accelmon_usage) {
		local_irq_restore(flags);
		return -EBUSY;
	}
	accelmon.accelmon_usage = 1;
	local_irq_restore(flags);

	accelmon.spi_timeout_reported = 0;
	spi_setup();
	gsensor_identify();
	gsensor_setup();
	return 0;
}

static int accelmon_release(struct inode *inode, struct file *filp)
{
	gsensor_power_down();
	accelmon_fasync(-1, filp, 0);
	del_timer(&accelmon.timer_task);
	del_timer(&accelmon.timer_detect);
	accelmon.accelmon_usage = 0;
	return 0;
}

/*
 * Copies the current record. A caller's count below the record's size gets
 * that many bytes, never more. The result is 0, as the recorder expects.
 */
static ssize_t accelmon_read(struct file *filp, char __user *buf, size_t count,
			     loff_t *offp)
{
	short record[4];
	size_t len = count < sizeof(record) ? count : sizeof(record);
	unsigned long flags;

	BUILD_BUG_ON(sizeof(record) != XYZ_RECORD_SIZE ||
		     sizeof(record) != sizeof(accelmon.XYZ));
	local_irq_save(flags);
	memcpy(record, accelmon.XYZ, sizeof(record));
	local_irq_restore(flags);

	/* a bad buffer is skipped silently: the result is 0 all the same */
	if (len && access_ok(VERIFY_WRITE, buf, len))
		(void)copy_to_user(buf, record, len);
	return 0;
}

static ssize_t accelmon_write(struct file *filp, const char __user *buf,
			      size_t count, loff_t *offp)
{
	return 0;
}

static int accelmon_ioctl(struct inode *inode, struct file *filp,
			  unsigned int cmd, unsigned long uarg)
{
	unsigned long flags;
	int level;

	if (_IOC_TYPE(cmd) != GSENSOR_IOC_MAGIC)
		return -ENOTTY;
	if (_IOC_NR(cmd) > GSENSOR_IOC_MAXNR)
		return -ENOTTY;

	switch (cmd) {
	case GSENSOR_IOC_START:
		local_irq_save(flags);
		accelmon.g_bInt = EVENT_NONE;
		accelmon.timer_flag = 1;
		mod_timer(&accelmon.timer_task, jiffies + sampling_period());
		local_irq_restore(flags);
		break;
	case GSENSOR_IOC_STOP:
		local_irq_save(flags);
		accelmon.timer_flag = 0;
		local_irq_restore(flags);
		break;
	case GSENSOR_IOC_GET_VOLUME:
		return_adc();
		mdelay(1);
		level = return_adc();
		/* a bad pointer is skipped silently */
		if (access_ok(VERIFY_WRITE, (void __user *)uarg, sizeof(level)))
			(void)copy_to_user((void __user *)uarg, &level,
					   sizeof(level));
		break;
	case GSENSOR_IOC_SUB35:
		local_irq_save(flags);
		accelmon.sub_ver = 1;
		local_irq_restore(flags);
		break;
	case GSENSOR_IOC_PWR_DETECT:
		pwr_detect_pulse();
		break;
	default:
		break;
	}
	return 0;
}

static struct file_operations accelmon_fops = {
	.owner = THIS_MODULE,
	.read = accelmon_read,
	.write = accelmon_write,
	.ioctl = accelmon_ioctl,
	.open = accelmon_open,
	.release = accelmon_release,
	.fasync = accelmon_fasync,
};

/* ---- Load and unload ------------------------------------------------- */

static void accelmon_pins_setup(void)
{
	s3c2410_gpio_cfgpin(S3C2410_GPE11, S3C2410_GPE11_SPIMISO0);
	s3c2410_gpio_cfgpin(S3C2410_GPE12, S3C2410_GPE12_SPIMOSI0);
	s3c2410_gpio_cfgpin(S3C2410_GPE13, S3C2410_GPE13_SPICLK0);
	/* chip select: high before it becomes an output, and after */
	s3c2410_gpio_setpin(SPI_CS_PIN, 1);
	s3c2410_gpio_cfgpin(SPI_CS_PIN, S3C2410_GPG2_OUTP);
	s3c2410_gpio_setpin(SPI_CS_PIN, 1);
}

static void accelmon_timers_start(void)
{
	init_timer(&accelmon.timer_task);
	accelmon.timer_task.function = timer_handler;
	accelmon.timer_task.expires = jiffies + sampling_period();
	add_timer(&accelmon.timer_task);

	init_timer(&accelmon.timer_detect);
	accelmon.timer_detect.function = detect_handler;
	accelmon.timer_detect.expires = jiffies + DETECT_PERIOD;
	add_timer(&accelmon.timer_detect);

	init_timer(&accelmon.timer_detect1);
	accelmon.timer_detect1.function = detect_handler1;
}

static void accelmon_irqs_request(void)
{
	/* an input whose interrupt cannot be had raises no events */
	accelmon.irqs_held = 0;
	if (request_irq(IRQ_EMERGENCY, irq_func, IRQF_DISABLED, ACCELMON_NAME,
			NULL) == 0)
		accelmon.irqs_held |= HELD_EMERGENCY;
	if (request_irq(IRQ_ALARM, irq_func, IRQF_DISABLED, ACCELMON_NAME,
			NULL) == 0)
		accelmon.irqs_held |= HELD_ALARM;
	pwr_detect_request_irq();
	set_irq_type(IRQ_EMERGENCY, IRQT_FALLING);
	set_irq_type(IRQ_ALARM, IRQT_FALLING);
	set_irq_type(IRQ_PWR_DETECT, IRQT_FALLING);
}

static void accelmon_irqs_free(void)
{
	if (accelmon.irqs_held & HELD_EMERGENCY)
		free_irq(IRQ_EMERGENCY, NULL);
	if (accelmon.irqs_held & HELD_ALARM)
		free_irq(IRQ_ALARM, NULL);
	if (accelmon.irqs_held & HELD_PWR_DETECT)
		free_irq(IRQ_PWR_DETECT, NULL);
	accelmon.irqs_held = 0;
}

static int __init accelmon_init_module(void)
{
	int ret;

	if (frame < 1 || frame > HZ) {
		printk(KERN_ERR "accelmon: frame %d is not within 1..%d\n",
		       frame, HZ);
		return -EINVAL;
	}

	ret = register_chrdev(ACCELMON_MAJOR, ACCELMON_NAME, &accelmon_fops);
	if (ret < 0)
		return ret;

	if (!__request_region(&iomem_resource, S3C2410_PA_SPI,
			      ACCELMON_REGION_SIZE, ACCELMON_REGION_NAME)) {
		ret = -ENODEV;
		goto out_chrdev;
	}
	accelmon.baseaddr_spi =
		__ioremap(S3C2410_PA_SPI, ACCELMON_REGION_SIZE, 0);
	if (!accelmon.baseaddr_spi) {
		ret = -ENODEV;
		goto out_spi_region;
	}
	if (!__request_region(&iomem_resource, S3C2410_PA_ADC,
			      ACCELMON_REGION_SIZE, ACCELMON_REGION_NAME)) {
		ret = -ENODEV;
		goto out_spi_map;
	}
	accelmon.baseaddr_adc =
		__ioremap(S3C2410_PA_ADC, ACCELMON_REGION_SIZE, 0);
	if (!accelmon.baseaddr_adc) {
		ret = -ENOMEM;
		goto out_adc_region;
	}

	accelmon_pins_setup();
	init_adc();
	delay_set();
	accelmon.volume.reserved = VOLUME_UNREPORTED;
	accelmon_timers_start();
	accelmon_irqs_request();

	printk("Gsensor module init. Ver_3.5K \n");
	return 0;

out_adc_region:
	__release_region(&iomem_resource, S3C2410_PA_ADC, ACCELMON_REGION_SIZE);
out_spi_map:
	__iounmap(accelmon.baseaddr_spi);
	accelmon.baseaddr_spi = NULL;
out_spi_region:
	__release_region(&iomem_resource, S3C2410_PA_SPI, ACCELMON_REGION_SIZE);
out_chrdev:
	unregister_chrdev(ACCELMON_MAJOR, ACCELMON_NAME);
	return ret;
}

static void __exit accelmon_cleanup_module(void)
{
	/* The pulse timer requests an interrupt and the power-detect
	 * interrupt arms a timer: stop the first, then give back the
	 * interrupts, then stop the others, so that nothing is left armed. */
	del_timer_sync(&accelmon.timer_detect1);
	if (accelmon.detect_flag1 != 0) {
		accelmon.detect_flag1 = 0;
		pwr_detect_release_line();
	}
	accelmon_irqs_free();
	del_timer_sync(&accelmon.timer_task);
	del_timer_sync(&accelmon.timer_detect);

	__iounmap(accelmon.baseaddr_spi);
	__release_region(&iomem_resource, S3C2410_PA_SPI, ACCELMON_REGION_SIZE);
	__iounmap(accelmon.baseaddr_adc);
	__release_region(&iomem_resource, S3C2410_PA_ADC, ACCELMON_REGION_SIZE);
	unregister_chrdev(ACCELMON_MAJOR, ACCELMON_NAME);
}

module_init(accelmon_init_module);
module_exit(accelmon_cleanup_module);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Accelerometer, volume knob and input lines");
