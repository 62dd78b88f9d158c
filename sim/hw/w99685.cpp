#include "w99685.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cmath>

namespace hw {

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kLogMax = 8192;
constexpr size_t kImageMax = 0x10000;
constexpr auto kStartDelay = std::chrono::milliseconds(10);
constexpr auto kCommandTime = std::chrono::microseconds(3);
constexpr auto kSensorBusTime = std::chrono::microseconds(20);
constexpr auto kNoSensorSnapshot = std::chrono::milliseconds(500);

constexpr uint8_t kStatusBoot = 0x00;
constexpr uint8_t kStatusIdle = 0x50;
constexpr uint8_t kStatusBusy = 0xD0;
constexpr uint8_t kStatusData = 0x58;

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

// libjpeg quality of the quantiser indexes 0 (finest) .. 5 (coarsest).
constexpr std::array<int, 6> kQuality{92, 85, 78, 70, 60, 42};

size_t whole_blocks(size_t bytes) {
    return (bytes + kBlock - 1) / kBlock * kBlock;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

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
      sensor_kind_(sensor) {
    MachineGuard guard(machine_lock());
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
    chip_reset(nullptr);
    resets_ = 0;
    last_error_.clear();
    frames_ = 0;
    frame_times_.clear();
    lcd_index_ = 0;
    lcd_regs_.fill(0);
    std::fill(gram_.begin(), gram_.end(), 0);
    gram_addr_ = 0;
    lcd_pixel_writes_ = 0;
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
    stuck_ = fault_ == Fault::kBusy;
    phase_ = Phase::kNone;
    out_bytes_.reset();
    held_.reset();
    capture_pending_ = false;
    ++generation_;
    jpeg_format_ = 0;
    image_format_ = 0x20;
    qp_ = 4;
    op_mode_ = op_format_ = op_on_ = preview_ = 0;
    sensor_address_ = sensor_type_ = sensor_format_ = 0;
    port30_ = port31_ = false;
    if (sensor_) sensor_->reset();
    if (why != nullptr) {
        ++resets_;
        if (had_program)
            logf("w99685 %s: reset by the %s, program lost", config_.name.c_str(), why);
    }
}

// ---- Host registers ------------------------------------------------------------------------

void W99685::update_state(Clock::time_point now) {
    if (state_ == State::kStarting && now >= start_at_) {
        state_ = State::kRunning;
        logf("w99685 %s: program %x.%02x running", config_.name.c_str(), version_.major,
             version_.minor);
    }
}

uint8_t W99685::status(Clock::time_point now) {
    update_state(now);
    if (stuck_) return kStatusBusy;
    if (state_ != State::kRunning) return kStatusBoot;
    if (busy_hold_ || now < busy_until_) return kStatusBusy;
    if ((phase_ == Phase::kOut && out_pos_ < out_length_) ||
        (phase_ == Phase::kIn && in_pos_ < in_expected_)) {
        return kStatusData;
    }
    return kStatusIdle;
}

uint32_t W99685::read(uint32_t offset, unsigned size) {
    (void)size;
    const auto now = Clock::now();
    if (offset < 0x10 || offset > 0x1E || (offset & 1) != 0) {
        if (offset == 0x02) return lcd_regs_[lcd_index_ & 0xFF];
        return 0;
    }
    const unsigned n = (offset - 0x10) / 2;
    if (n == 7) return status(now);
    update_state(now);
    if (n == 0 && state_ == State::kRunning) return data_read();
    return regs_[n];
}

void W99685::write(uint32_t offset, uint32_t value, unsigned size) {
    (void)size;
    if (offset == 0x00 || offset == 0x02) {
        lcd_write(offset, static_cast<uint16_t>(value));
        return;
    }
    if (offset < 0x10 || offset > 0x1E || (offset & 1) != 0) return;
    const auto now = Clock::now();
    const auto v = static_cast<uint8_t>(value);
    const unsigned n = (offset - 0x10) / 2;
    update_state(now);
    if (track_unlock(offset, v)) return;
    if (state_ == State::kDownload) {
        boot_write(offset, v);
        return;
    }
    if (state_ != State::kRunning) {
        regs_[n] = v;
        return;
    }
    if (n == 0) {
        data_write(v);
        return;
    }
    if (n >= 2) ++parameter_writes_;
    regs_[n] = v;
    if (n == 7) command(v, now);
}

// The unlock sequence opens the download in any state: the boot loader takes over the window.
// True when this write completed the sequence.
bool W99685::track_unlock(uint32_t offset, uint8_t value) {
    if (offset < 0x18) return false;
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
        phase_ = Phase::kNone;
        held_.reset();
        capture_pending_ = false;
        ++generation_;
        return true;
    }
    unlock_pos_ = access == kUnlock[0] ? 1 : 0;
    return false;
}

void W99685::boot_write(uint32_t offset, uint8_t value) {
    const unsigned n = (offset - 0x10) / 2;
    if (n != 7) {
        regs_[n] = value;
        return;
    }
    if (value != 0x00) return;
    if (regs_[4] == 0xFF && regs_[5] == 0xFF && regs_[6] == 0xFF) {
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

void W99685::lcd_write(uint32_t offset, uint16_t value) {
    if (offset == 0x00) {
        lcd_index_ = value & 0xFF;
        return;
    }
    if (lcd_index_ == 0x22) {
        gram_[gram_addr_ % kLcdPixels] = value;
        gram_addr_ = (gram_addr_ + 1) % kLcdPixels;
        ++lcd_pixel_writes_;
        return;
    }
    lcd_regs_[lcd_index_] = value;
    if (lcd_index_ == 0x21) gram_addr_ = value % kLcdPixels;
}

// ---- Commands ------------------------------------------------------------------------------

void W99685::reply(uint8_t p0, uint8_t p1, uint8_t p2, uint8_t p3) {
    regs_[2] = p0;
    regs_[3] = p1;
    regs_[4] = p2;
    regs_[5] = p3;
}

void W99685::command(uint8_t cmd, Clock::time_point now) {
    if (log_.size() >= kLogMax) log_.pop_front();
    log_.push_back({cmd, regs_[6], {regs_[2], regs_[3], regs_[4], regs_[5]}});
    if (stuck_) return;
    if (fault_ == Fault::kBusyAfterCommand) {
        stuck_ = true;  // this command never completes
        return;
    }
    if (cmd == 0x57) {
        busy_until_ = now + kCommandTime;
        camera_command(regs_[6], now);
    } else if (cmd == 0x58) {
        internal_command(regs_[6]);
    }
    if (forced_reply_) {
        const auto& r = *forced_reply_;
        reply(r[0], r[1], r[2], r[3]);
        forced_reply_.reset();
    }
}

void W99685::camera_command(uint8_t sub, Clock::time_point now) {
    switch (sub) {
        case 0x00:  // program version
            reply(0, 0, version_.minor, version_.major);
            break;
        case 0x02: {  // length of the frame held, and its transfer
            if (fault_ == Fault::kGarbageLength) {
                const uint32_t garbage = 0x5A000000u | static_cast<uint32_t>(frames_ * 7919u);
                reply(garbage & 0xFF, garbage >> 8 & 0xFF, garbage >> 16 & 0xFF, garbage >> 24);
                last_error_ = "garbage frame length";
                break;
            }
            const uint32_t length = held_ ? static_cast<uint32_t>(held_->jpeg.size()) : 0;
            reply(length & 0xFF, length >> 8 & 0xFF, length >> 16 & 0xFF, length >> 24);
            if (length > 0) {
                start_out(std::shared_ptr<const std::vector<uint8_t>>(held_, &held_->jpeg), length);
            }
            break;
        }
        case 0x06:
            jpeg_format_ = param(3);
            break;
        case 0x09:
            image_format_ = param(3);
            break;
        case 0x0A:
            reply(0, 0, 0, image_format_);
            break;
        case 0x0C:
            busy_until_ = now + kSensorBusTime;
            sensor_bus_write();
            break;
        case 0x0D:
            busy_until_ = now + kSensorBusTime;
            sensor_bus_read();
            break;
        case 0x0E:
            qp_ = param(3);
            break;
        case 0x40:
            op_on_ = param(0);
            op_format_ = param(2);
            op_mode_ = param(3);
            break;
        case 0x43:
            start_capture(param(0) == 0, now);
            break;
        case 0x44: {  // a JPEG bitstream from the host follows
            const size_t length = std::min<size_t>(
                param(0) | param(1) << 8 | param(2) << 16 | size_t{param(3)} << 24, 1u << 20);
            bitstream_.clear();
            in_target_ = InTarget::kBitstream;
            in_expected_ = whole_blocks(length);
            in_pos_ = 0;
            phase_ = in_expected_ ? Phase::kIn : Phase::kNone;
            break;
        }
        case 0x45: {
            unsigned w = 0, h = 0;
            const bool ok = jpeg_size(bitstream_, w, h);
            reply(ok ? 0 : 1, ok ? 0x20 : 0, regs_[4], regs_[5]);
            break;
        }
        case 0x46: {
            unsigned w = 0, h = 0;
            jpeg_size(bitstream_, w, h);
            reply(h & 0xFF, h >> 8 & 0xFF, w & 0xFF, w >> 8 & 0xFF);
            break;
        }
        case 0x58:
            preview_ = param(3);
            break;
        case 0x59: {
            const uint64_t number = held_ ? held_->number : 0;
            const uint8_t state = (capture_pending_ ? 1 : 0) | (held_ ? 2 : 0);
            reply(number & 0xFF, number >> 8 & 0xFF, 0, state);
            break;
        }
        case 0x7C:
            set_port(30, param(3) != 0);
            break;
        case 0x7D:
            set_port(31, param(3) != 0);
            break;
        case 0x7E:
            sensor_address_ = param(3);
            sensor_type_ = param(2);
            break;
        case 0x7F:
            sensor_format_ = param(3);
            break;
        default:  // zoom, LCD module settings: taken, nothing to model
            break;
    }
}

void W99685::internal_command(uint8_t sub) {
    switch (sub) {
        case 0x01: {
            const uint16_t address = static_cast<uint16_t>(param(1) << 8 | param(0));
            if (param(3) == 1) {
                regfile_[address] = param(2);
            } else {
                regs_[4] = regfile_[address];
            }
            break;
        }
        case 0x03: {  // internal memory to the host
            const size_t blocks = param(0) ? param(0) : 256;
            const size_t address =
                (param(1) | param(2) << 8 | size_t{param(3)} << 16) % memory_.size();
            const size_t end = std::min(memory_.size(), address + blocks * kBlock);
            auto bytes = std::make_shared<const std::vector<uint8_t>>(memory_.begin() + address,
                                                                      memory_.begin() + end);
            start_out(bytes, blocks * kBlock);
            break;
        }
        case 0x04:  // host to the internal memory
            in_target_ = InTarget::kMemory;
            in_address_ = (param(1) | param(2) << 8 | uint32_t{param(3)} << 16) % memory_.size();
            in_expected_ = (param(0) ? param(0) : 256) * kBlock;
            in_pos_ = 0;
            phase_ = Phase::kIn;
            break;
        default:
            break;
    }
}

void W99685::sensor_bus_write() {
    const unsigned width = sensor_type_ == 1 ? 1 : 2;
    const uint16_t value = width == 1 ? param(1) : static_cast<uint16_t>(param(1) << 8 | param(0));
    if (sensor_ready() && sensor_->bus_address() == param(3)) {
        sensor_->write(param(2), width, value);
    }
}

void W99685::sensor_bus_read() {
    const unsigned width = sensor_type_ == 1 ? 1 : 2;
    uint16_t value = 0xFFFF;  // no acknowledge: the bus reads high
    if (sensor_ready() && sensor_->bus_address() == param(3)) {
        sensor_->read(param(2), width, value);
    }
    if (width == 1) {
        reply(0, static_cast<uint8_t>(value), regs_[4], regs_[5]);
    } else {
        reply(static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), regs_[4], regs_[5]);
    }
}

// Port 31 powers the sensor, port 30 is its reset line (low: held in reset).
void W99685::set_port(unsigned port, bool level) {
    bool& line = port == 30 ? port30_ : port31_;
    const bool was_ready = sensor_ready();
    line = level;
    if (sensor_ && !was_ready && sensor_ready()) sensor_->reset();
}

bool W99685::sensor_ready() const {
    return sensor_ != nullptr && port31_ && port30_;
}

// ---- Data port -----------------------------------------------------------------------------

void W99685::start_out(std::shared_ptr<const std::vector<uint8_t>> bytes, size_t length) {
    out_bytes_ = std::move(bytes);
    out_length_ = whole_blocks(length);
    out_pos_ = 0;
    phase_ = out_length_ ? Phase::kOut : Phase::kNone;
}

uint8_t W99685::data_read() {
    if (phase_ != Phase::kOut || out_pos_ >= out_length_) return 0;
    const uint8_t b = out_pos_ < out_bytes_->size() ? (*out_bytes_)[out_pos_] : 0;
    ++data_bytes_read_;
    if (++out_pos_ == out_length_) {
        phase_ = Phase::kNone;
        out_bytes_.reset();
    }
    return b;
}

void W99685::data_write(uint8_t value) {
    if (phase_ != Phase::kIn || in_pos_ >= in_expected_) return;
    if (in_target_ == InTarget::kBitstream) {
        bitstream_.push_back(value);
    } else {
        memory_[(in_address_ + in_pos_) % memory_.size()] = value;
    }
    if (++in_pos_ == in_expected_) phase_ = Phase::kNone;
}

void W99685::load_data_for_host(std::vector<uint8_t> bytes) {
    MachineGuard guard(machine_lock());
    const size_t length = bytes.size();
    start_out(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), length);
}

void W99685::force_next_reply(std::array<uint8_t, 4> reply) {
    MachineGuard guard(machine_lock());
    forced_reply_ = reply;
}

// ---- Captures ------------------------------------------------------------------------------

camera_scene::Params W99685::scene_params() const {
    camera_scene::Params p;
    p.label = config_.label;
    p.sensor = upper(sensor_kind_name(sensor_kind_));
    p.rear = config_.rear;
    switch (image_format_) {
        case 0x40:
            p.width = 640;
            p.height = 240;
            break;
        case 0x08:
            p.width = 320;
            p.height = 240;
            break;
        case 0x04:
            p.width = 160;
            p.height = 120;
            break;
        default:
            p.width = 640;
            p.height = 480;
            break;
    }
    p.quality = kQuality[std::min<size_t>(qp_, kQuality.size() - 1)];
    p.subsample_420 = jpeg_format_ == 1;
    return p;
}

void W99685::start_capture(bool blocking, Clock::time_point now) {
    held_.reset();
    capture_pending_ = true;
    const uint64_t generation = ++generation_;
    if (!sensor_ready()) {
        last_error_ = "snapshot without a sensor";
        if (blocking) busy_until_ = now + kNoSensorSnapshot;
        return;
    }
    Job job{generation, now, scene_params(), true};
    if (rate_ <= 0) {
        if (cache_ && cache_params_.same_picture_settings(job.params)) {
            publish(cache_);
            job.publish = false;  // the next frame is made meanwhile
        }
        job.params.frame = next_number_++;
    } else {
        const double period = 1.0 / rate_;
        const double since = std::chrono::duration<double>(now - epoch_).count();
        const auto tick = static_cast<uint64_t>(std::floor(since / period)) + 1;
        job.at = epoch_ + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(static_cast<double>(tick) * period));
        job.params.frame = tick;
    }
    busy_hold_ = blocking && job.publish;
    {
        std::lock_guard lock(jobs_mutex_);
        jobs_.clear();  // an older capture is superseded
        jobs_.push_back(std::move(job));
    }
    jobs_cv_.notify_all();
}

