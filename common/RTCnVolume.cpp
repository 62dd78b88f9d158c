// Placeholder: the I2C functions are not built yet; the device is never opened.
#include "RTCnVolume.h"

int w_fd = -1;

int OpenIICDevice() { return -1; }
void CloseIICDevice() {}
int SetVolume(uint8_t) { return 0; }
int SetMICVolume(uint8_t) { return 0; }
int ReadRTC(int*, int*, int*, int*, int*, int*) { return 0; }
int SetRTC(int, int, int, int, int, int) { return 0; }
int SetSystemTime(int, int, int, int, int, int) { return 0; }
int i2c_write(int, uint8_t, uint8_t) { return -1; }
int i2c_write_data(const uint8_t*, int) { return -1; }
int HexToDec(uint8_t) { return 0; }
uint8_t DecToHex(int) { return 0; }
