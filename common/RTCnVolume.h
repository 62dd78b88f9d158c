// RTC (0x68) and audio codec (0x1A) on I2C bus 0, shared by recorder and volcheck.
//
// Both chips are reached through the one descriptor of /dev/i2c-0, so every access selects its
// chip first. Selection and transfer happen under one lock, with the recorder's asynchronous
// signals blocked while it is held, so that two threads can never send a transfer to the chip the
// other one selected.
#pragma once

#include <array>
#include <cstdint>
#include <span>

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

// Linux i2c-dev requests.
constexpr unsigned long I2C_TENBIT = 0x0704;
constexpr unsigned long I2C_SLAVE_FORCE = 0x0706;

constexpr uint8_t RTC_ADDRESS = 0x68;
constexpr uint8_t CODEC_ADDRESS = 0x1A;
constexpr uint8_t CODEC_OUTPUT_VOLUME = 0x6D;
constexpr uint8_t CODEC_MIC_VOLUME = 0x5A;

// --- The byte logic of the RTC, for its tests ------------------------------------------------

struct RTCDate {
    int year, month, day, hour, minute, second;  // year with century
};

// The write that sets the clock: register pointer 0, then seconds, minutes, hours, day of week
// (0), day, month and year within the century, all in BCD.
std::array<uint8_t, 8> RTCWriteBytes(int year, int month, int day, int hour, int minute,
                                     int second);

// The date held by RTC registers 0..6.
RTCDate RTCDateFromRegisters(std::span<const uint8_t, 7> registers);