void W99685::publish(std::shared_ptr<const Frame> frame) {
    held_ = std::move(frame);
    capture_pending_ = false;
    busy_hold_ = false;
    ++frames_;
    frame_times_.push_back(Clock::now());
    if (frame_times_.size() > 16) frame_times_.pop_front();
    if (fault_ != Fault::kNoInterrupt) {
        gpio_.drive(config_.irq_pin, false);  // a low pulse: the falling edge interrupts
        gpio_.release(config_.irq_pin);
    }
}

std::shared_ptr<const W99685::Frame> W99685::make_frame(const camera_scene::Params& params) const {
    auto frame = std::make_shared<Frame>();
    frame->number = params.frame;
    frame->width = params.width;
    frame->height = params.height;
    std::shared_ptr<const std::vector<std::vector<uint8_t>>> source;
    {
        MachineGuard guard(machine_lock());
        source = source_;
    }
    if (source && !source->empty()) {
        frame->jpeg = (*source)[params.frame % source->size()];
    } else {
        frame->jpeg = camera_scene::render_jpeg(params);
    }
    return frame;
}

void W99685::worker() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        Job job;
        {
            std::unique_lock lock(jobs_mutex_);
            jobs_cv_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
            if (stop_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
            // The sensor delivers its frame at the tick; a newer capture or a reset ends the wait.
            jobs_cv_.wait_until(lock, job.at, [&] {
                return stop_ || generation_.load() != job.generation || !jobs_.empty();
            });
            if (stop_) return;
            if (!jobs_.empty()) continue;  // superseded while it waited
        }
        if (job.publish && generation_.load() != job.generation) continue;
        auto frame = make_frame(job.params);
        MachineGuard guard(machine_lock());
        cache_ = frame;
        cache_params_ = job.params;
        if (job.publish && generation_.load() == job.generation) publish(std::move(frame));
    }
}

