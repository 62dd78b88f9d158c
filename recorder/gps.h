// Front sub-board link on /dev/ttySAC1: start-up configuration, GPS sentences, commands.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "config.h"
#include "event.h"

extern uint8_t g_subVer_flag;      // 0 none/unanswered, 1 the 3.5 board, 2 the 2.4 board
extern const int forCorrectT[34];  // whole-hour offset from GMT per time-zone index

int init_gps(EventCallback callback);
int start_gps(ExFileHeader* settings, int model);
int subCheck();
void setgpsMode(int flag);
void release_gps();

int SendAckMessageToGPS();
int SendRecordCommand(int state);  // 1: REC0, 0: REC1
int SendErrorCmd(int code);        // 255: ERRSD, else ERR<code>
int SendShutdown();
void FndOFF_delay();
void FndON(int level);

// --- The pieces of the link, for its tests and the simulated board's harness ----------------

extern int ttySAC1_fd;                               // the port, -1 while not open
extern int iHeading;                                 // last heading accepted from a sentence
extern std::array<uint8_t, gpsrec::SIZE> g_gpsdata;  // record handed to the callback

// The start-up configuration (three passes and the closing display level) of start_gps.
void SendGPSConfiguration(const ExFileHeader& settings);

// Parses a "$GPSTX" line (line feed included) into `record`, cleared first. `heading` is the
// remembered heading, updated when the sentence carries an accepted one. False when a field's
// comma is missing; `record` and `heading` are then left as they were.
bool ParseGPSTX(std::string_view line, std::span<uint8_t, gpsrec::SIZE> record, int& heading);

// The sentence test of the reader: a "$GPSTX" line is parsed into g_gpsdata and handed to the
// callback. `chunk_length` is the length of the read that completed the line (for the console).
// True when a sentence was processed.
bool ProcessGPSMessage(std::string_view line, ssize_t chunk_length);

// One turn of gps_thread while it reads: one read, the silence supervision, the sentences.
void GPSReadTurn();

// Waits for gps_thread to end after release_gps (not from the thread itself).
void join_gps_thread();

// The link's sentence state and what the sub-board told of itself back at their start values
// (tests). The port, the callback, the reader thread and its mode are left as they are.
void reset_gps_globals();
