// IBC controller link on /dev/ttySAC2: start command, then "$APW" state sentences.
#pragma once

#include "event.h"

int init_ibc(EventCallback callback);
int start_ibc();
