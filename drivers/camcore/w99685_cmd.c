/*
 * w99685_cmd.c - the W99685 command protocol: host register window, command
 * frames, 512-byte block transfers, program download, internal registers,
 * host-interface self-tests; the capture, encoder, sensor-bus and LCD
 * operations of the coprocessor program; the LCD bypass.
 *
 * Callers serialise the frames of one device (the record's sema): a frame is
 * a sequence of register writes that must not interleave with another.
 */
#include <linux/module.h>
#include <linux/moduleparam.h>
#include <linux/kernel.h>
#include <linux/errno.h>
#include <linux/delay.h>
#include <linux/jiffies.h>
#include <linux/sched.h>
#include <linux/string.h>
#include <asm/io.h>

#include "w99685.h"

/* Repetitions of the host-interface self-tests (request 1, sub-codes 4, 5). */
static int selftest_rounds = 1000;
module_param(selftest_rounds, int, 0);
MODULE_PARM_DESC(selftest_rounds, "repetitions of the coprocessor self-tests");

/* Poll bounds, in 2 us waits. */
#define CMD_BUSY_POLLS 1000001 /* about 2 s */
#define READY_POLLS 999999     /* about 2 s */
#define READY3_READS 1000000
#define BLOCK_POLLS 17999999   /* about 36 s */
#define SELFTEST_POLLS 1000000 /* about 2 s */

/* The program must be running this long after the download's fixed wait. */
#define START_POLLS 200 /* 5 ms apart: about 1 s */

/* ---- Register window --------------------------------------------------- */

void w99685_reg_write(W99685_DEV *pDev, int addr, unsigned char data)
{
	writeb(data, pDev->reg_base + addr);
}

unsigned char w99685_reg_read(W99685_DEV *pDev, int addr)
{
	return readb(pDev->reg_base + addr);
}

static unsigned char w99685_status(W99685_DEV *pDev)
{
	return w99685_reg_read(pDev, REG_CMD);
}

static int data_ready(unsigned char status)
{
	return (status & STATUS_DATA_MASK) == STATUS_DATA;
}

/*
 * A wait of `polls` 2 us steps lasts about polls * 2 us while a register read
 * costs next to nothing. It also ends once that much time has passed, so that
 * a slow bus cannot stretch it many times over.
 */
static unsigned long poll_deadline(unsigned long polls)
{
	return jiffies + usecs_to_jiffies(polls * 2) + 1;
}

static int poll_over(unsigned long done, unsigned long polls,
		     unsigned long deadline)
{
	return done >= polls || time_after(jiffies, deadline);
}

/* Waits until the status shows `want` under `mask`; -1 after `polls`. */
static int wait_status(W99685_DEV *pDev, unsigned char mask, unsigned char want,
		       unsigned long polls)
{
	unsigned long deadline = poll_deadline(polls);
	unsigned long i;

	for (i = 0;; i++) {
		if ((w99685_status(pDev) & mask) == want)
			return 0;
		if (poll_over(i, polls, deadline))
			return -1;
		udelay(2);
	}
}

static void write_frame(unsigned char cmd, unsigned char subcmd,
			const cmdparam_struct *param, W99685_DEV *pDev)
{
	w99685_reg_write(pDev, REG_P0, param->reg2);
	w99685_reg_write(pDev, REG_P1, param->reg3);
	w99685_reg_write(pDev, REG_P2, param->reg4);
	w99685_reg_write(pDev, REG_P3, param->reg5);
	w99685_reg_write(pDev, REG_SUBCMD, subcmd);
	w99685_reg_write(pDev, REG_CMD, cmd);
}

static void read_reply(cmdparam_struct *reply, W99685_DEV *pDev)
{
	reply->reg2 = w99685_reg_read(pDev, REG_P0);
	reply->reg3 = w99685_reg_read(pDev, REG_P1);
	reply->reg4 = w99685_reg_read(pDev, REG_P2);
	reply->reg5 = w99685_reg_read(pDev, REG_P3);
}

