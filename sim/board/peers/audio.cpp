#include "audio.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "../../../common/le.hpp"

namespace simboard::peers {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxPromptFile = 4u << 20;  // prompt files are short; larger files never match
constexpr size_t kMaxWaveSource = 64u << 20;

std::span<const uint8_t> bytes_of(const std::vector<uint8_t>& v) {
    return {v.data(), v.size()};
}

bool read_whole(const fs::path& path, size_t limit, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.resize(limit + 1);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<size_t>(in.gcount()));
    return out.size() <= limit;
}

}  // namespace

// ---- WAV files ---------------------------------------------------------------------------------

std::optional<WaveFormat> parse_wave(std::span<const uint8_t> bytes, std::string* error,
                                     bool* incomplete) {
    const auto fail = [&](std::string why, bool more) -> std::optional<WaveFormat> {
        if (error != nullptr) *error = std::move(why);
        if (incomplete != nullptr) *incomplete = more;
        return std::nullopt;
    };
    static constexpr std::array<uint8_t, 4> kRiff = {'R', 'I', 'F', 'F'};
    static constexpr std::array<uint8_t, 4> kWave = {'W', 'A', 'V', 'E'};
    const size_t have_riff = std::min<size_t>(bytes.size(), 4);
    if (!std::equal(bytes.begin(), bytes.begin() + static_cast<long>(have_riff), kRiff.begin()))
        return fail("not a RIFF file", false);
    if (bytes.size() < 12) return fail("a RIFF header needs 12 bytes", true);
    if (!std::equal(bytes.begin() + 8, bytes.begin() + 12, kWave.begin()))
        return fail("a RIFF file, but not WAVE", false);
    WaveFormat w;
    w.total_size = 8 + static_cast<size_t>(le::get_u32(bytes, 4));
    bool have_fmt = false;
    size_t pos = 12;
    for (;;) {
        if (pos + 8 > bytes.size()) return fail("no data chunk (yet)", true);
        const auto id = bytes.subspan(pos, 4);
        const size_t size = le::get_u32(bytes, pos + 4);
        const auto is = [&](const char* name) { return std::memcmp(id.data(), name, 4) == 0; };
        if (is("fmt ")) {
            if (size < 16) return fail("fmt chunk too short", false);
            if (pos + 8 + 16 > bytes.size()) return fail("fmt chunk incomplete", true);
            const uint16_t tag = le::get_u16(bytes, pos + 8);
            w.channels = le::get_u16(bytes, pos + 10);
            w.rate = le::get_u32(bytes, pos + 12);
            w.bits = le::get_u16(bytes, pos + 22);
            if (tag != 1)
                return fail("not PCM samples (format " + std::to_string(tag) + ")", false);
            if (w.channels < 1 || w.channels > 2)
                return fail(std::to_string(w.channels) + " channels", false);
            if (w.bits != 8 && w.bits != 16)
                return fail(std::to_string(w.bits) + "-bit samples", false);
            if (w.rate < 1000 || w.rate > 192000)
                return fail(std::to_string(w.rate) + " samples a second", false);
            w.byte_rate = w.rate * w.channels * (w.bits / 8u);
            have_fmt = true;
        } else if (is("data")) {
            if (!have_fmt) return fail("data chunk before the fmt chunk", false);
            w.data_offset = pos + 8;
            w.data_size = size;
            // A header that says nothing sensible of the file's length: up to the data's end.
            if (w.total_size < w.data_offset || w.total_size == 8 + 0xFFFFFFFFu)
                w.total_size = w.data_offset + w.data_size;
            if (incomplete != nullptr) *incomplete = false;
            return w;
        }
        pos += 8 + size + (size & 1);
    }
}

// ---- capture sources ---------------------------------------------------------------------------

