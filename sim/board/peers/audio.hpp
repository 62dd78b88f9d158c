// The board's sound: /dev/dsp (OSS, major 14 minor 3) and the playback FIFO at <root>/dev/dsp.
//
// Capture: a read returns samples of the capture source (a cabin-noise signal, silence, or a
// WAV file) in the file's format (OSS defaults: 8 kHz, unsigned 8-bit, mono), paced in real
// time: a blocking read waits until its samples have been "recorded".
//
// Playback: what a program writes to /dev/dsp, and what the shell writes into the FIFO (the os
// seam turns "cat FILE > /dev/dsp" into a write to <root>/dev/dsp), is played in real time:
// the board takes the bytes no faster than they sound. The FIFO plays a WAV at its own rate
// (from its header), the device at the rate set on it. Each sound played is recognised by its
// bytes among the prompt files of the flash's wave directory and logged in the playback log,
// one line each: "<board time> <name> <length> ms <bytes> bytes <via>", name being the prompt
// file's name ("074.wav"), "unknown-wave" or "unknown-sound", via "shell" or "device".
//
// By concern: audio_wave (WAV headers), audio_capture (what the microphone hears),
// audio_playback (prompt recognition, sounds and their log), audio_dsp (the OSS device) and
// audio_fifo (the shell's FIFO).
#pragma once

#include "audio_capture.hpp"
#include "audio_dsp.hpp"
#include "audio_fifo.hpp"
#include "audio_playback.hpp"
#include "audio_wave.hpp"
