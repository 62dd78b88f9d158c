// Placeholder: the front sub-board link is not built yet; commands go nowhere.
#include "gps.h"

uint8_t g_subVer_flag = 0;
const int forCorrectT[34] = {-12, -11, -10, -9, -8, -7, -6, -5, -5, -4, -4, -3, -2, -1, 0, 1, 2,
                             3,   4,   4,   5,  5,  6,  6,  6,  7,  7,  8,  9,  10, 10, 11, 12, 13};

int init_gps(EventCallback) { return -1; }
int start_gps(ExFileHeader*, int) { return 0; }
int subCheck() { return 0; }
void setgpsMode(int) {}
void release_gps() {}
int SendAckMessageToGPS() { return 0; }
int SendRecordCommand(int) { return 0; }
int SendErrorCmd(int) { return 0; }
int SendShutdown() { return 0; }
void FndOFF_delay() {}
void FndON(int) {}