/* ---- Command frames ---------------------------------------------------- */

int ReadyTimeOut(W99685_DEV *pDev)
{
	unsigned long deadline = poll_deadline(READY_POLLS);
	unsigned long i;

	if (!(w99685_status(pDev) & STATUS_BUSY))
		return 0;
	for (i = 0; !poll_over(i, READY_POLLS, deadline); i++) {
		udelay(2);
		if (!(w99685_status(pDev) & STATUS_BUSY))
			return 0;
	}
	return (w99685_status(pDev) & STATUS_BUSY) ? 1 : 0;
}

int ReadyTimeOut3(W99685_DEV *pDev)
{
	int i;

	for (i = 0; i < READY3_READS; i++) {
		if (!data_ready(w99685_status(pDev)))
			return 0;
	}
	return 1;
}

int SendCMDType1(unsigned char cmd, unsigned char subcmd,
		 cmdparam_struct *param, W99685_DEV *pDev)
{
	unsigned long deadline = poll_deadline(CMD_BUSY_POLLS);
	unsigned long waits = 0;

	while (!TEST_FAULT(FAULT_TYPE1_NO_WAIT) &&
	       (w99685_status(pDev) & STATUS_BUSY)) {
		if (poll_over(waits++, CMD_BUSY_POLLS, deadline))
			return -1;
		udelay(2);
	}
	write_frame(cmd, subcmd, param, pDev);
	return 0;
}

int SendCMDType2(unsigned char cmd, unsigned char subcmd,
		 cmdparam_struct *param, cmdparam_struct *retval,
		 W99685_DEV *pDev)
{
	if (ReadyTimeOut(pDev)) {
		printk(KERN_ERR "%s: time out - before write \n",
		       "SendCMDType2");
		return -1;
	}
	write_frame(cmd, subcmd, param, pDev);
	if (!TEST_FAULT(FAULT_REPLY_NO_WAIT) && ReadyTimeOut(pDev)) {
		printk(KERN_ERR "%s: time out - after write\n", "SendCMDType2");
		return -1;
	}
	read_reply(retval, pDev);
	return 0;
}

int SendCMDType3(unsigned char cmd, unsigned char subcmd,
		 cmdparam_struct *param, unsigned int *size, W99685_DEV *pDev)
{
	cmdparam_struct reply;

	if (ReadyTimeOut(pDev)) {
		printk(KERN_ERR "%s: time out - before write\n",
		       "SendCMDType3");
		return -1;
	}
	write_frame(cmd, subcmd, param, pDev);
	if (!TEST_FAULT(FAULT_REPLY_NO_WAIT) && ReadyTimeOut(pDev)) {
		printk(KERN_ERR "%s: time out - after write\n", "SendCMDType3");
		return -1;
	}
	read_reply(&reply, pDev);
	*size = reply.reg2 | (reply.reg3 << 8) | (reply.reg4 << 16) |
		((unsigned int)reply.reg5 << 24);
	return 0;
}

/* ---- Block transfers --------------------------------------------------- */

int w99685_bf_read(unsigned char *buffer, int iLength, W99685_DEV *pDev)
{
	int blocks = (iLength + W99685_BLOCK - 1) / W99685_BLOCK;
	int stored = 0;
	int b, i;

	if (iLength <= 0)
		return 0;
	for (b = 0; b < blocks; b++) {
		if (wait_status(pDev,
				TEST_FAULT(FAULT_DATA_BIT3_ONLY)
					? STATUS_DATA
					: STATUS_DATA_MASK,
				STATUS_DATA, BLOCK_POLLS)) {
			printk(KERN_ERR "%s: Read timedout\n",
			       "w99685_bf_read");
			return -EIO;
		}
		for (i = 0; i < W99685_BLOCK; i++) {
			unsigned char c;

			if (TEST_FAULT(FAULT_LAST_BLOCK_SHORT) &&
			    stored == iLength)
				break;
			c = w99685_reg_read(pDev, REG_DATA);
			if (stored < iLength)
				buffer[stored++] = c;
		}
	}
	return stored;
}

