// Placeholder: the prompt thread is not built yet; requests are only remembered.
#include "sndout.h"

static int snd_idx = -1;
static int g_sysError = 0;

int init_snd(EventCallback, int) { return 0; }
void SetSoundOutFile(int number) { snd_idx = number; }
void sndout_sysError() { g_sysError = 1; }
