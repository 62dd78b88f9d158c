// /dev/dsp (OSS, major 14 minor 3): capture from the capture source in real time, playback paced
// as it sounds and logged.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "../../kernel/simk.hpp"
#include "audio_capture.hpp"
#include "audio_playback.hpp"

namespace simboard::peers {

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

}  // namespace simboard::peers
