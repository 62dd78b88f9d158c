#include "image_sensor.hpp"

#include <algorithm>
#include <cctype>
#include <string>

#include "mt9m112d.hpp"
#include "mt9v111.hpp"
#include "ov7725.hpp"

namespace hw {

std::string_view sensor_kind_name(SensorKind kind) {
    switch (kind) {
        case SensorKind::kOv7725:
            return "ov7725";
        case SensorKind::kMt9v111:
            return "mt9v111";
        case SensorKind::kMt9m112d:
            return "mt9m112d";
        case SensorKind::kNone:
            break;
    }
    return "none";
}

std::optional<SensorKind> parse_sensor_kind(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (SensorKind k :
         {SensorKind::kNone, SensorKind::kOv7725, SensorKind::kMt9v111, SensorKind::kMt9m112d}) {
        if (lower == sensor_kind_name(k)) return k;
    }
    return std::nullopt;
}

std::unique_ptr<ImageSensor> make_image_sensor(SensorKind kind) {
    switch (kind) {
        case SensorKind::kOv7725:
            return std::make_unique<Ov7725>();
        case SensorKind::kMt9v111:
            return std::make_unique<Mt9v111>();
        case SensorKind::kMt9m112d:
            return std::make_unique<Mt9m112d>();
        case SensorKind::kNone:
            break;
    }
    return nullptr;
}

}  // namespace hw