namespace {

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class CabinNoise : public CaptureSource {
  public:
    double sample(uint64_t index, unsigned rate) const override {
        const double t = static_cast<double>(index) / rate;
        // Engine at about 1900 rpm (four cylinders: 63 Hz firing) with its harmonic, swelling
        // slowly with the road; a little hiss on top.
        const double swell = 0.75 + 0.25 * std::sin(2 * M_PI * 0.15 * t);
        const double engine =
            0.10 * std::sin(2 * M_PI * 63 * t) + 0.04 * std::sin(2 * M_PI * 126 * t + 0.7);
        const double hiss =
            (static_cast<double>(mix(index) >> 11) / static_cast<double>(1ull << 53) - 0.5) * 0.06;
        return swell * engine + hiss;
    }
    std::string describe() const override { return "cabin noise"; }
};

class Silence : public CaptureSource {
  public:
    double sample(uint64_t, unsigned) const override { return 0.0; }
    std::string describe() const override { return "silence"; }
};

class WaveSource : public CaptureSource {
  public:
    WaveSource(std::vector<float> samples, unsigned rate, std::string name)
        : samples_(std::move(samples)), rate_(rate), name_(std::move(name)) {}
    double sample(uint64_t index, unsigned rate) const override {
        const auto at = static_cast<uint64_t>(static_cast<double>(index) * rate_ / rate);
        return samples_[at % samples_.size()];
    }
    std::string describe() const override { return name_; }

  private:
    std::vector<float> samples_;
    unsigned rate_;
    std::string name_;
};

}  // namespace

std::shared_ptr<const CaptureSource> cabin_noise() {
    static const auto source = std::make_shared<const CabinNoise>();
    return source;
}

std::shared_ptr<const CaptureSource> silence() {
    static const auto source = std::make_shared<const Silence>();
    return source;
}

std::shared_ptr<const CaptureSource> wave_source(const fs::path& path, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!read_whole(path, kMaxWaveSource, bytes)) {
        error = bytes.empty() ? "cannot read " + path.string()
                              : path.string() + ": larger than " +
                                    std::to_string(kMaxWaveSource >> 20) + " MiB";
        return nullptr;
    }
    std::string why;
    const auto w = parse_wave(bytes_of(bytes), &why);
    if (!w) {
        error = path.string() + ": " + why;
        return nullptr;
    }
    const size_t end = std::min(bytes.size(), w->data_offset + w->data_size);
    const size_t frame = w->channels * (w->bits / 8u);
    std::vector<float> samples;
    for (size_t at = w->data_offset; at + frame <= end; at += frame) {
        // The channels mixed to one, as the cabin microphone is one.
        double sum = 0;
        for (unsigned c = 0; c < w->channels; ++c) {
            const size_t p = at + c * (w->bits / 8u);
            sum +=
                w->bits == 8 ? (bytes[p] - 128) / 128.0 : le::get_i16(bytes_of(bytes), p) / 32768.0;
        }
        samples.push_back(static_cast<float>(sum / w->channels));
    }
    if (samples.empty()) {
        error = path.string() + ": no samples";
        return nullptr;
    }
    return std::make_shared<const WaveSource>(std::move(samples), w->rate,
                                              path.filename().string());
}

// ---- playback ----------------------------------------------------------------------------------

std::optional<std::string> PromptLibrary::match(std::span<const uint8_t> bytes) {
    std::error_code ec;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(dir_, ec)) {
        if (e.path().extension() == ".wav" && e.is_regular_file(ec)) files.push_back(e.path());
    }
    std::sort(files.begin(), files.end());
    std::lock_guard lock(mutex_);
    for (const auto& path : files) {
        const auto size = fs::file_size(path, ec);
        if (ec || size != bytes.size() || size > kMaxPromptFile) continue;
        const auto mtime = fs::last_write_time(path, ec);
        if (ec) continue;
        Entry& entry = cache_[path.filename().string()];
        if (entry.bytes.size() != size || entry.mtime != mtime) {
            entry.mtime = mtime;
            if (!read_whole(path, kMaxPromptFile, entry.bytes)) entry.bytes.clear();
        }
        if (std::equal(bytes.begin(), bytes.end(), entry.bytes.begin(), entry.bytes.end()))
            return path.filename().string();
    }
    return std::nullopt;
}

