// Voice prompts: one thread plays numbered wave files from flash on the audio device.
//
// Requests and the system-error mark may come from any thread or signal handler: they only
// store a number and post a semaphore.
#pragma once

#include "event.h"

int init_snd(EventCallback callback, int audio_fd);
void SetSoundOutFile(int number);  // 255 plays 078; the newest request wins
void sndout_sysError();            // from now on the error prompt repeats for ever

// --- For tests and the simulated board's harness ----------------------------------------------

// How a prompt is played: the shell command "cat <file> > /dev/dsp", run to its end. Replaceable
// so that tests can watch and pace playback.
using SoundCommandFunction = int (*)(const char* command);
extern SoundCommandFunction g_soundCommand;

// Ends snd_thread after the prompt in progress and waits for it (not from the thread itself).
// The recorder never does this; tests and shutdown code do.
void release_snd();
