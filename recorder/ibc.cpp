// Placeholder: the IBC link is not built yet.
#include "ibc.h"

int init_ibc(EventCallback) { return -1; }
int start_ibc() { return 0; }
