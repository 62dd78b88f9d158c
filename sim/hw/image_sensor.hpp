// Image sensors behind a W99685 coprocessor's sensor bus (an I2C-like serial bus the coprocessor
// masters; the host never reaches a sensor directly). Each model keeps its register file and
// answers bus transfers of one byte (8-bit value) or two bytes (16-bit value, high byte first),
// as the coprocessor's bus width setting selects. Which sensor sits behind which coprocessor is
// a board option; "none" leaves the bus without an answer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace hw {

enum class SensorKind { kNone, kOv7725, kMt9v111, kMt9m112d };

std::string_view sensor_kind_name(SensorKind kind);
// "ov7725", "mt9v111", "mt9m112d", "none" (any case).
std::optional<SensorKind> parse_sensor_kind(std::string_view text);

class ImageSensor {
  public:
    virtual ~ImageSensor() = default;

    virtual SensorKind kind() const = 0;
    // The 8-bit bus address the coprocessor sends (write form): 0x42, 0xB8, 0x90.
    virtual uint8_t bus_address() const = 0;
    // Back to the state after power-up or a pulse of the reset line.
    virtual void reset() = 0;
    // A transfer of `width` bytes (1 or 2). False: the sensor did not acknowledge.
    virtual bool read(uint8_t reg, unsigned width, uint16_t& value) = 0;
    virtual bool write(uint8_t reg, unsigned width, uint16_t value) = 0;
};

// A new sensor of `kind` in its power-up state; null for kNone.
std::unique_ptr<ImageSensor> make_image_sensor(SensorKind kind);

}  // namespace hw
