#include "audio_dsp.hpp"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <optional>
#include <vector>

#include "../../../common/le.hpp"

namespace simboard::peers {

unsigned nearest_rate(int requested) {
    static constexpr std::array<unsigned, 7> kRates = {8000,  11025, 16000, 22050,
                                                       32000, 44100, 48000};
    unsigned best = kRates[0];
    for (const unsigned r : kRates) {
        if (std::abs(static_cast<long>(r) - requested) <
            std::abs(static_cast<long>(best) - requested))
            best = r;
    }
    return best;
}

struct DspDriver::Open {
    AudioFormat format;
    bool reads = false;
    bool writes = false;
    bool nonblock = false;
    // Capture: frames handed out since the start, counted from the first read.
    std::optional<Clock::time_point> capture_start;
    uint64_t frames_read = 0;
    // Playback: when what was written so far will have sounded.
    std::unique_ptr<PlaybackStream> stream;
    Clock::time_point played_until{};
};

DspDriver::DspDriver(PromptLibrary& library, PlaybackLog& log,
                     std::function<std::shared_ptr<const CaptureSource>()> source)
    : library_(library), log_(log), source_(std::move(source)) {}

int DspDriver::open(simk::DriverFile& file) {
    if (file.minor != 3) return -ENODEV;  // the board has /dev/dsp only
    const int mode = file.flags & O_ACCMODE;
    auto o = std::make_unique<Open>();
    o->reads = mode == O_RDONLY || mode == O_RDWR;
    o->writes = mode == O_WRONLY || mode == O_RDWR;
    {
        std::lock_guard lock(mutex_);
        if ((o->reads && reading_) || (o->writes && writing_)) return -EBUSY;
        reading_ = reading_ || o->reads;
        writing_ = writing_ || o->writes;
    }
    if (o->writes) {
        o->stream = std::make_unique<PlaybackStream>(
            library_, [this](const PlayedSound& s) { log_.add(s); }, "device", false,
            o->format.byte_rate());
    }
    file.private_data = o.release();
    return 0;
}

void DspDriver::drain(Open& o) {
    const auto left = o.played_until - Clock::now();
    if (left > Clock::duration::zero()) simk::sleep_interruptible(left);
    if (o.stream) o.stream->finish();
}

int DspDriver::release(simk::DriverFile& file) {
    std::unique_ptr<Open> o(static_cast<Open*>(file.private_data));
    file.private_data = nullptr;
    // Closing the device plays what was written to its end.
    drain(*o);
    std::lock_guard lock(mutex_);
    if (o->reads) reading_ = false;
    if (o->writes) writing_ = false;
    return 0;
}

long DspDriver::read(simk::DriverFile& file, uintptr_t user_buf, size_t count) {
    Open& o = *static_cast<Open*>(file.private_data);
    const unsigned frame = o.format.frame_bytes();
    uint64_t wanted = count / frame;
    if (wanted == 0) return 0;
    const auto now = Clock::now();
    if (!o.capture_start) o.capture_start = now;
    const auto recorded = [&](Clock::time_point at) {
        return static_cast<uint64_t>(std::chrono::duration<double>(at - *o.capture_start).count() *
                                     o.format.rate);
    };
    uint64_t ready = recorded(now);
    const auto buffer = static_cast<uint64_t>(kCaptureBuffer * o.format.rate);
    if (ready > o.frames_read + buffer) {
        // The reader fell behind by more than the buffer holds: the oldest samples are lost.
        o.frames_read = ready - buffer;
        ++overruns_;
    }
    if (ready < o.frames_read + wanted) {
        if (o.nonblock || (file.flags & O_NONBLOCK) != 0) {
            if (ready <= o.frames_read) return -EAGAIN;
            wanted = ready - o.frames_read;
        } else {
            const double wait = static_cast<double>(o.frames_read + wanted - ready) / o.format.rate;
            if (!simk::sleep_interruptible(std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::duration<double>(wait))))
                return -EINTR;
        }
    }
    const auto source = source_();
    std::vector<uint8_t> data(static_cast<size_t>(wanted) * frame);
    for (uint64_t i = 0; i < wanted; ++i) {
        const double v = std::clamp(source->sample(o.frames_read + i, o.format.rate), -1.0, 1.0);
        for (unsigned c = 0; c < o.format.channels; ++c) {
            if (o.format.format == oss::kFmtS16Le) {
                const auto s = static_cast<int16_t>(std::lround(v * 32767));
                le::put_i16(data, static_cast<size_t>(i) * frame + c * 2, s);
            } else {
                data[static_cast<size_t>(i) * frame + c] =
                    static_cast<uint8_t>(std::clamp(128 + std::lround(v * 127), 0L, 255L));
            }
        }
    }
    if (simk::copy_to_user(user_buf, data.data(), data.size()) != 0) return -EFAULT;
    o.frames_read += wanted;
    return static_cast<long>(data.size());
}