int w99685_bf_write(const unsigned char *buff, int iLength, W99685_DEV *pDev)
{
	int blocks = (iLength + W99685_BLOCK - 1) / W99685_BLOCK;
	int sent = 0;
	int b, i, r;

	if (iLength <= 0)
		return 0;
	for (b = 0; b < blocks; b++) {
		if (b == 0)
			r = wait_status(pDev, STATUS_BUSY, 0, BLOCK_POLLS);
		else
			r = wait_status(pDev, STATUS_DATA_MASK, STATUS_DATA,
					BLOCK_POLLS);
		if (r) {
			printk(KERN_ERR "%s: Write timedout\n",
			       "w99685_bf_write");
			return -1;
		}
		for (i = 0; i < W99685_BLOCK; i++) {
			unsigned char c = 0;

			if (sent < iLength)
				c = buff[sent++];
			w99685_reg_write(pDev, REG_DATA, c);
		}
	}
	return sent;
}

/* ---- Program download -------------------------------------------------- */

static const unsigned char unlock_sequence[][2] = {
	{0x1E, 0xAA}, {0x1A, 0x55}, {0x18, 0x80}, {0x1C, 0xAA},
	{0x1E, 0x55}, {0x1C, 0x00}, {0x1A, 0x00}, {0x18, 0x00},
};

/*
 * Sends the program in 4-byte records and starts it. Returns 0 once the
 * program runs, -ETIMEDOUT when the chip never reports it running (a dead
 * chip or a program it refused).
 */
int DownloadFirmware(W99685_DEV *pDev)
{
	unsigned char status = 0;
	int i, pos;

	for (i = 0; i < ARRAY_SIZE(unlock_sequence); i++)
		w99685_reg_write(pDev, unlock_sequence[i][0],
				 unlock_sequence[i][1]);

	for (pos = 0; pos < W99685_FW_SIZE; pos += 4) {
		unsigned char rec[4] = {0, 0, 0, 0};

		for (i = 0; i < 4 && pos + i < W99685_FW_SIZE; i++)
			rec[i] = W99685fw[pos + i];
		w99685_reg_write(pDev, 0x16, rec[0]);
		w99685_reg_write(pDev, 0x14, rec[1]);
		w99685_reg_write(pDev, 0x12, rec[2]);
		w99685_reg_write(pDev, 0x10, rec[3]);
		w99685_reg_write(pDev, 0x1E, 0x00);
	}

	w99685_reg_write(pDev, 0x1C, 0xFF);
	w99685_reg_write(pDev, 0x1A, 0xFF);
	w99685_reg_write(pDev, 0x18, 0xFF);
	w99685_reg_write(pDev, 0x1E, 0x00);

	for (i = 0; i < 15; i++)
		delay_20ms();

	for (i = 0; i < START_POLLS; i++) {
		status = w99685_reg_read(pDev, 0x1E);
		if (status == STATUS_RUNNING)
			break;
		msleep(5);
	}
	if (status != STATUS_RUNNING) {
		printk(KERN_ERR
		       "%s: coprocessor program not running (status %02x), "
		       "device disabled\n",
		       "DownloadFirmware", status);
		return -ETIMEDOUT;
	}
	printk(KERN_INFO "Firmware download success. \n ");
	return 0;
}

int GetFirmwareVersion(unsigned char *major, unsigned char *minor,
		       W99685_DEV *pDev)
{
	cmdparam_struct param = {0, 0, 0, 0};
	cmdparam_struct reply;

	if (SendCMDType2(CMD_CAMERA, SUB_FIRMWARE_VERSION, &param, &reply,
			 pDev))
		return -1;
	*major = reply.reg5;
	*minor = reply.reg4;
	return 0;
}

