/*
 * w99685.h - camcore, the driver of the two W99685 camera/JPEG coprocessors.
 *
 * Shared by w99685_main.c (module, character device, board set-up),
 * w99685_cmd.c (command protocol, capture and LCD operations) and cmos.c
 * (bring-up and image sensors).
 */
#ifndef _W99685_H
#define _W99685_H

#include <linux/types.h>
#include <linux/spinlock.h>
#include <linux/wait.h>
#include <linux/interrupt.h>
#include <asm/semaphore.h>

#include "camcore.h"

/* The tests of the simulated board call into the module from C++. */
#ifdef __cplusplus
extern "C" {
#endif

/* ---- Character device -------------------------------------------------- */

#define W99685_NAME "W99685BSG"

/* Physical base of each coprocessor's register window, and its interrupt. */
#define W99685_REAR_PADDR 0x10000000
#define W99685_FRONT_PADDR 0x18000000
#define W99685_REAR_IRQ 16  /* external interrupt 0 */
#define W99685_FRONT_IRQ 17 /* external interrupt 1 */
#define W99685_WINDOW_SIZE 256

/* Pixel buffer of the LCD fill test: 76800 words of 16 bits. */
#define W99685_LCD_BUFFER_SIZE 153600

/* Image sensors, by the identity they answer with. */
#define SENSOR_OV7725 0
#define SENSOR_MT9V111 1
#define SENSOR_MT9M112D 2

/* Sensor bus addresses. */
#define OV7725_ADDR 0x42
#define MT9V111_ADDR 0xB8
#define MT9M112D_ADDR 0x90

/*
 * One open camera device. Each open makes its own record; it lives until
 * release. `sema` serialises the command frames of complete read cycles and
 * requests on the coprocessor's one command register.
 */
typedef struct W99685_DEV {
	int paddr;
	unsigned char __iomem *reg_base;
	int irq; /* 17: the front device; anything else: rear */
	int sensor_type;
	spinlock_t lock;
	wait_queue_head_t wq;
	struct semaphore sema;

	int disregarded; /* the rear device on the one-camera board */
	int ready;	 /* bring-up completed: the program runs */
	int irq_requested;
	volatile int frame_ready; /* set by the interrupt handler */
} W99685_DEV;

#define W99685_IS_FRONT(pDev) ((pDev)->irq == W99685_FRONT_IRQ)

/* ---- Command protocol -------------------------------------------------- */

/* Host registers: index n sits at byte offset 0x10 + 2 * n. */
#define W99685_REG(n) (0x10 + 2 * (n))
#define REG_DATA W99685_REG(0) /* 512-byte block data port */
#define REG_P0 W99685_REG(2)
#define REG_P1 W99685_REG(3)
#define REG_P2 W99685_REG(4)
#define REG_P3 W99685_REG(5)
#define REG_SUBCMD W99685_REG(6)
#define REG_CMD W99685_REG(7) /* write: command; read: status */

/* 16-bit LCD bypass registers. */
#define REG_LCD_ADDR 0x00
#define REG_LCD_DATA 0x02

/* Status bits. */
#define STATUS_BUSY 0x80
#define STATUS_DATA 0x08
#define STATUS_DATA_MASK 0x88
#define STATUS_RUNNING 0x50 /* idle value once the program runs */

#define W99685_BLOCK 512

/* Command groups. */
#define CMD_CAMERA 0x57
#define CMD_INTERNAL 0x58

/* Sub-commands of CMD_CAMERA. */
#define SUB_FIRMWARE_VERSION 0x00
#define SUB_CAPTURE_LENGTH 0x02
#define SUB_JPEG_FORMAT 0x06
#define SUB_SET_IMAGE_FORMAT 0x09
#define SUB_GET_IMAGE_FORMAT 0x0A
#define SUB_IIC_WRITE 0x0C
#define SUB_IIC_READ 0x0D
#define SUB_QP_VALUE 0x0E
#define SUB_OP_MODE 0x40
#define SUB_SNAPSHOT 0x43
#define SUB_JPEG_BITSTREAM 0x44
#define SUB_JPEG_DECODE 0x45
#define SUB_JPEG_INFORMATION 0x46
#define SUB_DIGITAL_ZOOM 0x4C
#define SUB_LCM_NUMBER 0x50
#define SUB_LCM_SELECT 0x51
#define SUB_LCM_RES 0x52
#define SUB_LCM_WND_POS 0x53
#define SUB_LCM_WND_SIZE 0x54
#define SUB_LCM_CONTROL_MODE 0x57
#define SUB_PREVIEW_CONTROL 0x58
#define SUB_CAPTURE_STATUS 0x59
#define SUB_PORT30 0x7C
#define SUB_PORT31 0x7D
#define SUB_SENSOR_ADDRESS 0x7E
#define SUB_SENSOR_FORMAT 0x7F

/* Sub-commands of CMD_INTERNAL. */
#define SUB_INTERNAL_BYTE 0x01
#define SUB_INTERNAL_READ_BLOCKS 0x03
#define SUB_INTERNAL_WRITE_BLOCKS 0x04

typedef struct cmdparam_struct {
	unsigned char reg2; /* P0 */
	unsigned char reg3; /* P1 */
	unsigned char reg4; /* P2 */
	unsigned char reg5; /* P3 */
} cmdparam_struct;

/* ---- Module-wide state ------------------------------------------------- */

/* The board configuration, a load parameter (w99685_main.c): the open and
 * the bring-up both follow it. */
extern int device_type;

/*
 * A test build (CAMCORE_TEST_FAULTS) can make the driver commit one of these
 * mistakes, chosen at load with the parameter test_fault, so that the tests
 * see the coprocessor model refuse what the chip would refuse. The driver
 * built for the board has none of them.
 */
enum camcore_test_fault {
	FAULT_NONE,
	FAULT_TYPE1_NO_WAIT, /* a type 1 frame written while the chip is busy */
	FAULT_REPLY_NO_WAIT, /* replies read before busy clears */
	FAULT_DATA_BIT3_ONLY,	/* data ready taken from bit 3 alone */
	FAULT_LAST_BLOCK_SHORT, /* the unused rest of the last block left unread
				 */
	FAULT_SENSOR_NO_WAITS,	/* the sensor's power and reset without their
				   waits */
	FAULT_SENSOR_NO_TABLE,	/* the sensor's register table not loaded */
};
#ifdef CAMCORE_TEST_FAULTS
extern int test_fault;
#define TEST_FAULT(f) (test_fault == (f))
#else
#define TEST_FAULT(f) 0
#endif

/* The coprocessor program (w99685_fw.c). */
#define W99685_FW_SIZE 16209
extern const unsigned char W99685fw[W99685_FW_SIZE];

/* ---- w99685_cmd.c ------------------------------------------------------ */

void w99685_reg_write(W99685_DEV *pDev, int addr, unsigned char data);
unsigned char w99685_reg_read(W99685_DEV *pDev, int addr);

int SendCMDType1(unsigned char cmd, unsigned char subcmd,
		 cmdparam_struct *param, W99685_DEV *pDev);
int SendCMDType2(unsigned char cmd, unsigned char subcmd,
		 cmdparam_struct *param, cmdparam_struct *retval,
		 W99685_DEV *pDev);
int SendCMDType3(unsigned char cmd, unsigned char subcmd,
		 cmdparam_struct *param, unsigned int *size, W99685_DEV *pDev);
int ReadyTimeOut(W99685_DEV *pDev);
int ReadyTimeOut3(W99685_DEV *pDev);
int w99685_bf_read(unsigned char *buffer, int iLength, W99685_DEV *pDev);
int w99685_bf_write(const unsigned char *buff, int iLength, W99685_DEV *pDev);

int DownloadFirmware(W99685_DEV *pDev);
int GetFirmwareVersion(unsigned char *major, unsigned char *minor,
		       W99685_DEV *pDev);
int SetSpecialRegister(unsigned char highByte, unsigned char lowByte,
		       unsigned char value, W99685_DEV *pDev);
int GetSpecialRegister(unsigned char *val, unsigned char highByte,
		       unsigned char lowByte, W99685_DEV *pDev);
int Test_W99685CMD_MassDataDMA(W99685_DEV *pDev);
int Test_W99685CMD_MassDataCMD(W99685_DEV *pDev);

int SetJPEGFormat(unsigned char format, W99685_DEV *pDev);
int SetImageFormat(unsigned char format, W99685_DEV *pDev);
int GetImageFormat(unsigned char *format, W99685_DEV *pDev);
int iic_write(unsigned char cAddr, unsigned char subaddr, unsigned char wdata,
	      W99685_DEV *pDev);
int iic_write16bit(unsigned char cAddr, unsigned char subaddr,
		   unsigned short wdata, W99685_DEV *pDev);
int iic_read(unsigned char cAddr, unsigned char subaddr, unsigned char *rdata,
	     W99685_DEV *pDev);
int iic_read16bit(unsigned char cAddr, unsigned char subaddr,
		  unsigned short *rdata, W99685_DEV *pDev);
int SetQPValue(unsigned char index, W99685_DEV *pDev);
int SetOpMode(unsigned char opMode, unsigned char format, unsigned char onoff,
	      W99685_DEV *pDev);
int SnapShot(unsigned short cnt, W99685_DEV *pDev);
int FastSnapShot(unsigned short cnt, W99685_DEV *pDev);
int SendJPEGBitstream(unsigned int len, W99685_DEV *pDev);
int DecodeJPEGBitstream(unsigned short index, unsigned char showLCD,
			unsigned char *format, unsigned char *error,
			W99685_DEV *pDev);
int DecodedJPEGInformation(unsigned short *width, unsigned short *height,
			   W99685_DEV *pDev);
int SetDigitalZoom(unsigned short width, unsigned short hight,
		   W99685_DEV *pDev);
int SetNumberofLCM(unsigned char num, unsigned char bus, unsigned char color,
		   W99685_DEV *pDev);
int SelectLCM(unsigned char num, W99685_DEV *pDev);
int SetLCMRes(unsigned short width, unsigned short height, W99685_DEV *pDev);
int SetLCMWndPos(unsigned short x, unsigned short y, W99685_DEV *pDev);
int SetLCMWndSize(unsigned short width, unsigned short height,
		  W99685_DEV *pDev);
int SetLCMControlMode(unsigned char mode, W99685_DEV *pDev);
int PreViewControl(unsigned char sw, W99685_DEV *pDev);
int GetCaptureStatus(unsigned char *status, unsigned short *frameNum,
		     W99685_DEV *pDev);
int SetPort30(unsigned char ucLevel, W99685_DEV *pDev);
int SetPort31(unsigned char ucLevel, W99685_DEV *pDev);
int SetSensorSlaveAddress(unsigned char cAddr, unsigned char type,
			  W99685_DEV *pDev);
int SetSensorInputFormat(unsigned char format, W99685_DEV *pDev);
int SingleCapture(unsigned char *buffer, unsigned int *size, W99685_DEV *pDev);

void LCDWriteCMDAddrWORD(unsigned short data, W99685_DEV *pDev);
void LCDWriteCMDRegWORD(unsigned short data, W99685_DEV *pDev);
void LCM_Init(W99685_DEV *p);
void PreviewLCM(W99685_DEV *pDev);
int RefreshLCDWin_Bypass(const unsigned char *pBuffer, int iBufferLen,
			 W99685_DEV *p);
void delay_20ms(void);

/* ---- cmos.c ------------------------------------------------------------ */

int init_dev(W99685_DEV *pDev);
void w99685_reset(void);
int OV7725Set(int type, W99685_DEV *pDev);
int Init_MT9V111(W99685_DEV *pDev);
int Init_MT9M112d(W99685_DEV *pDev);
int MT9M112D_MegaSetting(W99685_DEV *pDev);
int MT9M112D_PreviewSetting(W99685_DEV *pDev);

/* ---- w99685_main.c ----------------------------------------------------- */

void s3c2410_reg_set(void);
void s3c2410_clock_change(int drMode);
void s3c2410_timer_setup(unsigned long pclk);
irqreturn_t w99685_isr(int irq, void *dev_instance);
void udelay_proc(void);

#ifdef __cplusplus
}
#endif

#endif /* _W99685_H */