PlaybackStream::PlaybackStream(PromptLibrary& library, Sink sink, std::string via, bool header_rate,
                               uint32_t device_byte_rate)
    : library_(library),
      sink_(std::move(sink)),
      via_(std::move(via)),
      header_rate_(header_rate),
      device_rate_(device_byte_rate) {}

uint32_t PlaybackStream::byte_rate() const {
    if (header_rate_ && wave_) return wave_->byte_rate;
    return device_rate_;
}

void PlaybackStream::feed(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        size_t take = bytes.size();
        if (wave_) take = std::min(take, wave_->total_size - current_size_);
        const auto part = bytes.first(take);
        bytes = bytes.subspan(take);
        const size_t keep =
            std::min(part.size(), kKeepForMatching - std::min(kKeepForMatching, current_.size()));
        current_.insert(current_.end(), part.begin(), part.begin() + static_cast<long>(keep));
        current_size_ += part.size();
        if (!wave_ && !not_wave_) {
            bool incomplete = false;
            wave_ = parse_wave(bytes_of(current_), nullptr, &incomplete);
            if (!wave_ && (!incomplete || current_size_ > current_.size())) not_wave_ = true;
            if (wave_ && current_size_ > wave_->total_size) {
                // Taken past its end before the header was known: the rest is the next sound.
                std::vector<uint8_t> rest(current_.begin() + static_cast<long>(wave_->total_size),
                                          current_.end());
                current_.resize(wave_->total_size);
                current_size_ = wave_->total_size;
                complete(current_size_);
                feed(bytes_of(rest));
                continue;
            }
        }
        if (wave_ && current_size_ >= wave_->total_size) complete(current_size_);
    }
}

void PlaybackStream::finish() {
    if (current_size_ > 0) complete(current_size_);
}

void PlaybackStream::complete(size_t size) {
    PlayedSound s;
    s.bytes = size;
    s.via = via_;
    std::optional<std::string> name;
    if (current_.size() == size) name = library_.match(bytes_of(current_));
    s.name = name ? *name : wave_ ? "unknown-wave" : "unknown-sound";
    uint64_t sound_bytes = size;
    uint32_t rate = device_rate_;
    if (wave_ && header_rate_) {
        sound_bytes = size > wave_->data_offset
                          ? std::min<uint64_t>(wave_->data_size, size - wave_->data_offset)
                          : 0;
        rate = wave_->byte_rate;
    }
    s.length_ms = rate == 0 ? 0 : static_cast<unsigned>((sound_bytes * 1000 + rate / 2) / rate);
    current_.clear();
    current_size_ = 0;
    wave_.reset();
    not_wave_ = false;
    sink_(s);
}

bool PlaybackLog::open(const fs::path& path, std::string& error) {
    return file_.open(path, "playback log", error);
}

void PlaybackLog::close() {
    file_.close();
}

void PlaybackLog::add(const PlayedSound& sound) {
    file_.add(sound.name + " " + std::to_string(sound.length_ms) + " ms " +
              std::to_string(sound.bytes) + " bytes " + sound.via);
    std::lock_guard lock(mutex_);
    last_ = sound;
    ++count_;
}

std::optional<PlayedSound> PlaybackLog::last() const {
    std::lock_guard lock(mutex_);
    return last_;
}

unsigned PlaybackLog::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

// ---- the OSS device ----------------------------------------------------------------------------

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
        o.stream->feed(bytes_of(chunk));
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

// ---- the FIFO
// ------------------------------------------------------------------------------------

DspFifo::~DspFifo() {
    stop();
}

