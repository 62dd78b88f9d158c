// Accelerometer client: records from /dev/LIS3LV02DQ announced with SIGIO.
#pragma once

#include "event.h"

int init_gsensor(EventCallback callback);
int stop_gsensor();
int sub35_gsensor();
int pwrDetectControl();
int release_gsensor();
