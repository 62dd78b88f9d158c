// W99685: the board's options and scenario actions, the status it shows, and its inspection.
#include "w99685.hpp"

namespace hw {

void W99685::set_sensor(SensorKind kind) {
    MachineGuard guard(machine_lock());
    const auto now = Clock::now();
    const bool was_answering = sensor_answering(now);
    sensor_ = make_image_sensor(kind);
    sensor_kind_ = kind;
    cache_.reset();
    // A sensor put in at once takes the place of the one that ran; with the ports down it waits
    // for its power-up and reset like any.
    if (was_answering) awake_at_ = now;
    logf("w99685 %s: sensor %s", config_.name.c_str(), std::string(sensor_kind_name(kind)).c_str());
}

SensorKind W99685::sensor() const {
    MachineGuard guard(machine_lock());
    return sensor_kind_;
}

void W99685::set_frame_rate(double fps) {
    MachineGuard guard(machine_lock());
    rate_ = fps > 0 ? fps : 0;
    epoch_ = Clock::now();
}

double W99685::frame_rate() const {
    MachineGuard guard(machine_lock());
    return rate_;
}

void W99685::set_jpeg_source(std::vector<std::vector<uint8_t>> frames) {
    auto source = std::make_shared<const std::vector<std::vector<uint8_t>>>(std::move(frames));
    MachineGuard guard(machine_lock());
    source_ = source->empty() ? nullptr : source;
    cache_.reset();
}

void W99685::set_fault(Fault fault) {
    MachineGuard guard(machine_lock());
    fault_ = fault;
    stuck_ = fault == Fault::kBusy;
    static constexpr std::array<const char*, 5> kNames{
        "recovered", "fails: no frame-ready interrupt", "fails: busy for ever",
        "fails: busy after the next command", "fails: garbage frame length"};
    logf("w99685 %s: camera %s", config_.name.c_str(), kNames[static_cast<size_t>(fault)]);
    if (fault == Fault::kNone) last_error_.clear();
}

W99685::Fault W99685::fault() const {
    MachineGuard guard(machine_lock());
    return fault_;
}

void W99685::set_timing(const Timing& timing) {
    MachineGuard guard(machine_lock());
    timing_ = timing;
}

W99685::Timing W99685::timing() const {
    MachineGuard guard(machine_lock());
    return timing_;
}

W99685::Stats W99685::stats() const {
    MachineGuard guard(machine_lock());
    Stats s;
    s.frames = frames_;
    s.running =
        state_ == State::kRunning || (state_ == State::kStarting && Clock::now() >= start_at_);
    s.major = version_.major;
    s.minor = version_.minor;
    s.last_error = last_error_;
    if (frame_times_.size() >= 2 && Clock::now() - frame_times_.back() < std::chrono::seconds(2)) {
        const double span =
            std::chrono::duration<double>(frame_times_.back() - frame_times_.front()).count();
        if (span > 0) s.fps = static_cast<double>(frame_times_.size() - 1) / span;
    }
    return s;
}

W99685::Snapshot W99685::snapshot() const {
    MachineGuard guard(machine_lock());
    const auto now = Clock::now();
    Snapshot s;
    s.status = status_at(now);
    s.running = state_ == State::kRunning || (state_ == State::kStarting && now >= start_at_);
    s.commands.assign(log_.begin(), log_.end());
    s.ignored_commands = ignored_commands_;
    s.parameter_writes = parameter_writes_;
    s.data_bytes_read = data_bytes_read_;
    s.early_data_reads = early_data_reads_;
    s.lost_data_writes = lost_data_writes_;
    s.leftover_transfers = leftover_transfers_;
    s.bitstream = bitstream_;
    s.internal = regfile_;
    s.qp = qp_;
    s.image_format = image_format_;
    s.jpeg_format = jpeg_format_;
    s.op_mode = op_mode_;
    s.op_output = op_output_;
    s.frame_interrupt = op_interrupt_;
    s.input_format = input_format_;
    s.bus_protocol = bus_protocol_;
    s.sensor_answering = sensor_answering(now);
    s.capture_problem = capture_problem(now);
    s.resets = resets_;
    s.frames = frames_;
    s.lcd = lcd_.state();
    return s;
}

void W99685::clear_command_log() {
    MachineGuard guard(machine_lock());
    log_.clear();
}

void W99685::force_next_reply(std::array<uint8_t, 4> reply) {
    MachineGuard guard(machine_lock());
    forced_reply_ = reply;
}

}  // namespace hw