/* ---- Internal registers ------------------------------------------------ */

int SetSpecialRegister(unsigned char highByte, unsigned char lowByte,
		       unsigned char value, W99685_DEV *pDev)
{
	cmdparam_struct param = {lowByte, highByte, value, 1};

	return SendCMDType1(CMD_INTERNAL, SUB_INTERNAL_BYTE, &param, pDev);
}

int GetSpecialRegister(unsigned char *val, unsigned char highByte,
		       unsigned char lowByte, W99685_DEV *pDev)
{
	cmdparam_struct param = {lowByte, highByte, 0, 0};
	cmdparam_struct reply;

	if (SendCMDType2(CMD_INTERNAL, SUB_INTERNAL_BYTE, &param, &reply, pDev))
		return -1;
	*val = reply.reg4;
	return 0;
}

/* ---- Host-interface self-tests ----------------------------------------- */

/*
 * Both tests run `selftest_rounds` repetitions (1000 by default). Every wait
 * is bounded, and a signal to the calling process ends a test early: a dead
 * chip or an impatient operator never holds the device for ever.
 */
static int selftest_abort(const char *name, const char *why)
{
	printk(KERN_ERR "%s: %s, test stopped\r\n", name, why);
	return -1;
}

static void selftest_progress(const char *name, int p)
{
	int phase = p & 15;

	if (phase < 3)
		printk(KERN_INFO "%s: Testing.... \r", name);
	else if (phase < 6)
		printk(KERN_INFO "%s: Testing........\r", name);
	else if (phase < 9)
		printk(KERN_INFO "%s: Testing............ \r", name);
	else if (phase < 11)
		printk(KERN_INFO "%s: Testing........     \r", name);
	else if (phase < 15)
		printk(KERN_INFO "%s: Testing....         \r", name);
}

static int wait_idle_program(W99685_DEV *pDev)
{
	return wait_status(pDev, 0xFF, STATUS_RUNNING, SELFTEST_POLLS);
}

int Test_W99685CMD_MassDataCMD(W99685_DEV *pDev)
{
	static const char name[] = "Test_W99685CMD_MassDataCMD";
	int pass = 0, error = 0;
	int rep, p, i;

	printk(KERN_INFO "%s: Test CMD Port Mass Data Transfer Start!\r\n",
	       name);
	for (rep = 0; rep < selftest_rounds; rep++) {
		for (p = 0; p < 256; p++) {
			if (signal_pending(current))
				return selftest_abort(name, "interrupted");
			for (i = 0; i < 256; i++) {
				if (wait_idle_program(pDev))
					return selftest_abort(name, "time out");
				w99685_reg_write(pDev, REG_P0, i);
				w99685_reg_write(pDev, REG_P1, 0xA0);
				w99685_reg_write(pDev, REG_P2, i);
				w99685_reg_write(pDev, REG_P3, 1);
				w99685_reg_write(pDev, REG_SUBCMD, 1);
				w99685_reg_write(pDev, REG_CMD, CMD_INTERNAL);
			}
			if (wait_idle_program(pDev))
				return selftest_abort(name, "time out");
			for (i = 0; i < 256; i++) {
				w99685_reg_write(pDev, REG_P0, i);
				w99685_reg_write(pDev, REG_P1, 0xA0);
				w99685_reg_write(pDev, REG_P3, 0);
				w99685_reg_write(pDev, REG_SUBCMD, 1);
				w99685_reg_write(pDev, REG_CMD, CMD_INTERNAL);
				if (wait_idle_program(pDev))
					return selftest_abort(name, "time out");
				if (w99685_reg_read(pDev, REG_P2) == i)
					pass++;
				else
					error++;
			}
			selftest_progress(name, p);
		}
		printk(KERN_INFO "%s: Pass=%d                         \r\n",
		       name, pass);
		printk(KERN_INFO "%s: Error=%d\r\n", name, error);
	}
	return error ? -1 : 0;
}