// ---- Options, scenario, inspection ---------------------------------------------------------

void W99685::set_sensor(SensorKind kind) {
    MachineGuard guard(machine_lock());
    sensor_ = make_image_sensor(kind);
    sensor_kind_ = kind;
    cache_.reset();
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

std::vector<W99685::CommandFrame> W99685::command_log() const {
    MachineGuard guard(machine_lock());
    return {log_.begin(), log_.end()};
}

void W99685::clear_command_log() {
    MachineGuard guard(machine_lock());
    log_.clear();
}

uint64_t W99685::parameter_writes() const {
    MachineGuard guard(machine_lock());
    return parameter_writes_;
}

uint64_t W99685::data_bytes_read() const {
    MachineGuard guard(machine_lock());
    return data_bytes_read_;
}

std::vector<uint8_t> W99685::bitstream() const {
    MachineGuard guard(machine_lock());
    return bitstream_;
}

uint8_t W99685::internal_byte(uint16_t address) const {
    MachineGuard guard(machine_lock());
    return regfile_[address];
}

uint16_t W99685::lcd_register(uint8_t reg) const {
    MachineGuard guard(machine_lock());
    return lcd_regs_[reg];
}

uint16_t W99685::lcd_pixel(size_t index) const {
    MachineGuard guard(machine_lock());
    return gram_[index % kLcdPixels];
}

uint64_t W99685::lcd_pixel_writes() const {
    MachineGuard guard(machine_lock());
    return lcd_pixel_writes_;
}

uint8_t W99685::qp() const {
    MachineGuard guard(machine_lock());
    return qp_;
}

uint8_t W99685::image_format() const {
    MachineGuard guard(machine_lock());
    return image_format_;
}

uint8_t W99685::jpeg_format() const {
    MachineGuard guard(machine_lock());
    return jpeg_format_;
}

unsigned W99685::resets() const {
    MachineGuard guard(machine_lock());
    return resets_;
}

bool W99685::sensor_powered() const {
    MachineGuard guard(machine_lock());
    return sensor_ready();
}

}  // namespace hw
