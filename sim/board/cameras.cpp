// The board's two cameras: a W99685 coprocessor with its image sensor per camera (rear behind
// /dev/winbond0, front behind /dev/winbond1), their options, scenario actions and status items.
//
// The models exist while the board is powered (made at power-on after the hardware reset,
// removed at power-off); what the options and actions set is kept here and applied to every
// new pair, so a broken camera stays broken across a reboot until it "recovers".
#include <array>
#include <charconv>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "board.hpp"
#include "camera_scene.hpp"
#include "image_sensor.hpp"
#include "s3c2410.hpp"
#include "w99685.hpp"

namespace simboard {

namespace {

using Fault = hw::W99685::Fault;

struct Camera {
    const char* name;  // "front", "rear"
    hw::SensorKind sensor;
    Fault fault = Fault::kNone;
    std::vector<std::vector<uint8_t>> jpegs;  // replaces the scene when not empty
    std::unique_ptr<hw::W99685> model;
};

struct Cameras {
    std::mutex mutex;
    double fps = hw::W99685::kDefaultFrameRate;
    Camera rear{"rear", hw::SensorKind::kMt9v111, Fault::kNone, {}, nullptr};
    Camera front{"front", hw::SensorKind::kOv7725, Fault::kNone, {}, nullptr};
};

Cameras& cameras() {
    static auto* c = new Cameras;  // outlives every static that might call in at exit
    return *c;
}

Camera* camera_named(std::string_view name) {
    if (name == "front") return &cameras().front;
    if (name == "rear") return &cameras().rear;
    return nullptr;
}

bool parse_fps(std::string_view text, double& fps) {
    const auto* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, fps);
    return ec == std::errc() && ptr == end && fps >= 0 && fps <= 1000;
}

std::optional<Fault> parse_fault(std::string_view text) {
    if (text == "interrupt") return Fault::kNoInterrupt;
    if (text == "busy") return Fault::kBusy;
    if (text == "length") return Fault::kGarbageLength;
    return std::nullopt;
}

void apply(Camera& cam, double fps) {
    if (!cam.model) return;
    cam.model->set_frame_rate(fps);
    cam.model->set_jpeg_source(cam.jpegs);
    if (cam.fault != Fault::kNone) cam.model->set_fault(cam.fault);
}

void power_on(Board& board) {
    Cameras& c = cameras();
    std::lock_guard lock(c.mutex);
    hw::S3c2410Gpio& gpio = board.soc().gpio;
    c.rear.model = std::make_unique<hw::W99685>(gpio, hw::W99685::rear_config(), c.rear.sensor);
    c.front.model = std::make_unique<hw::W99685>(gpio, hw::W99685::front_config(), c.front.sensor);
    apply(c.rear, c.fps);
    apply(c.front, c.fps);
}

void power_off(Board&) {
    Cameras& c = cameras();
    std::unique_ptr<hw::W99685> rear, front;
    {
        std::lock_guard lock(c.mutex);
        rear = std::move(c.rear.model);
        front = std::move(c.front.model);
    }
    // Destroyed outside the lock: their frame threads end first.
}

// ---- Options ---------------------------------------------------------------------------------

std::string set_sensor_option(Camera& cam, std::string_view value) {
    const auto kind = hw::parse_sensor_kind(value);
    if (!kind)
        return "unknown sensor '" + std::string(value) + "' (ov7725, mt9v111, mt9m112d, none)";
    std::lock_guard lock(cameras().mutex);
    cam.sensor = *kind;
    return "";
}

std::string set_jpegs_option(Camera& cam, std::string_view value) {
    std::vector<std::vector<uint8_t>> frames;
    std::string skipped;
    const std::string error =
        hw::camera_scene::load_jpeg_dir(std::string(value), 204800, frames, skipped);
    if (!error.empty()) return error;
    if (!skipped.empty()) {
        std::fprintf(stderr, "simboard: %s camera: skipped %s\n", cam.name, skipped.c_str());
    }
    std::lock_guard lock(cameras().mutex);
    cam.jpegs = std::move(frames);
    return "";
}

// ---- Actions ---------------------------------------------------------------------------------

std::string check_camera(const Args& args, size_t count) {
    if (args.size() != count) return "expected " + std::to_string(count) + " argument(s)";
    if (camera_named(args[0]) == nullptr) return "unknown camera '" + args[0] + "' (front, rear)";
    return "";
}

std::string check_fail(const Args& args) {
    if (auto e = check_camera(args, 2); !e.empty()) return e;
    if (!parse_fault(args[1])) return "unknown failure '" + args[1] + "' (interrupt, busy, length)";
    return "";
}

std::string check_sensor(const Args& args) {
    if (auto e = check_camera(args, 2); !e.empty()) return e;
    if (!hw::parse_sensor_kind(args[1])) return "unknown sensor '" + args[1] + "'";
    return "";
}

std::string check_fps(const Args& args) {
    double fps = 0;
    if (args.size() != 1 || !parse_fps(args[0], fps)) return "expected frames a second, 0..1000";
    return "";
}

std::string run_fail(Board&, const Args& args) {
    std::lock_guard lock(cameras().mutex);
    Camera& cam = *camera_named(args[0]);
    cam.fault = *parse_fault(args[1]);
    if (cam.model) cam.model->set_fault(cam.fault);
    return "";
}

std::string run_recover(Board&, const Args& args) {
    std::lock_guard lock(cameras().mutex);
    Camera& cam = *camera_named(args[0]);
    cam.fault = Fault::kNone;
    if (cam.model) cam.model->set_fault(Fault::kNone);
    return "";
}

std::string run_sensor(Board&, const Args& args) {
    std::lock_guard lock(cameras().mutex);
    Camera& cam = *camera_named(args[0]);
    cam.sensor = *hw::parse_sensor_kind(args[1]);
    if (cam.model) cam.model->set_sensor(cam.sensor);
    return "";
}

std::string run_fps(Board&, const Args& args) {
    std::lock_guard lock(cameras().mutex);
    parse_fps(args[0], cameras().fps);
    for (Camera* cam : {&cameras().front, &cameras().rear}) {
        if (cam->model) cam->model->set_frame_rate(cameras().fps);
    }
    return "";
}

// ---- Status ----------------------------------------------------------------------------------

std::string status_of(Camera& cam) {
    std::lock_guard lock(cameras().mutex);
    if (!cam.model) return "";
    const hw::W99685::Stats s = cam.model->stats();
    char text[160];
    if (!s.running) {
        std::snprintf(text, sizeof text, "no program");
    } else {
        std::snprintf(text, sizeof text, "%.1f fps %llu frames", s.fps,
                      static_cast<unsigned long long>(s.frames));
    }
    std::string out = text;
    if (cam.fault != Fault::kNone) out += " (failing)";
    if (!s.last_error.empty()) out += ", " + s.last_error;
    return out;
}

const bool registered = [] {
    register_power_hooks({"cameras", power_on, power_off});

    register_option({"camera-fps", "FPS",
                     "frames a second of both cameras (default 15, 0 = unlimited)",
                     [](std::string_view v) -> std::string {
                         double fps = 0;
                         if (!parse_fps(v, fps)) return "expected frames a second, 0..1000";
                         std::lock_guard lock(cameras().mutex);
                         cameras().fps = fps;
                         return "";
                     }});
    register_option({"front-sensor", "KIND",
                     "front camera's sensor: ov7725 (default), mt9v111, "
                     "mt9m112d, none",
                     [](std::string_view v) { return set_sensor_option(cameras().front, v); }});
    register_option({"rear-sensor", "KIND",
                     "rear camera's sensor: mt9v111 (default), ov7725, "
                     "mt9m112d, none",
                     [](std::string_view v) { return set_sensor_option(cameras().rear, v); }});
    register_option({"front-jpegs", "DIR", "JPEG files the front camera delivers in turn",
                     [](std::string_view v) { return set_jpegs_option(cameras().front, v); }});
    register_option({"rear-jpegs", "DIR", "JPEG files the rear camera delivers in turn",
                     [](std::string_view v) { return set_jpegs_option(cameras().rear, v); }});

    register_action({"camera fail", "CAMERA interrupt|busy|length",
                     "the camera's coprocessor fails: no frame-ready interrupt, busy for ever, or "
                     "a garbage frame length",
                     check_fail, run_fail});
    register_action({"camera recover", "CAMERA", "the camera works again",
                     [](const Args& a) { return check_camera(a, 1); }, run_recover});
    register_action({"camera sensor", "CAMERA KIND",
                     "replace the camera's sensor (none: the sensor is absent)", check_sensor,
                     run_sensor});
    register_action({"camera fps", "FPS", "frames a second of both cameras (0 = unlimited)",
                     check_fps, run_fps});

    register_status_item({"front cam", [](Board&) { return status_of(cameras().front); }});
    register_status_item({"rear cam", [](Board&) { return status_of(cameras().rear); }});
    return true;
}();

}  // namespace

}  // namespace simboard