/* Block-move frame of the data-port test: 100 blocks at internal 0x0A0000. */
static int selftest_dma_frame(unsigned char subcmd, W99685_DEV *pDev)
{
	if (ReadyTimeOut(pDev))
		return -1;
	w99685_reg_write(pDev, REG_SUBCMD, subcmd);
	w99685_reg_write(pDev, REG_P3, 10);
	w99685_reg_write(pDev, REG_P2, 0);
	w99685_reg_write(pDev, REG_P1, 0);
	w99685_reg_write(pDev, REG_P0, 100);
	w99685_reg_write(pDev, REG_CMD, CMD_INTERNAL);
	return 0;
}

static int wait_data(W99685_DEV *pDev)
{
	return wait_status(pDev, STATUS_DATA_MASK, STATUS_DATA, SELFTEST_POLLS);
}

int Test_W99685CMD_MassDataDMA(W99685_DEV *pDev)
{
	static const char name[] = "Test_W99685CMD_MassDataDMA";
	int pass = 0, error = 0;
	int rep, b, i;

	printk(KERN_INFO "%s: Test IO Port through DMA mode!\r\n", name);
	for (rep = 0; rep < selftest_rounds; rep++) {
		if (signal_pending(current))
			return selftest_abort(name, "interrupted");
		if (selftest_dma_frame(SUB_INTERNAL_WRITE_BLOCKS, pDev))
			return selftest_abort(name, "time out");
		for (b = 0; b < 100; b++) {
			if (wait_data(pDev))
				return selftest_abort(name, "time out");
			for (i = 0; i < W99685_BLOCK; i++)
				w99685_reg_write(pDev, REG_DATA, i & 0xFF);
		}
		if (selftest_dma_frame(SUB_INTERNAL_READ_BLOCKS, pDev))
			return selftest_abort(name, "time out");
		for (b = 0; b < 100; b++) {
			if (wait_data(pDev))
				return selftest_abort(name, "time out");
			for (i = 0; i < W99685_BLOCK; i++) {
				if (w99685_reg_read(pDev, REG_DATA) ==
				    (i & 0xFF))
					pass++;
				else
					error++;
			}
		}
		printk(KERN_INFO "%s: Pass=%d                     \r\n", name,
		       pass);
		printk(KERN_INFO "%s: Error=%d                    \r\n", name,
		       error);
	}
	return error ? -1 : 0;
}

/* ---- Operations of the coprocessor program ----------------------------- */

static int type1(unsigned char subcmd, unsigned char p0, unsigned char p1,
		 unsigned char p2, unsigned char p3, W99685_DEV *pDev)
{
	cmdparam_struct param = {p0, p1, p2, p3};

	return SendCMDType1(CMD_CAMERA, subcmd, &param, pDev);
}

static int type2(unsigned char subcmd, unsigned char p0, unsigned char p1,
		 unsigned char p2, unsigned char p3, cmdparam_struct *reply,
		 W99685_DEV *pDev)
{
	cmdparam_struct param = {p0, p1, p2, p3};

	return SendCMDType2(CMD_CAMERA, subcmd, &param, reply, pDev);
}

#define LO(v) ((unsigned char)((v)&0xFF))
#define HI(v) ((unsigned char)(((v) >> 8) & 0xFF))

int SetJPEGFormat(unsigned char format, W99685_DEV *pDev)
{
	return type1(SUB_JPEG_FORMAT, 0, 0, 0, format, pDev);
}

int SetImageFormat(unsigned char format, W99685_DEV *pDev)
{
	return type1(SUB_SET_IMAGE_FORMAT, 0, 0, 0, format, pDev);
}

