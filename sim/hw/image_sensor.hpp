// Image sensors behind a W99685 coprocessor's sensor bus (a serial bus the coprocessor masters;
// the host never reaches a sensor directly) and its pixel port. Which sensor sits behind which
// coprocessor is a board option; "none" leaves the bus without an answer.
//
// The bus: a transfer starts with the sensor's bus address and the register address. A write
// goes on with its data bytes; a read then turns the bus round and the sensor sends bytes until
// the master stops, either after a stop and a new start (the two-phase read of an SCCB port) or
// after a repeated start (I2C). How a sensor answers bytes it does not expect (a second data
// byte to an 8-bit register, a repeated start to an SCCB port) is the sensor's, as on the wire.
//
// The pixel port: what the sensor's registers make of the picture (frame size, orientation,
// test pattern) and of its signals (the kind of frame and line sync, their polarities, the
// order of luma and chroma, the clock edge). The coprocessor frames on those signals as its
// input format says; the picture is only right when both agree.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace hw {

enum class SensorKind { kNone, kOv7725, kMt9v111, kMt9m112d };

std::string_view sensor_kind_name(SensorKind kind);
// "ov7725", "mt9v111", "mt9m112d", "none" (any case).
std::optional<SensorKind> parse_sensor_kind(std::string_view text);

// The signals and the picture on a sensor's pixel port.
struct SensorOutput {
    enum class Sync {
        kVsyncHref,       // a VSYNC pulse before each frame, HREF high during each line
        kFrameLineValid,  // FRAME_VALID and LINE_VALID high during the frame and each line
    };
    unsigned width = 640;  // the frame the sensor sends
    unsigned height = 480;
    bool mirror = false;  // as the scene reaches the coprocessor (the mounting included)
    bool flip = false;
    bool test_pattern = false;  // colour bars instead of the scene
    bool yuv = true;            // YUV 4:2:2 (else an RGB or raw form)
    Sync sync = Sync::kVsyncHref;
    bool sync_inverted = false;   // VSYNC or HREF of the other polarity, or HSYNC for HREF
    bool clock_inverted = false;  // data changes on the PCLK edge a receiver normally samples on
    bool y_first = true;          // Y U Y V (else U Y V Y)
};

class ImageSensor {
  public:
    virtual ~ImageSensor() = default;

    virtual SensorKind kind() const = 0;
    // The 8-bit bus address the coprocessor sends (write form): 0x42, 0xB8, 0x90.
    virtual uint8_t bus_address() const = 0;
    // Back to the state after power-up or a pulse of the reset line.
    virtual void reset() = 0;
    // A write transfer: register address `reg`, then `data`. False: not acknowledged.
    virtual bool write(uint8_t reg, std::span<const uint8_t> data) = 0;
    // A read transfer of register `reg`: the address phase ends with a repeated start
    // (`repeated_start`) or with a stop and a new start; fills `out` with the bytes the sensor
    // sends. False: not acknowledged.
    virtual bool read(uint8_t reg, bool repeated_start, std::span<uint8_t> out) = 0;
    virtual SensorOutput output() const = 0;
};

// A new sensor of `kind` in its power-up state; null for kNone.
std::unique_ptr<ImageSensor> make_image_sensor(SensorKind kind);

}  // namespace hw