bool DspFifo::reopen() {
    // The new end is open before the old one closes: a writer never finds the FIFO without a
    // reader (which would end it with SIGPIPE).
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return true;
}

bool DspFifo::start(const fs::path& path, std::string& error) {
    path_ = path;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) ::unlink(path.c_str());
    if (::mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST) {
        error = "cannot make the FIFO " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    if (!reopen()) {
        error = "cannot open the FIFO " + path.string() + ": " + std::strerror(errno);
        return false;
    }
    // One page: a writer stays within that of the sound.
    ::fcntl(fd_, F_SETPIPE_SZ, static_cast<int>(::sysconf(_SC_PAGESIZE)));
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
    return true;
}

void DspFifo::stop() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        if (::write(stop_fd_, &one, sizeof one) < 0) {
            // Cannot fail on an eventfd short of overflow.
        }
        thread_.join();
    }
    if (fd_ >= 0) ::close(fd_);
    if (stop_fd_ >= 0) ::close(stop_fd_);
    fd_ = stop_fd_ = -1;
}

void DspFifo::run() {
    using Clock = std::chrono::steady_clock;
    constexpr AudioFormat kDefault;          // what the FIFO plays a raw stream at
    constexpr double kLead = 0.05;           // seconds taken ahead of the sound
    std::unique_ptr<PlaybackStream> stream;  // while a writer plays
    Clock::time_point played_until{};
    std::array<uint8_t, 4096> buf{};
    const auto stream_done = [&] {
        stream->finish();
        stream.reset();
        reopen();  // clears the hang-up of the writer that left
    };
    for (;;) {
        const auto now = Clock::now();
        const double ahead =
            stream ? std::chrono::duration<double>(played_until - now).count() : 0.0;
        // Ahead of the sound: wait without looking at the FIFO (its data would wake us at once).
        const bool take = ahead < kLead;
        std::array<pollfd, 2> fds{{{stop_fd_, POLLIN, 0}, {fd_, POLLIN, 0}}};
        const int timeout = take ? -1 : static_cast<int>(std::ceil((ahead - kLead) * 1000));
        if (::poll(fds.data(), take ? 2 : 1, timeout) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) break;
        if (!take) continue;
        if (!stream) {
            if ((fds[1].revents & POLLIN) == 0) {
                if ((fds[1].revents & (POLLHUP | POLLERR)) != 0 && !reopen()) {
                    // The FIFO is gone from the root: wait before trying again.
                    std::array<pollfd, 1> stop{{{stop_fd_, POLLIN, 0}}};
                    if (::poll(stop.data(), 1, 1000) > 0) break;
                }
                continue;
            }
            stream = std::make_unique<PlaybackStream>(
                library_, [this](const PlayedSound& s) { log_.add(s); }, "shell", true,
                kDefault.byte_rate());
            played_until = Clock::now();
        }
        const uint32_t rate = stream->byte_rate();
        const size_t want = std::clamp<size_t>(rate / 50, 1, buf.size());  // 20 ms of sound
        const ssize_t n = ::read(fd_, buf.data(), want);
        if (n > 0) {
            if (played_until < Clock::now()) played_until = Clock::now();
            stream->feed(std::span<const uint8_t>(buf.data(), static_cast<size_t>(n)));
            played_until += std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(static_cast<double>(n) / rate));
        } else if (n == 0) {
            // Every writer has gone and the FIFO is empty: the sound ends when it has played.
            const auto left = played_until - Clock::now();
            if (left > Clock::duration::zero()) {
                std::array<pollfd, 1> stop{{{stop_fd_, POLLIN, 0}}};
                const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
                if (::poll(stop.data(), 1, static_cast<int>(ms)) > 0) break;
            }
            stream_done();
        }
        // n < 0 (EAGAIN): a writer is there but slow; poll waits for its bytes.
    }
    if (stream) stream->finish();
}

}  // namespace simboard::peers