int GetImageFormat(unsigned char *format, W99685_DEV *pDev)
{
	cmdparam_struct reply;

	if (type2(SUB_GET_IMAGE_FORMAT, 0, 0, 0, 0, &reply, pDev))
		return -1;
	*format = reply.reg5;
	printk(KERN_INFO "%s: format %x\n", "GetImageFormat", *format);
	return 0;
}

int iic_write(unsigned char cAddr, unsigned char subaddr, unsigned char wdata,
	      W99685_DEV *pDev)
{
	return type1(SUB_IIC_WRITE, 0, wdata, subaddr, cAddr, pDev);
}

int iic_write16bit(unsigned char cAddr, unsigned char subaddr,
		   unsigned short wdata, W99685_DEV *pDev)
{
	printk(KERN_INFO "write IIC 16bit %x,%x\n", subaddr, wdata);
	return type1(SUB_IIC_WRITE, LO(wdata), HI(wdata), subaddr, cAddr, pDev);
}

int iic_read(unsigned char cAddr, unsigned char subaddr, unsigned char *rdata,
	     W99685_DEV *pDev)
{
	cmdparam_struct reply;

	if (type2(SUB_IIC_READ, 0, 0, subaddr, cAddr, &reply, pDev))
		return -1;
	*rdata = reply.reg3;
	return 0;
}

int iic_read16bit(unsigned char cAddr, unsigned char subaddr,
		  unsigned short *rdata, W99685_DEV *pDev)
{
	cmdparam_struct reply;

	if (type2(SUB_IIC_READ, 0, 0, subaddr, cAddr, &reply, pDev))
		return -1;
	*rdata = reply.reg2 | (reply.reg3 << 8);
	return 0;
}

int SetQPValue(unsigned char index, W99685_DEV *pDev)
{
	return type1(SUB_QP_VALUE, 0, 0, 0, index, pDev);
}

int SetOpMode(unsigned char opMode, unsigned char format, unsigned char onoff,
	      W99685_DEV *pDev)
{
	return type1(SUB_OP_MODE, onoff, 0, format, opMode, pDev);
}

int SnapShot(unsigned short cnt, W99685_DEV *pDev)
{
	return type1(SUB_SNAPSHOT, 0, 0, LO(cnt), HI(cnt), pDev);
}

int FastSnapShot(unsigned short cnt, W99685_DEV *pDev)
{
	return type1(SUB_SNAPSHOT, 1, 0, LO(cnt), HI(cnt), pDev);
}

int SendJPEGBitstream(unsigned int len, W99685_DEV *pDev)
{
	return type1(SUB_JPEG_BITSTREAM, len & 0xFF, (len >> 8) & 0xFF,
		     (len >> 16) & 0xFF, (len >> 24) & 0xFF, pDev);
}

int DecodeJPEGBitstream(unsigned short index, unsigned char showLCD,
			unsigned char *format, unsigned char *error,
			W99685_DEV *pDev)
{
	cmdparam_struct reply;

	if (type2(SUB_JPEG_DECODE, showLCD, 0, LO(index), HI(index), &reply,
		  pDev))
		return -1;
	*format = reply.reg3;
	*error = reply.reg2;
	return 0;
}

int DecodedJPEGInformation(unsigned short *width, unsigned short *height,
			   W99685_DEV *pDev)
{
	cmdparam_struct reply;

	if (type2(SUB_JPEG_INFORMATION, 0, 0, 0, 0, &reply, pDev))
		return -1;
	*width = reply.reg4 | (reply.reg5 << 8);
	*height = reply.reg2 | (reply.reg3 << 8);
	return 0;
}

int SetDigitalZoom(unsigned short width, unsigned short hight, W99685_DEV *pDev)
{
	return type1(SUB_DIGITAL_ZOOM, LO(hight), HI(hight), LO(width),
		     HI(width), pDev);
}

int SetNumberofLCM(unsigned char num, unsigned char bus, unsigned char color,
		   W99685_DEV *pDev)
{
	return type1(SUB_LCM_NUMBER, 0, color, bus, num, pDev);
}

