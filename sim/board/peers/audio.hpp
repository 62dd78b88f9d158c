// The board's sound: /dev/dsp (OSS, major 14 minor 3) and the playback FIFO at <root>/dev/dsp.
//
// Capture: a read returns samples of the capture source (a cabin-noise signal, silence, or a
// WAV file) in the file's format (OSS defaults: 8 kHz, unsigned 8-bit, mono), paced in real
// time: a blocking read waits until its samples have been "recorded".
//
// Playback: what a program writes to /dev/dsp, and what the shell writes into the FIFO (the os
// seam turns "cat FILE > /dev/dsp" into a write to <root>/dev/dsp), is played in real time:
// the board takes the bytes no faster than they sound. The FIFO plays a WAV at its own rate
// (from its header), the device at the rate set on it. Each sound played is recognised by its
// bytes among the prompt files of the flash's wave directory and logged in the playback log,
// one line each: "<board time> <name> <length> ms <bytes> bytes <via>", name being the prompt
// file's name ("074.wav"), "unknown-wave" or "unknown-sound", via "shell" or "device".
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "../../kernel/simk.hpp"
#include "serial_link.hpp"

namespace simboard::peers {

// ---- WAV files ---------------------------------------------------------------------------------

struct WaveFormat {
    uint32_t rate = 0;
    uint16_t channels = 0;
    uint16_t bits = 0;
    uint32_t byte_rate = 0;  // rate * channels * bits / 8
    size_t data_offset = 0;  // where the samples start
    size_t data_size = 0;    // bytes of samples (as the header says)
    size_t total_size = 0;   // the whole file as its RIFF header says (8 + RIFF size)
};

// Reads the header of a RIFF/WAVE file of PCM samples (8 or 16 bits, 1 or 2 channels). Nothing
// when `bytes` holds no such header (yet), with the reason in `error` when given; `incomplete`
// is set when more bytes could still make it one.
std::optional<WaveFormat> parse_wave(std::span<const uint8_t> bytes, std::string* error = nullptr,
                                     bool* incomplete = nullptr);

// ---- capture sources ---------------------------------------------------------------------------

class CaptureSource {
  public:
    virtual ~CaptureSource() = default;
    // Sample `index` at `rate` samples a second, in -1..1.
    virtual double sample(uint64_t index, unsigned rate) const = 0;
    virtual std::string describe() const = 0;
};

// The cabin of a car on the road: engine hum, road rumble and a little hiss.
std::shared_ptr<const CaptureSource> cabin_noise();
std::shared_ptr<const CaptureSource> silence();
// A WAV file, played in a loop; nothing (with the reason) when it cannot be used.
std::shared_ptr<const CaptureSource> wave_source(const std::filesystem::path& path,
                                                 std::string& error);

// ---- playback ----------------------------------------------------------------------------------

// The prompt files of the flash, to recognise what is played.
class PromptLibrary {
  public:
    explicit PromptLibrary(std::filesystem::path wave_dir) : dir_(std::move(wave_dir)) {}
    // The name of the prompt file whose bytes are exactly `bytes`, if any.
    std::optional<std::string> match(std::span<const uint8_t> bytes);

  private:
    struct Entry {
        std::filesystem::file_time_type mtime;
        std::vector<uint8_t> bytes;
    };
    std::filesystem::path dir_;
    std::mutex mutex_;
    std::map<std::string, Entry> cache_;
};

struct PlayedSound {
    std::string name;  // "074.wav", "unknown-wave", "unknown-sound"
    unsigned length_ms = 0;
    size_t bytes = 0;
    std::string via;  // "shell", "device"
};

// One stream of played bytes (one FIFO writer after another, or one open of the device), cut
// into sounds: a WAV ends where its RIFF header says, anything else at the end of the stream.
class PlaybackStream {
  public:
    using Sink = std::function<void(const PlayedSound&)>;
    // `header_rate`: a WAV plays at its own rate (the FIFO); otherwise at `device_byte_rate`.
    PlaybackStream(PromptLibrary& library, Sink sink, std::string via, bool header_rate,
                   uint32_t device_byte_rate);

    void feed(std::span<const uint8_t> bytes);
    void finish();  // the stream ended: what is left is one sound
    // Bytes a second at which what comes next plays.
    uint32_t byte_rate() const;
    void set_device_byte_rate(uint32_t rate) { device_rate_ = rate; }

  private:
    void complete(size_t size);  // the first `size` bytes of the current sound are one sound

