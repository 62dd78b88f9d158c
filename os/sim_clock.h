// The board's clock held still: for tests whose output carries time stamps and must come out the
// same on every run (the sim seam only; the board itself always runs in real time).
#pragma once

#include <cstdint>

namespace os::simclock {

// From now on gettimeofday() gives `usec` microseconds since 1970 until the next hold() or
// release(); settimeofday() moves the held time. os::init() releases it.
void hold(int64_t usec);
void release();

}  // namespace os::simclock