int SelectLCM(unsigned char num, W99685_DEV *pDev)
{
	return type1(SUB_LCM_SELECT, 0, 0, 0, num, pDev);
}

int SetLCMRes(unsigned short width, unsigned short height, W99685_DEV *pDev)
{
	return type1(SUB_LCM_RES, LO(height), HI(height), LO(width), HI(width),
		     pDev);
}

int SetLCMWndPos(unsigned short x, unsigned short y, W99685_DEV *pDev)
{
	return type1(SUB_LCM_WND_POS, LO(y), HI(y), LO(x), HI(x), pDev);
}

int SetLCMWndSize(unsigned short width, unsigned short height, W99685_DEV *pDev)
{
	return type1(SUB_LCM_WND_SIZE, LO(height), HI(height), LO(width),
		     HI(width), pDev);
}

int SetLCMControlMode(unsigned char mode, W99685_DEV *pDev)
{
	return type1(SUB_LCM_CONTROL_MODE, 0, 0, 0, mode, pDev);
}

int PreViewControl(unsigned char sw, W99685_DEV *pDev)
{
	return type1(SUB_PREVIEW_CONTROL, 0, 0, 0, sw, pDev);
}

int GetCaptureStatus(unsigned char *status, unsigned short *frameNum,
		     W99685_DEV *pDev)
{
	cmdparam_struct reply;

	if (type2(SUB_CAPTURE_STATUS, 0, 0, 0, 0, &reply, pDev))
		return -1;
	*status = reply.reg5;
	*frameNum = reply.reg2 | (reply.reg3 << 8);
	return 0;
}

int SetPort30(unsigned char ucLevel, W99685_DEV *pDev)
{
	return type1(SUB_PORT30, 0, 0, 0, ucLevel, pDev);
}

int SetPort31(unsigned char ucLevel, W99685_DEV *pDev)
{
	return type1(SUB_PORT31, 0, 0, 0, ucLevel, pDev);
}

int SetSensorSlaveAddress(unsigned char cAddr, unsigned char type,
			  W99685_DEV *pDev)
{
	return type1(SUB_SENSOR_ADDRESS, 0, 0, type, cAddr, pDev);
}

int SetSensorInputFormat(unsigned char format, W99685_DEV *pDev)
{
	return type1(SUB_SENSOR_FORMAT, 0, 0, 0, format, pDev);
}

/*
 * Fetches the frame the coprocessor holds into `buffer`, one half of the
 * frame area. A reported length that does not fit that half is not fetched:
 * the chip's word is not enough to write past the buffer.
 */
int SingleCapture(unsigned char *buffer, unsigned int *size, W99685_DEV *pDev)
{
	cmdparam_struct param = {0, 0, 0, 0};
	unsigned int length;
	int r;

	if (SendCMDType3(CMD_CAMERA, SUB_CAPTURE_LENGTH, &param, &length, pDev))
		return -1;
	*size = length;
	if (length > W99685_FRAME_SIZE) {
		printk(KERN_ERR
		       "%s: reported length %u exceeds the frame buffer, "
		       "not fetched\n",
		       "SingleCapture", length);
		return -EFBIG;
	}
	r = w99685_bf_read(buffer, length, pDev);
	if (r < 0) {
		printk(KERN_ERR "%s: jpeg read error ->  wait error\n",
		       "SingleCapture");
		return r;
	}
	return 0;
}

/* ---- LCD module -------------------------------------------------------- */

void LCDWriteCMDAddrWORD(unsigned short data, W99685_DEV *pDev)
{
	writew(data, pDev->reg_base + REG_LCD_ADDR);
}

void LCDWriteCMDRegWORD(unsigned short data, W99685_DEV *pDev)
{
	writew(data, pDev->reg_base + REG_LCD_DATA);
}

