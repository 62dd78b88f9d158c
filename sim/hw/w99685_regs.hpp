// The W99685's host window and the vocabulary of its program, as the model's files share them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace hw::w99685 {

// ---- Host window ------------------------------------------------------------------------------

constexpr uint32_t kLcdIndex = 0x00;  // 16-bit: LCD controller register select
constexpr uint32_t kLcdData = 0x02;   // 16-bit: LCD controller register data, pixels
constexpr uint32_t kHostRegs = 0x10;  // 8-bit host register n at kHostRegs + 2n, n = 0..7

constexpr unsigned kRegData = 0;  // data port: 512-byte blocks
constexpr unsigned kRegP0 = 2;    // parameters P0..P3, reply bytes 0..3
constexpr unsigned kRegP3 = 5;
constexpr unsigned kRegSub = 6;  // sub-command
constexpr unsigned kRegCmd = 7;  // write: command; read: status

constexpr uint32_t host_offset(unsigned n) {
    return kHostRegs + 2 * n;
}

// ---- Status (host register 7) -----------------------------------------------------------------

constexpr uint8_t kStatusBoot = 0x00;     // the boot loader runs
constexpr uint8_t kStatusRunning = 0x50;  // the program runs and is idle
constexpr uint8_t kStatusBusy = 0x80;     // a command or the next block is under way
constexpr uint8_t kStatusData = 0x08;     // a block transfer is on; ready when busy is clear

constexpr size_t kBlock = 512;

// ---- Commands ---------------------------------------------------------------------------------

constexpr uint8_t kCmdCamera = 0x57;    // camera, encoder, sensor bus, LCD
constexpr uint8_t kCmdInternal = 0x58;  // internal registers and memory

enum CameraSub : uint8_t {
    kSubVersion = 0x00,
    kSubCaptureLength = 0x02,
    kSubJpegFormat = 0x06,
    kSubSetImageFormat = 0x09,
    kSubGetImageFormat = 0x0A,
    kSubSensorWrite = 0x0C,
    kSubSensorRead = 0x0D,
    kSubQp = 0x0E,
    kSubOpMode = 0x40,
    kSubSnapshot = 0x43,
    kSubBitstream = 0x44,
    kSubDecode = 0x45,
    kSubDecodedInfo = 0x46,
    kSubZoom = 0x4C,
    kSubLcmNumber = 0x50,
    kSubLcmSelect = 0x51,
    kSubLcmResolution = 0x52,
    kSubLcmWindowPosition = 0x53,
    kSubLcmWindowSize = 0x54,
    kSubLcmControlMode = 0x57,
    kSubPreview = 0x58,
    kSubCaptureStatus = 0x59,
    kSubPort30 = 0x7C,
    kSubPort31 = 0x7D,
    kSubSensorAddress = 0x7E,
    kSubSensorFormat = 0x7F,
};

enum InternalSub : uint8_t {
    kSubInternalByte = 0x01,  // P3 = 1: write P2 to the byte at P1:P0; else read it into P2
    kSubMemoryToHost = 0x03,  // P0 blocks (0: 256) from memory at P3:P2:P1 to the host
    kSubHostToMemory = 0x04,  // P0 blocks from the host to memory at P3:P2:P1
};

// ---- Settings of the program ------------------------------------------------------------------

// SetOpMode: P3 the mode, P2 the output, P0 the frame-ready interrupt.
constexpr uint8_t kOpModeCapture = 0;
constexpr uint8_t kOpOutputJpeg = 2;

// Sensor-bus protocol of a device (SetSensorSlaveAddress P2).
constexpr uint8_t kBusI2c16 = 0;  // I2C, 16-bit values, repeated start (undeclared devices)
constexpr uint8_t kBusSccb8 = 1;  // SCCB, 8-bit values, stop before the read phase

// SetSensorInputFormat: what the pixel port carries.
constexpr uint8_t kInputYuv422Mask = 0xE0;  // bits 7..5 = 111: YUV 4:2:2, 8 bits a sample
constexpr uint8_t kInputFrameValid = 0x10;  // FRAME_VALID / LINE_VALID (else VSYNC / HREF)
constexpr uint8_t kInputYFirst = 0x02;      // Y U Y V (else U Y V Y)
constexpr uint8_t kInputRisingEdge = 0x01;  // data sampled on the rising PCLK edge

// ---- Boot loader ------------------------------------------------------------------------------

constexpr std::array<std::pair<uint8_t, uint8_t>, 8> kUnlock{{
    {0x1E, 0xAA},
    {0x1A, 0x55},
    {0x18, 0x80},
    {0x1C, 0xAA},
    {0x1E, 0x55},
    {0x1C, 0x00},
    {0x1A, 0x00},
    {0x18, 0x00},
}};
constexpr uint8_t kBootCommit = 0x00;  // written to register 7: take the record, or start
constexpr uint8_t kBootStart = 0xFF;   // in registers 4, 5 and 6: the commit starts the program

}  // namespace hw::w99685