    static constexpr size_t kKeepForMatching = 1u << 20;
    PromptLibrary& library_;
    Sink sink_;
    std::string via_;
    bool header_rate_;
    uint32_t device_rate_;
    std::vector<uint8_t> current_;  // bytes of the sound being played (up to kKeepForMatching)
    size_t current_size_ = 0;       // all its bytes so far
    std::optional<WaveFormat> wave_;
    bool not_wave_ = false;
};

// The playback log file and the console line of each sound.
class PlaybackLog {
  public:
    bool open(const std::filesystem::path& path, std::string& error);
    void close();
    void add(const PlayedSound& sound);
    std::optional<PlayedSound> last() const;
    unsigned count() const;

  private:
    Transcript file_;
    mutable std::mutex mutex_;
    std::optional<PlayedSound> last_;
    unsigned count_ = 0;
};

// ---- the OSS device ----------------------------------------------------------------------------

namespace oss {
constexpr unsigned kReset = 0x00005000;
constexpr unsigned kSync = 0x00005001;
constexpr unsigned kSpeed = 0xC0045002;
constexpr unsigned kStereo = 0xC0045003;
constexpr unsigned kGetBlkSize = 0xC0045004;
constexpr unsigned kSetFmt = 0xC0045005;
constexpr unsigned kChannels = 0xC0045006;
constexpr unsigned kPost = 0x00005008;
constexpr unsigned kSetFragment = 0xC004500A;
constexpr unsigned kGetFmts = 0x8004500B;
constexpr unsigned kGetOSpace = 0x8010500C;
constexpr unsigned kGetISpace = 0x8010500D;
constexpr unsigned kNonBlock = 0x0000500E;
constexpr unsigned kGetCaps = 0x8004500F;
constexpr unsigned kReadRate = 0x80045002;
constexpr unsigned kReadBits = 0x80045005;
constexpr unsigned kReadChannels = 0x80045006;

constexpr int kFmtQuery = 0x00000000;
constexpr int kFmtU8 = 0x00000008;
constexpr int kFmtS16Le = 0x00000010;
constexpr int kCapDuplex = 0x00000100;
constexpr size_t kBufInfoSize = 16;  // audio_buf_info: fragments, fragstotal, fragsize, bytes
}  // namespace oss

struct AudioFormat {
    unsigned rate = 8000;
    int format = oss::kFmtU8;
    unsigned channels = 1;
    unsigned frame_bytes() const { return channels * (format == oss::kFmtS16Le ? 2 : 1); }
    uint32_t byte_rate() const { return rate * frame_bytes(); }
};

// The nearest rate the codec runs at.
unsigned nearest_rate(int requested);

class DspDriver : public simk::CharDriver {
  public:
    DspDriver(PromptLibrary& library, PlaybackLog& log,
              std::function<std::shared_ptr<const CaptureSource>()> source);

    int open(simk::DriverFile& file) override;
    long read(simk::DriverFile& file, uintptr_t user_buf, size_t count) override;
    long write(simk::DriverFile& file, uintptr_t user_buf, size_t count) override;
    long ioctl(simk::DriverFile& file, unsigned int cmd, unsigned long arg) override;
    int release(simk::DriverFile& file) override;

    unsigned overruns() const { return overruns_.load(); }
    std::string describe() const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Open;
    long set_int(Open& o, unsigned cmd, unsigned long arg);
    void drain(Open& o);

    static constexpr double kPlaybackLead = 0.25;  // seconds the writer may be ahead (its buffer)
    static constexpr double kCaptureBuffer = 8.0;  // seconds of capture kept for a slow reader

    PromptLibrary& library_;
    PlaybackLog& log_;
    std::function<std::shared_ptr<const CaptureSource>()> source_;
    std::mutex mutex_;
    bool reading_ = false;  // one reader and one writer at a time
    bool writing_ = false;
    std::atomic<unsigned> overruns_{0};
};

// The FIFO at <root>/dev/dsp that the shell's "cat FILE > /dev/dsp" writes into, read in real
// time by a thread of its own. Its pipe holds one page, so a writer is never far ahead of the
// sound; it returns when its last bytes are in the pipe, at most that page before the end.
class DspFifo {
  public:
    DspFifo(PromptLibrary& library, PlaybackLog& log) : library_(library), log_(log) {}
    ~DspFifo();

    // Makes the FIFO (replacing whatever is at `path`) and starts reading it.
    bool start(const std::filesystem::path& path, std::string& error);
    void stop();

  private:
    void run();
    bool reopen();

    PromptLibrary& library_;
    PlaybackLog& log_;
    std::filesystem::path path_;
    int fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
};

}  // namespace simboard::peers
