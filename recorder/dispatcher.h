// The event dispatcher: every asynchronous input of the recorder (GPS records and keys of the
// front sub-board, accelerometer samples and markers, the end of voice prompts, IBC commands)
// arrives at __callback_proc and becomes lock events, mode changes, reboots, snapshot requests,
// clock setting, volume changes and pending records for the recording file.
//
// It runs on the threads of its sources (front sub-board reader, accelerometer delivery, voice
// prompts, IBC reader), never in a signal handler. What it changes of the recording state (locks,
// history, pending records, snapshot request, mode, thresholds) it changes under rec_mutex; the
// long steps (display pulses, reboot) run without it.
#pragma once

#include <atomic>

// 1 once start-up is complete; until then keys, markers and samples are ignored.
extern std::atomic<int> g_eventEnable;

// Impact detection: the previous sample, once a first one has been taken as reference.
// Accelerometer delivery thread only.
extern int g_GSFirst;
extern int g_preX, g_preY, g_preZ;

// Timed periods announced by 'T' / 'F' IBC commands: commands counted since the last 'A', and
// the period's length in seconds. IBC reader thread only.
extern int tCnt;
extern int tCnt_stop;

extern int ss_flag;  // 1 once the snapshot directory has been created

// Voice prompt of the erase key (and of key code 0).
constexpr int PROMPT_KEY = 79;
// Display level the sub-board gets back when leaving parking mode.
constexpr int FND_LEVEL_DRIVING = 7;
// Commands of a timed period: the mode switch at this count.
constexpr int TIMED_SWITCH_COUNT = 60;
// The 'A' command reboots once more than this many timed-period commands were counted.
constexpr int TIMED_REBOOT_AFTER = 5;
// Impact thresholds during a timed period of kind 'F'.
constexpr int FULL_FPS_THRESHOLD = 300;

// The callback every event source is given. `record` is the source's record of the type (absent
// for types 2 and 3), valid only during the call. Returns 0.
int __callback_proc(int type, void* record);

// Every global of this file back at its start value (tests).
void reset_dispatcher_globals();