long DspDriver::write(simk::DriverFile& file, uintptr_t user_buf, size_t count) {
    Open& o = *static_cast<Open*>(file.private_data);
    size_t done = 0;
    std::vector<uint8_t> chunk;
    while (done < count) {
        const uint32_t rate = o.format.byte_rate();
        // Room in the buffer: the writer may be kPlaybackLead ahead of the sound.
        auto now = Clock::now();
        if (o.played_until < now) o.played_until = now;
        const double ahead = std::chrono::duration<double>(o.played_until - now).count();
        if (ahead >= kPlaybackLead) {
            if (o.nonblock || (file.flags & O_NONBLOCK) != 0)
                return done > 0 ? static_cast<long>(done) : -EAGAIN;
            const auto wait = std::chrono::duration<double>(ahead - kPlaybackLead + 0.02);
            if (!simk::sleep_interruptible(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(wait)))
                return done > 0 ? static_cast<long>(done) : -EINTR;
            continue;
        }
        const auto room = static_cast<size_t>((kPlaybackLead - ahead) * rate) + 1;
        const size_t n = std::min(count - done, std::max<size_t>(room, o.format.frame_bytes()));
        chunk.resize(n);
        if (simk::copy_from_user(chunk.data(), user_buf + done, n) != 0)
            return done > 0 ? static_cast<long>(done) : -EFAULT;
        o.stream->feed(std::span<const uint8_t>(chunk));
        o.played_until += std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(static_cast<double>(n) / rate));
        done += n;
    }
    return static_cast<long>(done);
}

long DspDriver::set_int(Open& o, unsigned cmd, unsigned long arg) {
    int32_t v = 0;
    if (simk::copy_from_user(&v, arg, sizeof v) != 0) return -EFAULT;
    switch (cmd) {
        case oss::kSpeed:
            if (v > 0) o.format.rate = nearest_rate(v);
            v = static_cast<int32_t>(o.format.rate);
            break;
        case oss::kSetFmt:
            if (v == oss::kFmtU8 || v == oss::kFmtS16Le) o.format.format = v;
            v = o.format.format;  // a query, or a format the codec lacks: the one in use
            break;
        case oss::kChannels:
            if (v == 1 || v == 2) o.format.channels = static_cast<unsigned>(v);
            v = static_cast<int32_t>(o.format.channels);
            break;
        case oss::kStereo:
            o.format.channels = v != 0 ? 2 : 1;
            v = o.format.channels == 2 ? 1 : 0;
            break;
        case oss::kSetFragment:
            return 0;  // the buffer is the board's own choice
        default:
            return -ENOTTY;
    }
    if (o.stream) o.stream->set_device_byte_rate(o.format.byte_rate());
    return simk::copy_to_user(arg, &v, sizeof v) == 0 ? 0 : -EFAULT;
}

long DspDriver::ioctl(simk::DriverFile& file, unsigned int cmd, unsigned long arg) {
    Open& o = *static_cast<Open*>(file.private_data);
    const auto put = [arg](int32_t v) -> long {
        return simk::copy_to_user(arg, &v, sizeof v) == 0 ? 0 : -EFAULT;
    };
    switch (cmd) {
        case oss::kSpeed:
        case oss::kSetFmt:
        case oss::kChannels:
        case oss::kStereo:
        case oss::kSetFragment: {
            // A new format starts the capture afresh, as the hardware restarts.
            const long r = set_int(o, cmd, arg);
            o.capture_start.reset();
            o.frames_read = 0;
            return r;
        }
        case oss::kReadRate:
            return put(static_cast<int32_t>(o.format.rate));
        case oss::kReadBits:
            return put(o.format.format == oss::kFmtS16Le ? 16 : 8);
        case oss::kReadChannels:
            return put(static_cast<int32_t>(o.format.channels));
        case oss::kGetBlkSize:
            return put(static_cast<int32_t>(o.format.byte_rate() / 8));  // 125 ms fragments
        case oss::kGetFmts:
            return put(oss::kFmtU8 | oss::kFmtS16Le);
        case oss::kGetCaps:
            return put(oss::kCapDuplex | 1);
        case oss::kGetOSpace:
        case oss::kGetISpace: {
            const int32_t fragment = static_cast<int32_t>(o.format.byte_rate() / 8);
            std::array<uint8_t, oss::kBufInfoSize> info{};
            le::put_i32(info, 0, 2);
            le::put_i32(info, 4, 2);
            le::put_i32(info, 8, fragment);
            le::put_i32(info, 12, 2 * fragment);
            return simk::copy_to_user(arg, info.data(), info.size()) == 0 ? 0 : -EFAULT;
        }
        case oss::kNonBlock:
            o.nonblock = true;
            return 0;
        case oss::kSync:
        case oss::kPost:
            if (o.writes) drain(o);
            return 0;
        case oss::kReset:
            o.capture_start.reset();
            o.frames_read = 0;
            if (o.stream) o.stream->finish();
            o.played_until = Clock::now();
            return 0;
        default:
            return -ENOTTY;
    }
}

std::string DspDriver::describe() const {
    const unsigned n = overruns_.load();
    return n == 0 ? "" : std::to_string(n) + " capture overruns";
}

}  // namespace simboard::peers
