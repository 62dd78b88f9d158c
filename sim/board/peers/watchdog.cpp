#include "watchdog.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "../../../common/le.hpp"

namespace simboard::peers {

namespace {

long put_int(unsigned long arg, int32_t value) {
    return simk::copy_to_user(arg, &value, sizeof value) == 0 ? 0 : -EFAULT;
}

}  // namespace

WatchdogDriver::WatchdogDriver(std::function<void()> expired, std::function<void(std::string)> log,
                               bool last_reset_was_watchdog)
    : expired_(std::move(expired)), log_(std::move(log)), card_reset_(last_reset_was_watchdog) {
    thread_ = std::thread([this] { watch(); });
}

WatchdogDriver::~WatchdogDriver() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void WatchdogDriver::keep_alive() {
    deadline_ = Clock::now() + std::chrono::seconds(timeout_);
    changed_.notify_all();
}

void WatchdogDriver::start() {
    if (!running_) log_("watchdog started, " + std::to_string(timeout_) + " s timeout");
    running_ = true;
    keep_alive();
}

void WatchdogDriver::watch() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
        if (!running_ || fired_) {
            changed_.wait(lock);
            continue;
        }
        const auto deadline = deadline_;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && running_ && !fired_ &&
            deadline_ == deadline && !quit_) {
            fired_ = true;
            log_("watchdog: not kept alive for " + std::to_string(timeout_) +
                 " s: resetting the board");
            lock.unlock();
            expired_();
            lock.lock();
        }
    }
}

int WatchdogDriver::open(simk::DriverFile& file) {
    if (file.minor != 130) return -ENODEV;
    std::lock_guard lock(mutex_);
    if (open_) return -EBUSY;
    open_ = true;
    expect_close_ = false;
    start();
    return 0;
}

int WatchdogDriver::release(simk::DriverFile&) {
    std::lock_guard lock(mutex_);
    open_ = false;
    if (expect_close_) {
        running_ = false;
        changed_.notify_all();
        log_("watchdog stopped");
    } else if (running_) {
        log_("watchdog: unexpected close, not stopping the watchdog");
    }
    expect_close_ = false;
    return 0;
}

long WatchdogDriver::write(simk::DriverFile&, uintptr_t user_buf, size_t count) {
    if (count == 0) return 0;
    std::vector<char> data(count);
    if (simk::copy_from_user(data.data(), user_buf, count) != 0) return -EFAULT;
    std::lock_guard lock(mutex_);
    // A 'V' anywhere in the last write asks for the watchdog to stop at the close.
    expect_close_ = std::memchr(data.data(), 'V', count) != nullptr;
    if (running_) keep_alive();
    return static_cast<long>(count);
}

long WatchdogDriver::ioctl(simk::DriverFile&, unsigned int cmd, unsigned long arg) {
    std::lock_guard lock(mutex_);
    switch (cmd) {
        case wdioc::kGetSupport: {
            std::array<uint8_t, wdioc::kInfoSize> info{};
            le::put_u32(info, 0,
                        wdioc::kOptSetTimeout | wdioc::kOptMagicClose | wdioc::kOptKeepAlivePing);
            le::put_u32(info, 4, 0);
            const char identity[] = "S3C2410 Watchdog";
            std::memcpy(info.data() + 8, identity, sizeof identity);
            return simk::copy_to_user(arg, info.data(), info.size()) == 0 ? 0 : -EFAULT;
        }
        case wdioc::kGetStatus:
            return put_int(arg, 0);
        case wdioc::kGetBootStatus:
            return put_int(arg, card_reset_ ? static_cast<int32_t>(wdioc::kOptCardReset) : 0);
        case wdioc::kSetOptions: {
            int32_t options = 0;
            if (simk::copy_from_user(&options, arg, sizeof options) != 0) return -EFAULT;
            if (options & wdioc::kDisableCard) {
                if (running_) log_("watchdog stopped");
                running_ = false;
                changed_.notify_all();
            }
            if (options & wdioc::kEnableCard) start();
            return 0;
        }
        case wdioc::kKeepAlive:
            if (running_) keep_alive();
            return 0;
        case wdioc::kSetTimeout: {
            int32_t seconds = 0;
            if (simk::copy_from_user(&seconds, arg, sizeof seconds) != 0) return -EFAULT;
            if (seconds < 1 || seconds > kMaxTimeout) return -EINVAL;
            timeout_ = seconds;
            if (running_) keep_alive();
            return put_int(arg, timeout_);
        }
        case wdioc::kGetTimeout:
            return put_int(arg, timeout_);
        default:
            return -ENOTTY;
    }
}

std::string WatchdogDriver::describe() const {
    std::lock_guard lock(mutex_);
    if (fired_) return "expired";
    if (!running_) return "off";
    const double left = std::chrono::duration<double>(deadline_ - Clock::now()).count();
    char text[64];
    std::snprintf(text, sizeof text, "running, %d s timeout, %.1f s left", timeout_,
                  left < 0 ? 0.0 : left);
    return text;
}

bool WatchdogDriver::running() const {
    std::lock_guard lock(mutex_);
    return running_;
}

}  // namespace simboard::peers
