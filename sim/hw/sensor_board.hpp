// The parts of the board around the S3C2410 that the accelerometer driver talks to: SPI0 with
// the accelerometer (a LIS3LV02DQ, an ADXL345-type chip, or none fitted), the ADC with the volume
// knob on AIN0, the three input lines, and the motion of the car that the accelerometer feels.
// The board (or a test) makes one beside its hw::S3c2410.
#pragma once

#include <string_view>

#include "adxl345.hpp"
#include "input_lines.hpp"
#include "lis3lv02dq.hpp"
#include "s3c2410.hpp"
#include "s3c2410_adc.hpp"
#include "s3c2410_spi.hpp"
#include "vehicle_motion.hpp"

namespace hw {

enum class AccelChip { kNone, kLis3lv02dq, kAdxl345 };

std::string_view accel_chip_name(AccelChip chip);
bool parse_accel_chip(std::string_view text, AccelChip& out);

class SensorBoard {
  public:
    static constexpr unsigned kKnobInput = 0;
    static constexpr int kKnobLevels = 64;

    explicit SensorBoard(S3c2410& soc);
    SensorBoard(const SensorBoard&) = delete;
    SensorBoard& operator=(const SensorBoard&) = delete;

    // Which accelerometer is fitted (default: the LIS3LV02DQ).
    void fit(AccelChip chip);
    AccelChip fitted() const;
    // How the unit is mounted (default: turned, as on the 3.5 sub-board).
    void set_mount(Mount mount);
    Mount mount() const;

    // The knob at a level 0..63: the ADC reads the middle of that level's band.
    void set_knob_level(int level);
    int knob_level() const;

    // The chips and the motion come first: they outlive the bus that reaches them.
    Lis3lv02dq lis3lv02dq;
    Adxl345 adxl345;
    VehicleMotion motion;
    S3c2410Spi spi;
    S3c2410Adc adc;
    InputLines inputs;

  private:
    Accel felt() const;

    AccelChip fitted_ = AccelChip::kNone;
    Mount mount_ = Mount::kRotated;
};

}  // namespace hw
