/*
 * accelmon.h - what user space shares with accelmon, the driver of the
 * accelerometer, the volume knob and the input lines of the recorder board.
 * No kernel-internal header: the driver, the recorder, the start-up tool and
 * the tests include this one file (<linux/ioctl.h> is the user-space one).
 *
 * The device /dev/LIS3LV02DQ (character major 211, minor 0) delivers one
 * 8-byte record per sampling tick and announces it with SIGIO. The record
 * is four signed 16-bit values in the processor's (little-endian) byte order:
 *
 *   X, Y, Z  the three acceleration axes, 1024 counts per g; or an event
 *            marker: X = Y = 255 and Z telling the input (see below)
 *   V        the volume knob level 0..54 when it changed since the level
 *            last reported, otherwise 255
 */
#ifndef _ACCELMON_H
#define _ACCELMON_H

#include <linux/ioctl.h>

#define ACCELMON_MAJOR 211
#define ACCELMON_NAME "accelmon"
#define ACCELMON_DEVICE "/dev/LIS3LV02DQ"

/* The record: byte offsets of its fields, and the values with a meaning. */
#define XYZ_RECORD_SIZE 8
#define XYZ_OFFSET_X 0
#define XYZ_OFFSET_Y 2
#define XYZ_OFFSET_Z 4
#define XYZ_OFFSET_V 6
#define XYZ_MARKER 255	    /* X and Y of an event marker */
#define XYZ_Z_EMERGENCY 254 /* Z of the emergency button's marker */
#define XYZ_Z_ALARM 253	    /* Z of the external alarm's marker */
#define XYZ_Z_POWER 255	    /* Z of the power-detect marker */
#define XYZ_V_UNCHANGED 255 /* V when the knob kept its level */

/* Knob levels: the ADC result's upper six bits. A record never reports more
 * than VOLUME_RECORD_MAX; GSENSOR_IOC_GET_VOLUME returns up to 63. */
#define VOLUME_LEVEL_MAX 63
#define VOLUME_RECORD_MAX 54

/* Requests: type 'K', numbers 0..5 (0x4B00, 0x4B01, 0x80044B02, 0x4B03,
 * 0x4B04); any other type or a number above 5 answers ENOTTY. */
#define GSENSOR_IOC_MAGIC 'K'
#define GSENSOR_IOC_MAXNR 5

#define GSENSOR_IOC_START _IO(GSENSOR_IOC_MAGIC, 0)
#define GSENSOR_IOC_STOP _IO(GSENSOR_IOC_MAGIC, 1)
#define GSENSOR_IOC_GET_VOLUME _IOR(GSENSOR_IOC_MAGIC, 2, int)
#define GSENSOR_IOC_SUB35 _IO(GSENSOR_IOC_MAGIC, 3)
#define GSENSOR_IOC_PWR_DETECT _IO(GSENSOR_IOC_MAGIC, 4)

#endif /* _ACCELMON_H */