/* The LCD waits below run in process context only: they sleep. */
void delay_20ms(void)
{
	msleep(20);
}

static void lcd_set(unsigned short reg, unsigned short value, W99685_DEV *p)
{
	LCDWriteCMDAddrWORD(reg, p);
	LCDWriteCMDRegWORD(value, p);
}

static void lcd_table(const unsigned short (*table)[2], int n, W99685_DEV *p)
{
	int i;

	for (i = 0; i < n; i++)
		lcd_set(table[i][0], table[i][1], p);
}

static void PowerSettingFunction(W99685_DEV *p)
{
	lcd_set(0x07, 0x0104, p);
	LCDWriteCMDAddrWORD(0x0D, p);
	LCDWriteCMDAddrWORD(0x0E, p);
}

static const unsigned short initial_function1[][2] = {
	{0x01, 0x0113}, {0x02, 0x0700}, {0x05, 0x1230},
	{0x06, 0x0000}, {0x0B, 0x4008},
};

static void PowerSettingFunction2(W99685_DEV *p)
{
	lcd_set(0x0C, 0x0000, p);
	lcd_set(0x03, 0x0008, p);
	lcd_set(0x04, 0x0000, p);
	delay_20ms();
	delay_20ms();
	delay_20ms();
	delay_20ms();
	lcd_set(0x0E, 0x2D18, p);
	delay_20ms();
	lcd_set(0x0D, 0x0110, p);
}

static const unsigned short initial_function2[][2] = {
	{0x21, 0x0000}, {0x30, 0x0700}, {0x31, 0x0007}, {0x32, 0x0000},
	{0x33, 0x0100}, {0x34, 0x0707}, {0x35, 0x0007}, {0x36, 0x0700},
	{0x37, 0x0000}, {0x0F, 0x0000}, {0x11, 0x0000}, {0x14, 0x5C00},
	{0x15, 0xA05D}, {0x16, 0x7F00}, {0x17, 0xA000}, {0x3A, 0x1800},
	{0x3B, 0x0007},
};

static void DisplayOnFunction(W99685_DEV *p)
{
	lcd_set(0x07, 0x0105, p);
	delay_20ms();
	delay_20ms();
	delay_20ms();
	delay_20ms();
	lcd_set(0x07, 0x0125, p);
	lcd_set(0x07, 0x0127, p);
	delay_20ms();
	delay_20ms();
	delay_20ms();
	delay_20ms();
	lcd_set(0x07, 0x0137, p);
	lcd_set(0x21, 0x0000, p);
	LCDWriteCMDAddrWORD(0x22, p);
}

void LCM_Init(W99685_DEV *p)
{
	PowerSettingFunction(p);
	delay_20ms();
	delay_20ms();
	lcd_table(initial_function1, ARRAY_SIZE(initial_function1), p);
	PowerSettingFunction2(p);
	delay_20ms();
	delay_20ms();
	lcd_table(initial_function2, ARRAY_SIZE(initial_function2), p);
	delay_20ms();
	DisplayOnFunction(p);
}

void PreviewLCM(W99685_DEV *pDev)
{
	PreViewControl(0, pDev);
	SetOpMode(0, 2, 1, pDev);
	SetNumberofLCM(1, 0, 0, pDev);
	SelectLCM(1, pDev);
	SetLCMRes(128, 161, pDev);
	SetLCMWndPos(0, 0, pDev);
	SetLCMWndSize(128, 160, pDev);
	PreViewControl(1, pDev);
}

int RefreshLCDWin_Bypass(const unsigned char *pBuffer, int iBufferLen,
			 W99685_DEV *p)
{
	int i;

	if (pBuffer == NULL || iBufferLen < 0)
		return -1;
	for (i = 0; i + 1 < iBufferLen; i += 2)
		LCDWriteCMDRegWORD(pBuffer[i] | (pBuffer[i + 1] << 8), p);
	return 0;
}
