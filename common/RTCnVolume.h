// RTC (0x68) and audio codec (0x1A) on I2C bus 0, shared by recorder and volcheck.
#pragma once

#include <cstdint>

extern int w_fd;  // descriptor of /dev/i2c-0, -1 when not open

int OpenIICDevice();
void CloseIICDevice();
int SetVolume(uint8_t level);
int SetMICVolume(uint8_t level);
int ReadRTC(int* year, int* month, int* day, int* hour, int* minute, int* second);
int SetRTC(int year, int month, int day, int hour, int minute, int second);
int SetSystemTime(int year, int month, int day, int hour, int minute, int second);
int i2c_write(int fd, uint8_t reg, uint8_t value);
int i2c_write_data(const uint8_t* buffer, int length);
int HexToDec(uint8_t bcd);
uint8_t DecToHex(int n);
