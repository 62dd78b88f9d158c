// Front sub-board link on /dev/ttySAC1: start-up configuration, GPS sentences, commands.
#pragma once

#include <cstdint>

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
