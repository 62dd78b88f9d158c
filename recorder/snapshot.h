// Snapshots: on request, the next rear-camera frame is saved as "%03d-%d.jpg" in the snapshot
// directory. Pictures are grouped in sets of up to four under a set number 0..99 that survives
// restarts through "/mnt/mmcblk0p1/snapshot/index" (4 bytes, little-endian signed 32-bit: the
// set to use after a restart).
#pragma once

#include <cstdint>

constexpr int SNAP_SETS = 100;
constexpr int SNAP_PER_SET = 4;

extern int g_snapIndex;       // current snapshot set 0..99
extern uint8_t g_snapCnt;     // pictures taken in the current set
extern uint8_t g_meterEvent;  // 1 = a snapshot is requested for the next rear frame
extern uint8_t g_snapComp;    // 1 = the set is complete and g_snapIndex names the next set

// Saves the frame when a snapshot is requested (rear capture thread, under rec_mutex).
void MakeSnapShot(const uint8_t* jpeg, int length);
// Saves the set to use after a restart. Returns 0 or -1 (the old index file stays).
int write_snapIndex();
// Start-up: reads the set number from the index file (0 when there is none or it is damaged).
void load_snapIndex();
// Dispatcher: a snapshot request ('A' 'O'); refused once the set has four pictures.
void request_snapshot();
// Dispatcher: the end of a snapshot set ('A' 'F').
void end_snapshot_set();

// Every global of this file back at its start value (tests).
void reset_snapshot_globals();
