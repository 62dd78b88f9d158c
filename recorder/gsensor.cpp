// Placeholder: the accelerometer client is not built yet.
#include "gsensor.h"

int init_gsensor(EventCallback) { return -1; }
int stop_gsensor() { return 0; }
int sub35_gsensor() { return 0; }
int pwrDetectControl() { return 0; }
int release_gsensor() { return 0; }
