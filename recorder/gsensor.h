// Accelerometer client: records from /dev/LIS3LV02DQ announced with SIGIO.
//
// The SIGIO handler only reads the driver's record and queues it; a thread of its own hands the
// records to the event callback, in the order they arrived, outside any signal handler.
#pragma once

#include <array>
#include <cstdint>

#include "accelmon.h"
#include "event.h"

// Asks the front sub-board which board it is (subCheck of the sub-board link): 1 the 3.5
// board, 2 the 2.4 board, 0 no usable answer.
using SubBoardQuery = int (*)();

// Sets the device up: the SIGIO handler, the device opened for asynchronous notification, the
// driver told when the 3.5 sub-board (which mounts the sensor rotated) answers `query`, and
// sampling started. Without a query the driver keeps its default axes. Returns 0, or -1 when
// the handler cannot be installed or the device cannot be opened.
int init_gsensor(EventCallback callback, SubBoardQuery query = nullptr);
int stop_gsensor();
int sub35_gsensor();
int pwrDetectControl();
int release_gsensor();
void urg_handler(int signo);

// Device requests of the accelerometer driver: GSENSOR_IOC_* of accelmon.h.

// --- The pieces of the client, for its tests and the simulated board's harness ---------------

extern int gsensor_fd;  // descriptor of /dev/LIS3LV02DQ, -1 while not open

// The 20-byte accelerometer record for the driver's 8-byte record: bytes 4..11 are a copy of it,
// everything else is zero.
std::array<uint8_t, gsrec::SIZE> GsensorRecord(const std::array<uint8_t, 8>& xyz);

// Ends the delivery thread after the records already queued and waits for it (not from the
// thread itself). The recorder never does this; tests and shutdown code do.
void stop_gsensor_delivery();
