// W99685: the sensor bus, the sensor's power and reset lines, and what a capture makes of the
// sensor's pixel port.
#include <algorithm>
#include <cctype>
#include <cstdio>

#include "w99685.hpp"
#include "w99685_regs.hpp"

namespace hw {

using namespace w99685;

namespace {

// libjpeg quality of the quantiser indexes 0 (finest) .. 5 (coarsest).
constexpr std::array<int, 6> kQuality{92, 85, 78, 70, 60, 42};

// The picture of an image format code; false for a code the program does not know.
bool picture_size(uint8_t format, unsigned& width, unsigned& height) {
    switch (format) {
        case 0x04:
            width = 160, height = 120;
            return true;
        case 0x08:
            width = 320, height = 240;
            return true;
        case 0x20:
            width = 640, height = 480;
            return true;
        case 0x40:
            width = 640, height = 240;
            return true;
        default:
            return false;
    }
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string hex(const char* text, unsigned value) {
    char buf[96];
    std::snprintf(buf, sizeof buf, text, value);
    return buf;
}

}  // namespace

// One transfer on the sensor bus, as the device's declared protocol makes it: SCCB moves one
// byte of value and ends the address phase with a stop, I2C moves two (high byte first) after a
// repeated start. Nobody answering leaves the bus high.
void W99685::sensor_bus(bool write, Clock::time_point now) {
    const uint8_t address = param(3);
    const uint8_t reg = param(2);
    const bool sccb = bus_protocol_[address] == kBusSccb8;
    const size_t n = sccb ? 1 : 2;
    ImageSensor* sensor =
        sensor_answering(now) && sensor_->bus_address() == address ? sensor_.get() : nullptr;
    size_t wire = 0;  // bytes on the bus
    if (write) {
        const std::array<uint8_t, 2> data{param(1), param(0)};
        if (sensor != nullptr) sensor->write(reg, std::span(data).first(n));
        wire = 2 + n;
    } else {
        std::array<uint8_t, 2> in{0xFF, 0xFF};
        if (sensor != nullptr) sensor->read(reg, !sccb, std::span(in).first(n));
        if (sccb) {
            reply(0, in[0], param(2), param(3));
        } else {
            reply(in[1], in[0], param(2), param(3));
        }
        wire = 3 + n;
    }
    take(timing_.sensor_bus_byte * static_cast<long>(wire), now);
}

// Port 31 powers the sensor; port 30 is its reset, low active. A reset counts when the line was
// low for Timing::reset_pulse with the supply settled; the sensor then answers after its wake-up.
void W99685::set_port(unsigned port, bool level, Clock::time_point now) {
    if (port == 31) {
        if (level == port31_) return;
        port31_ = level;
        sensor_state_ = level ? SensorState::kUnset : SensorState::kOff;
        if (level) {
            power_at_ = now;
            if (sensor_) sensor_->reset();
        }
        return;
    }
    if (level == port30_) return;
    port30_ = level;
    if (!level) {
        reset_low_at_ = now;
        return;
    }
    if (!port31_) return;
    const auto from = std::max(reset_low_at_, power_at_ + timing_.supply_settle);
    if (now >= from && now - from >= timing_.reset_pulse) {
        if (sensor_) sensor_->reset();
        sensor_state_ = SensorState::kAwake;
        awake_at_ = now + timing_.sensor_wakeup;
    } else {
        sensor_state_ = SensorState::kUnset;
        note_problem("sensor reset pulse too short or before its supply settled");
    }
}

bool W99685::sensor_answering(Clock::time_point now) const {
    return sensor_ != nullptr && port31_ && port30_ && sensor_state_ == SensorState::kAwake &&
           now >= awake_at_;
}

// Why the pixel port gives no frames the chip can take; "" when it does.
std::string W99685::pixel_problem(Clock::time_point now) const {
    if (sensor_ == nullptr) return "snapshot without a sensor";
    if (!sensor_answering(now)) return "snapshot with the sensor not running";
    if ((input_format_ & kInputYuv422Mask) != kInputYuv422Mask) {
        return hex("input format %02x takes no YUV 4:2:2", input_format_);
    }
    const SensorOutput out = sensor_->output();
    const bool frame_valid = (input_format_ & kInputFrameValid) != 0;
    if (frame_valid != (out.sync == SensorOutput::Sync::kFrameLineValid) || out.sync_inverted) {
        return hex("no frame sync from the sensor (input format %02x)", input_format_);
    }
    return "";
}

// Why a snapshot now would get no frame; "" when it gets one.
std::string W99685::capture_problem(Clock::time_point now) const {
    if (std::string problem = pixel_problem(now); !problem.empty()) return problem;
    if (op_mode_ != kOpModeCapture || op_output_ != kOpOutputJpeg) {
        return "snapshot outside JPEG capture mode (" + hex("mode %u", op_mode_) +
               hex(", output %u)", op_output_);
    }
    unsigned w = 0, h = 0;
    if (!picture_size(image_format_, w, h)) return hex("image format %02x unknown", image_format_);
    if (jpeg_format_ > 1) return hex("JPEG format %u unknown", jpeg_format_);
    return "";
}

void W99685::note_problem(const std::string& problem) {
    if (problem == last_error_) return;
    last_error_ = problem;
    if (!problem.empty()) logf("w99685 %s: %s", config_.name.c_str(), problem.c_str());
}

// The picture a capture makes: the image format's size of the sensor's frame, as the sensor's
// registers shape it and as the input format reads it.
camera_scene::Params W99685::scene_params() const {
    camera_scene::Params p;
    p.label = config_.label;
    p.sensor = upper(sensor_kind_name(sensor_kind_));
    p.rear = config_.rear;
    picture_size(image_format_, p.width, p.height);
    p.quality = kQuality[std::min<size_t>(qp_, kQuality.size() - 1)];
    p.subsample_420 = jpeg_format_ == 1;
    if (sensor_) {
        const SensorOutput out = sensor_->output();
        p.sensor_width = out.width;
        p.sensor_height = out.height;
        p.mirror = out.mirror;
        p.flip = out.flip;
        p.test_pattern = out.test_pattern;
        const bool y_first = (input_format_ & kInputYFirst) != 0;
        const bool rising = (input_format_ & kInputRisingEdge) != 0;
        p.garbled = !out.yuv || y_first != out.y_first || rising == out.clock_inverted;
    }
    return p;
}

}  // namespace hw
