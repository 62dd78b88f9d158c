// W99685 camera/JPEG coprocessor: host registers, the boot loader, busy and replies, and the
// commands of the program. The sensor bus and the picture are in w99685_sensor.cpp, the data port
// and the captures in w99685_capture.cpp, options and inspection in w99685_board.cpp.
#include "w99685.hpp"

#include <algorithm>

#include "w99685_regs.hpp"

namespace hw {

using namespace w99685;

namespace {

constexpr size_t kLogMax = 8192;
constexpr size_t kImageMax = 0x10000;
constexpr size_t kBitstreamMax = 1u << 20;
constexpr auto kStartDelay = std::chrono::milliseconds(10);
constexpr uint8_t kOpModeAtStart = 1;

// Width and height from the first start-of-frame marker of a JPEG stream; false if none.
bool jpeg_size(const std::vector<uint8_t>& j, unsigned& width, unsigned& height) {
    if (j.size() < 4 || j[0] != 0xFF || j[1] != 0xD8) return false;
    size_t i = 2;
    while (i + 4 <= j.size()) {
        if (j[i] != 0xFF) return false;
        const uint8_t marker = j[i + 1];
        const size_t length = size_t{j[i + 2]} << 8 | j[i + 3];
        if (marker >= 0xC0 && marker <= 0xC3 && i + 9 <= j.size()) {
            height = unsigned{j[i + 5]} << 8 | j[i + 6];
            width = unsigned{j[i + 7]} << 8 | j[i + 8];
            return true;
        }
        i += 2 + length;
    }
    return false;
}

uint8_t byte_of(uint64_t v, unsigned n) {
    return static_cast<uint8_t>(v >> (8 * n));
}

}  // namespace

W99685::Config W99685::rear_config() {
    return {"rear", "REAR", kRearBase, gpio_pin('F', 0), gpio_pin('F', 2), true};
}

// Both chips hang on one reset line, GPF2: camcore pulses GPF2 and GPF3 together, and GPF3 is
// the external alarm input once accelmon has set it up.
W99685::Config W99685::front_config() {
    return {"front", "FRONT", kFrontBase, gpio_pin('F', 1), gpio_pin('F', 2), false};
}

W99685::W99685(S3c2410Gpio& gpio, Config config, SensorKind sensor)
    : Device("w99685-" + config.name),
      gpio_(gpio),
      config_(std::move(config)),
      sensor_(make_image_sensor(sensor)),
      sensor_kind_(sensor),
      lcd_(config_.name) {
    MachineGuard guard(machine_lock());
    chip_reset(nullptr);
    mmio_ = map_mmio(config_.base, kWindowSize, *this);
    reset_watch_ = gpio_.watch(config_.reset_pin, [this](bool level) {
        if (level) chip_reset("reset line");
    });
    thread_ = std::thread([this] { worker(); });
}

W99685::~W99685() {
    {
        MachineGuard guard(machine_lock());
        gpio_.unwatch(reset_watch_);
        preview_timer_.cancel();
    }
    {
        std::lock_guard lock(jobs_mutex_);
        stop_ = true;
    }
    jobs_cv_.notify_all();
    thread_.join();
}

// ---- Power and reset -----------------------------------------------------------------------

void W99685::reset() {
    MachineGuard guard(machine_lock());
    chip_reset(nullptr);
    resets_ = 0;
    last_error_.clear();
    frames_ = 0;
    frame_times_.clear();
    lcd_.reset();
    ignored_commands_ = parameter_writes_ = data_bytes_read_ = 0;
    early_data_reads_ = lost_data_writes_ = 0;
    epoch_ = Clock::now();
}

void W99685::chip_reset(const char* why) {
    const bool had_program = state_ != State::kBoot;
    state_ = State::kBoot;
    regs_.fill(0);
    unlock_pos_ = 0;
    image_.clear();
    version_ = {};
    busy_until_ = {};
    busy_hold_ = false;
    pending_reply_.reset();
    stuck_ = fault_ == Fault::kBusy;
    port_.clear();
    out_bytes_.reset();
    out_pos_ = out_length_ = 0;
    in_on_ = false;
    held_.reset();
    capture_pending_ = false;
    ++generation_;
    jpeg_format_ = 0;
    image_format_ = 0x20;
    qp_ = 4;
    op_mode_ = kOpModeAtStart;
    op_output_ = 0;
    op_interrupt_ = false;
    input_format_ = 0;
    bus_protocol_.fill(kBusI2c16);
    // The port lines go low: the sensor loses its supply and is held in reset.
    port30_ = port31_ = false;
    sensor_state_ = SensorState::kOff;
    reset_low_at_ = Clock::now();
    lcd_.program_lost();
    preview_timer_.cancel();
    if (why != nullptr) {
        ++resets_;
        if (had_program)
            logf("w99685 %s: reset by the %s, program lost", config_.name.c_str(), why);
    }
}

// ---- Busy and replies ----------------------------------------------------------------------

void W99685::progress(Clock::time_point now) {
    if (state_ == State::kStarting && now >= start_at_) {
        state_ = State::kRunning;
        logf("w99685 %s: program %x.%02x running", config_.name.c_str(), version_.major,
             version_.minor);
    }
    if (pending_reply_ && !busy(now)) {
        const auto& r = *pending_reply_;
        std::copy(r.begin(), r.end(), regs_.begin() + kRegP0);
        pending_reply_.reset();
    }
}

bool W99685::busy(Clock::time_point now) const {
    return stuck_ || busy_hold_ || now < busy_until_;
}

// The command under way keeps the chip busy for `duration` more.
void W99685::take(Clock::duration duration, Clock::time_point now) {
    busy_until_ = std::max(busy_until_, now) + duration;
}

uint8_t W99685::status(Clock::time_point now) {
    progress(now);
    return status_at(now);
}

uint8_t W99685::status_at(Clock::time_point now) const {
    if (stuck_) return kStatusRunning | kStatusBusy;
    const bool running =
        state_ == State::kRunning || (state_ == State::kStarting && now >= start_at_);
    if (!running) return kStatusBoot;
    uint8_t s = kStatusRunning;
    if (transfer_on()) {
        s |= kStatusData;
        if (now < block_ready_at_) s |= kStatusBusy;
    }
    if (busy(now)) s |= kStatusBusy;
    return s;
}

void W99685::reply(uint8_t p0, uint8_t p1, uint8_t p2, uint8_t p3) {
    pending_reply_ = std::array<uint8_t, 4>{p0, p1, p2, p3};
}

// ---- Host registers ------------------------------------------------------------------------

uint32_t W99685::read(uint32_t offset, unsigned) {
    if (offset == host_offset(kRegData) && state_ == State::kRunning) return data_read();
    if (offset == kLcdIndex || offset == kLcdData) return lcd_.bypass_read(offset);
    if (offset < kHostRegs || offset > host_offset(kRegCmd) || (offset & 1) != 0) return 0;
    const auto now = Clock::now();
    const unsigned n = (offset - kHostRegs) / 2;
    if (n == kRegCmd) return status(now);
    progress(now);
    return regs_[n];
}

void W99685::write(uint32_t offset, uint32_t value, unsigned) {
    if (offset == kLcdIndex || offset == kLcdData) {
        lcd_.bypass_write(offset, static_cast<uint16_t>(value));
        return;
    }
    if (offset < kHostRegs || offset > host_offset(kRegCmd) || (offset & 1) != 0) return;
    const auto now = Clock::now();
    const auto v = static_cast<uint8_t>(value);
    const unsigned n = (offset - kHostRegs) / 2;
    progress(now);
    if (track_unlock(offset, v)) return;
    if (state_ == State::kDownload) {
        boot_write(offset, v);
        return;
    }
    if (state_ != State::kRunning) {
        regs_[n] = v;
        return;
    }
    if (n == kRegData) {
        data_write(v, now);
        return;
    }
    if (n >= kRegP0) ++parameter_writes_;
    if (n != kRegCmd) {
        regs_[n] = v;
        return;
    }
    if (busy(now)) {
        // The program is still on the command before: this one is never seen.
        if (ignored_commands_++ == 0)
            logf("w99685 %s: command %02x/%02x written while busy, ignored", config_.name.c_str(),
                 v, regs_[kRegSub]);
        return;
    }
    regs_[n] = v;
    command(v, now);
}

// The unlock sequence opens the download in any state: the boot loader takes over the window.
// True when this write completed the sequence.
bool W99685::track_unlock(uint32_t offset, uint8_t value) {
    if (offset < host_offset(4)) return false;
    const std::pair<uint8_t, uint8_t> access{static_cast<uint8_t>(offset), value};
    if (access == kUnlock[unlock_pos_]) {
        if (++unlock_pos_ < kUnlock.size()) return false;
        unlock_pos_ = 0;
        if (state_ == State::kRunning || state_ == State::kStarting) {
            logf("w99685 %s: download opened, program stopped", config_.name.c_str());
        }
        state_ = State::kDownload;
        image_.clear();
        regs_.fill(0);
        port_.clear();
        out_bytes_.reset();
        in_on_ = false;
        held_.reset();
        capture_pending_ = false;
        pending_reply_.reset();
        ++generation_;
        return true;
    }
    unlock_pos_ = access == kUnlock[0] ? 1 : 0;
    return false;
}

void W99685::boot_write(uint32_t offset, uint8_t value) {
    const unsigned n = (offset - kHostRegs) / 2;
    if (n != kRegCmd) {
        regs_[n] = value;
        return;
    }
    if (value != kBootCommit) return;
    if (regs_[4] == kBootStart && regs_[5] == kBootStart && regs_[6] == kBootStart) {
        start_program();
        return;
    }
    if (image_.size() + 4 <= kImageMax) {
        image_.insert(image_.end(), {regs_[3], regs_[2], regs_[1], regs_[0]});
    }
}

void W99685::start_program() {
    std::string why;
    const auto version = w99685_program::check(image_, why);
    image_.clear();
    regs_.fill(0);
    if (!version) {
        state_ = State::kBoot;
        last_error_ = "program rejected: " + why;
        logf("w99685 %s: %s", config_.name.c_str(), last_error_.c_str());
        return;
    }
    version_ = *version;
    state_ = State::kStarting;
    start_at_ = Clock::now() + kStartDelay;
    last_error_.clear();
}

// ---- Commands ------------------------------------------------------------------------------

void W99685::command(uint8_t cmd, Clock::time_point now) {
    if (log_.size() >= kLogMax) log_.pop_front();
    log_.push_back({cmd, regs_[kRegSub], params()});
    pending_reply_.reset();
    take(timing_.command, now);
    if (cmd == kCmdCamera) {
        camera_command(regs_[kRegSub], now);
    } else if (cmd == kCmdInternal) {
        internal_command(regs_[kRegSub], now);
    }
    if (forced_reply_) {
        pending_reply_ = *forced_reply_;
        forced_reply_.reset();
    }
    if (fault_ == Fault::kBusyAfterCommand) stuck_ = true;  // this command never completes
}

void W99685::camera_command(uint8_t sub, Clock::time_point now) {
    switch (sub) {
        case kSubVersion:
            reply(0, 0, version_.minor, version_.major);
            break;
        case kSubCaptureLength: {  // length of the frame held, and its transfer
            if (fault_ == Fault::kGarbageLength) {
                const uint32_t garbage = 0x5A000000u | static_cast<uint32_t>(frames_ * 7919u);
                reply(byte_of(garbage, 0), byte_of(garbage, 1), byte_of(garbage, 2),
                      byte_of(garbage, 3));
                last_error_ = "garbage frame length";
                break;
            }
            const uint32_t length = held_ ? static_cast<uint32_t>(held_->jpeg.size()) : 0;
            reply(byte_of(length, 0), byte_of(length, 1), byte_of(length, 2), byte_of(length, 3));
            if (length > 0) {
                start_out(std::shared_ptr<const std::vector<uint8_t>>(held_, &held_->jpeg), length,
                          now);
            }
            break;
        }
        case kSubJpegFormat:
            jpeg_format_ = param(3);
            break;
        case kSubSetImageFormat:
            image_format_ = param(3);
            break;
        case kSubGetImageFormat:
            reply(0, 0, 0, image_format_);
            break;
        case kSubSensorWrite:
            sensor_bus(true, now);
            break;
        case kSubSensorRead:
            sensor_bus(false, now);
            break;
        case kSubQp:
            qp_ = param(3);
            break;
        case kSubOpMode:
            op_interrupt_ = param(0) != 0;
            op_output_ = param(2);
            op_mode_ = param(3);
            break;
        case kSubSnapshot:
            start_capture(param(0) == 0, now);
            break;
        case kSubBitstream: {  // a JPEG bitstream from the host follows
            const size_t length = std::min<size_t>(
                param(0) | param(1) << 8 | param(2) << 16 | size_t{param(3)} << 24, kBitstreamMax);
            bitstream_.clear();
            start_in(InTarget::kBitstream, length, now);
            break;
        }
        case kSubDecode: {
            unsigned w = 0, h = 0;
            const bool ok = jpeg_size(bitstream_, w, h);
            reply(ok ? 0 : 1, ok ? 0x20 : 0, param(2), param(3));
            break;
        }
        case kSubDecodedInfo: {
            unsigned w = 0, h = 0;
            jpeg_size(bitstream_, w, h);
            reply(byte_of(h, 0), byte_of(h, 1), byte_of(w, 0), byte_of(w, 1));
            break;
        }
        case kSubCaptureStatus: {
            const uint64_t number = held_ ? held_->number : 0;
            const uint8_t state = (capture_pending_ ? 1 : 0) | (held_ ? 2 : 0);
            reply(byte_of(number, 0), byte_of(number, 1), 0, state);
            break;
        }
        case kSubPort30:
            set_port(30, param(3) != 0, now);
            break;
        case kSubPort31:
            set_port(31, param(3) != 0, now);
            break;
        case kSubSensorAddress:
            bus_protocol_[param(3)] = param(2) == kBusSccb8 ? kBusSccb8 : kBusI2c16;
            break;
        case kSubSensorFormat:
            input_format_ = param(3);
            break;
        case kSubZoom:  // the scaler's window: the picture keeps its size
            break;
        default:
            if (lcd_.command(sub, params())) arm_preview();
            break;
    }
}

void W99685::internal_command(uint8_t sub, Clock::time_point now) {
    const auto address24 = [this] {
        return (param(1) | param(2) << 8 | size_t{param(3)} << 16) % memory_.size();
    };
    switch (sub) {
        case kSubInternalByte: {
            const uint16_t address = static_cast<uint16_t>(param(1) << 8 | param(0));
            if (param(3) == 1) {
                regfile_[address] = param(2);
            } else {
                reply(param(0), param(1), regfile_[address], param(3));
            }
            break;
        }
        case kSubMemoryToHost: {
            const size_t blocks = param(0) ? param(0) : 256;
            const size_t address = address24();
            const size_t end = std::min(memory_.size(), address + blocks * kBlock);
            auto bytes = std::make_shared<const std::vector<uint8_t>>(memory_.begin() + address,
                                                                      memory_.begin() + end);
            start_out(bytes, blocks * kBlock, now);
            break;
        }
        case kSubHostToMemory:
            in_address_ = static_cast<uint32_t>(address24());
            start_in(InTarget::kMemory, (param(0) ? param(0) : 256) * kBlock, now);
            break;
        default:
            break;
    }
}

}  // namespace hw
