// Voice prompts: one thread plays numbered wave files from flash on the audio device.
#pragma once

#include "event.h"

int init_snd(EventCallback callback, int audio_fd);
void SetSoundOutFile(int number);  // 255 plays 078; the newest request wins
void sndout_sysError();            // from now on the error prompt repeats for ever
