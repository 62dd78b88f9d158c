/*
 * camcore.h - what user space shares with camcore, the driver of the two
 * W99685 camera coprocessors: the device, its requests, the record of the
 * sensor requests and the frame area. Plain C without kernel headers: the
 * driver, the recorder and the tests include this one file.
 *
 * The device: character major 240, /dev/winbond0 (minor 0, the rear camera)
 * and /dev/winbond1 (minor 1, the front camera). read() fetches one frame
 * into the frame area and returns its length (0: none); the frame is read
 * through a mapping of the area, made through either minor from offset 0.
 */
#ifndef _CAMCORE_H
#define _CAMCORE_H

#define W99685_MAJOR 240
#define W99685_DEVICE_FORMAT "/dev/winbond%d"
#define W99685_MINOR_REAR 0
#define W99685_MINOR_FRONT 1

/* The frame area: the front camera's latest frame at its start, the rear
 * camera's in its second half. */
#define W99685_FRAME_SIZE 204800
#define W99685_AREA_SIZE (2 * W99685_FRAME_SIZE)
#define W99685_FRONT_OFFSET 0
#define W99685_REAR_OFFSET W99685_FRAME_SIZE

/* Requests: plain numbers, no direction or size encoding. Every request
 * answers -1/ENOTTY, handled or not (0 on the one-camera board's rear). */
#define CAMERA_IOC_DIAG 1	  /* pointer to a u16 diagnostic sub-code */
#define CAMERA_IOC_SENSOR_WRITE 2 /* pointer to a struct iic_cmd */
#define CAMERA_IOC_SENSOR_READ                                                 \
	3 /* pointer to a struct iic_cmd (printed only) */
#define CAMERA_IOC_COM10_SWEEP 4 /* OV7725 capture sweep */
#define CAMERA_IOC_SET_QP 5	 /* pointer to one byte: the JPEG quantiser */
#define CAMERA_IOC_SET_RESOLUTION 6  /* pointer to one byte; not handled */
#define CAMERA_IOC_CLOCK_NORMAL 7    /* board clocks to normal mode */
#define CAMERA_IOC_CLOCK_SLOW 8	     /* board clocks to slow mode */
#define CAMERA_IOC_AUDIO_CLOCK_OFF 9 /* audio interface clock off */

/* Argument of requests 2 and 3: 4 bytes in the processor's (little-endian)
 * order, a gap after `subaddr`. */
struct iic_cmd {
	unsigned char subaddr; /* sensor register */
	unsigned short data;   /* at offset 2: the value to write */
};
typedef char camcore_iic_cmd_is_4_bytes[sizeof(struct iic_cmd) == 4 ? 1 : -1];

#endif /* _CAMCORE_H */
