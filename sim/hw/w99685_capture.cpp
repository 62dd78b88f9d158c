// W99685: the data port, the captures and the LCD preview, with the thread that renders and
// encodes the frames outside the machine lock.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cmath>

#include "w99685.hpp"
#include "w99685_regs.hpp"

namespace hw {

using namespace w99685;

namespace {

constexpr double kPreviewRate = 15.0;  // frames a second on the LCD at an unlimited capture rate

size_t whole_blocks(size_t bytes) {
    return (bytes + kBlock - 1) / kBlock * kBlock;
}

}  // namespace

// ---- Data port -----------------------------------------------------------------------------

bool W99685::transfer_on() const {
    return in_on_ || !port_.empty() || (out_bytes_ && out_pos_ < out_length_);
}

// The port takes the next block of the transfer to the host; false when none is left.
bool W99685::refill(Clock::time_point now) {
    if (!out_bytes_ || out_pos_ >= out_length_) {
        out_bytes_.reset();
        return false;
    }
    const std::vector<uint8_t>& bytes = *out_bytes_;
    const size_t n = std::min(kBlock, bytes.size() > out_pos_ ? bytes.size() - out_pos_ : 0);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(out_pos_), n, port_.bytes.begin());
    std::fill(port_.bytes.begin() + static_cast<std::ptrdiff_t>(n), port_.bytes.end(), 0);
    port_.head = 0;
    port_.tail = kBlock;
    port_.ready = false;
    out_pos_ += kBlock;
    block_ready_at_ = std::max(now, busy_until_) + timing_.block;
    return true;
}

void W99685::start_out(std::shared_ptr<const std::vector<uint8_t>> bytes, size_t length,
                       Clock::time_point now) {
    in_on_ = false;
    out_bytes_ = std::move(bytes);
    out_pos_ = 0;
    out_length_ = whole_blocks(length);
    if (!port_.empty()) {
        // The host left part of the last block: it comes out ahead of this transfer.
        if (leftover_transfers_++ == 0)
            logf("w99685 %s: a transfer begins behind %zu bytes left in the data port",
                 config_.name.c_str(), port_.size());
        return;
    }
    refill(now);
}

void W99685::start_in(InTarget target, size_t length, Clock::time_point now) {
    port_.clear();
    out_bytes_.reset();
    in_target_ = target;
    in_expected_ = whole_blocks(length);
    in_pos_ = 0;
    in_on_ = in_expected_ > 0;
    block_ready_at_ = std::max(now, busy_until_);
}

// The clock is read only until the block is seen ready: the rest of it costs a byte copy.
uint8_t W99685::data_read() {
    if (!port_.ready || port_.empty()) {
        const auto now = Clock::now();
        if (in_on_ || (port_.empty() && !refill(now))) return 0;
        if (now < block_ready_at_ || busy(now)) {
            ++early_data_reads_;  // the block is not in the port yet
            return 0xFF;
        }
        port_.ready = true;
    }
    const uint8_t b = port_.bytes[port_.head++];
    ++data_bytes_read_;
    if (port_.empty()) refill(Clock::now());
    return b;
}

void W99685::data_write(uint8_t value, Clock::time_point now) {
    if (!in_on_ || now < block_ready_at_) {
        ++lost_data_writes_;
        return;
    }
    if (in_target_ == InTarget::kBitstream) {
        bitstream_.push_back(value);
    } else {
        memory_[(in_address_ + in_pos_) % memory_.size()] = value;
    }
    if (++in_pos_ == in_expected_) {
        in_on_ = false;
        take(timing_.block, now);  // the last block goes in
    } else if (in_pos_ % kBlock == 0) {
        block_ready_at_ = now + timing_.block;
    }
}

void W99685::load_data_for_host(std::vector<uint8_t> bytes) {
    MachineGuard guard(machine_lock());
    const size_t length = bytes.size();
    start_out(std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), length, Clock::now());
}

// ---- Captures ------------------------------------------------------------------------------

