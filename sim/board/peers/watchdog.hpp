// The S3C2410's watchdog as /dev/watchdog (misc device 10, minor 130), with the Linux watchdog
// interface: opening starts it (one opener at a time), WDIOC_KEEPALIVE or any write keeps it
// alive, WDIOC_SETTIMEOUT sets the timeout (1..42 s, the reach of the chip's 16-bit counter)
// and writes back the value set, a close after writing 'V' stops it and any other close leaves
// it running. When it is not kept alive within its timeout it resets the board.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "../../kernel/simk.hpp"

namespace simboard::peers {

namespace wdioc {
constexpr unsigned kGetSupport = 0x80285700;
constexpr unsigned kGetStatus = 0x80045701;
constexpr unsigned kGetBootStatus = 0x80045702;
constexpr unsigned kSetOptions = 0x80045704;
constexpr unsigned kKeepAlive = 0x80045705;
constexpr unsigned kSetTimeout = 0xC0045706;
constexpr unsigned kGetTimeout = 0x80045707;

constexpr uint32_t kOptCardReset = 0x0020;  // WDIOF_CARDRESET: the last reset was this one's
constexpr uint32_t kOptSetTimeout = 0x0080;
constexpr uint32_t kOptMagicClose = 0x0100;
constexpr uint32_t kOptKeepAlivePing = 0x8000;
constexpr int kDisableCard = 0x0001;  // WDIOS_DISABLECARD
constexpr int kEnableCard = 0x0002;   // WDIOS_ENABLECARD

constexpr size_t kInfoSize = 40;  // struct watchdog_info: u32 options, u32 version, 32 identity
}  // namespace wdioc

class WatchdogDriver : public simk::CharDriver {
  public:
    static constexpr int kDefaultTimeout = 15;
    static constexpr int kMaxTimeout = 42;

    // `expired` is called once, from the watchdog's own thread, when the timeout runs out.
    // `log` takes lines for the console. `last_reset_was_watchdog` answers WDIOC_GETBOOTSTATUS.
    WatchdogDriver(std::function<void()> expired, std::function<void(std::string)> log,
                   bool last_reset_was_watchdog);
    ~WatchdogDriver() override;

    int open(simk::DriverFile& file) override;
    long write(simk::DriverFile& file, uintptr_t user_buf, size_t count) override;
    long ioctl(simk::DriverFile& file, unsigned int cmd, unsigned long arg) override;
    int release(simk::DriverFile& file) override;

    std::string describe() const;  // "off", "running, 30 s timeout, 12.3 s left", "expired"
    bool running() const;

  private:
    using Clock = std::chrono::steady_clock;
    void keep_alive();  // with mutex_ held
    void start();       // with mutex_ held
    void watch();

    std::function<void()> expired_;
    std::function<void(std::string)> log_;
    const bool card_reset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    bool running_ = false;
    bool fired_ = false;
    bool expect_close_ = false;
    bool quit_ = false;
    int timeout_ = kDefaultTimeout;
    Clock::time_point deadline_;
    std::thread thread_;
};

}  // namespace simboard::peers
