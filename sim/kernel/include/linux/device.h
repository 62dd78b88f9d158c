/* The device model, as far as the board's drivers meet it: clk_get() takes a device, and the
 * drivers here pass none. */
#ifndef _DEVICE_H_
#define _DEVICE_H_

#include <linux/types.h>

struct device {
	struct device *parent;
	const char *bus_id;
	void *driver_data;
};

#endif