// The sensor's next frame after `now` and its number.
Clock::time_point W99685::next_tick(Clock::time_point now, uint64_t& tick) const {
    const double period = 1.0 / (rate_ > 0 ? rate_ : kPreviewRate);
    const double since = std::chrono::duration<double>(now - epoch_).count();
    tick = static_cast<uint64_t>(std::floor(since / period)) + 1;
    return epoch_ + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(tick) * period));
}

void W99685::start_capture(bool blocking, Clock::time_point now) {
    held_.reset();
    capture_pending_ = true;
    const uint64_t generation = ++generation_;
    if (const std::string problem = capture_problem(now); !problem.empty()) {
        note_problem(problem);  // no frame comes
        if (blocking) take(timing_.snapshot_give_up, now);
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
        job.at = next_tick(now, job.params.frame);
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
    if (fault_ != Fault::kGarbageLength) last_error_.clear();
    frame_times_.push_back(Clock::now());
    if (frame_times_.size() > 16) frame_times_.pop_front();
    if (op_interrupt_ && fault_ != Fault::kNoInterrupt) {
        gpio_.drive(config_.irq_pin, false);  // a low pulse: the falling edge interrupts
        gpio_.release(config_.irq_pin);
    }
}

std::shared_ptr<const W99685::Frame> W99685::make_frame(const camera_scene::Params& params) const {
    auto frame = std::make_shared<Frame>();
    frame->number = params.frame;
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

// ---- LCD preview ---------------------------------------------------------------------------

void W99685::arm_preview() {
    if (!lcd_.previewing()) {
        preview_timer_.cancel();
        return;
    }
    uint64_t tick = 0;
    if (!preview_timer_.armed()) preview_timer_.arm_at(next_tick(Clock::now(), tick));
}

// On the hardware clock at every sensor frame while the preview is on: the frame for the LCD.
void W99685::preview_tick() {
    if (!lcd_.previewing()) return;
    const auto now = Clock::now();
    uint64_t tick = 0;
    const auto next = next_tick(now, tick);
    if (pixel_problem(now).empty()) {
        camera_scene::Params p = scene_params();
        p.width = lcd_.window_width();
        p.height = lcd_.window_height();
        p.sensor_width = p.sensor_height = 0;  // scaled to the window
        p.frame = tick;
        {
            std::lock_guard lock(jobs_mutex_);
            preview_job_ = std::move(p);
        }
        jobs_cv_.notify_all();
    }
    preview_timer_.arm_at(next);
}

// ---- The frame thread ----------------------------------------------------------------------

void W99685::worker() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) {
        Job job;
        std::optional<camera_scene::Params> preview;
        {
            std::unique_lock lock(jobs_mutex_);
            jobs_cv_.wait(lock, [this] { return stop_ || !jobs_.empty() || preview_job_; });
            if (stop_) return;
            if (preview_job_) {
                preview.swap(preview_job_);
            } else {
                job = std::move(jobs_.front());
                jobs_.pop_front();
                // The sensor delivers its frame at the tick; a newer capture or a reset ends the
                // wait.
                jobs_cv_.wait_until(lock, job.at, [&] {
                    return stop_ || generation_.load() != job.generation || !jobs_.empty();
                });
                if (stop_) return;
                if (!jobs_.empty()) continue;  // superseded while it waited
            }
        }
        if (preview) {
            const std::vector<uint8_t> rgb = camera_scene::render_rgb(*preview);
            MachineGuard guard(machine_lock());
            if (lcd_.window_width() == preview->width && lcd_.window_height() == preview->height)
                lcd_.show(rgb);
            continue;
        }
        if (job.publish && generation_.load() != job.generation) continue;
        auto frame = make_frame(job.params);
        MachineGuard guard(machine_lock());
        cache_ = frame;
        cache_params_ = job.params;
        if (job.publish && generation_.load() == job.generation) publish(std::move(frame));
    }
}

}  // namespace hw
