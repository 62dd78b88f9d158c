// The hardware framework: machine lock, physical address dispatch, lines, the hardware clock.
#include "hw.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>

namespace hw {

std::recursive_mutex& machine_lock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

// ---- Log ---------------------------------------------------------------------------------------

namespace {

std::mutex& log_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::function<void(std::string_view)>& log_sink() {
    static auto* sink = new std::function<void(std::string_view)>;
    return *sink;
}

}  // namespace

void set_log_sink(std::function<void(std::string_view line)> sink) {
    std::lock_guard lock(log_mutex());
    log_sink() = std::move(sink);
}

void log(std::string_view line) {
    std::lock_guard lock(log_mutex());
    if (log_sink()) {
        log_sink()(line);
    } else {
        std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    }
}

void logf(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    log(buf);
}

// ---- Devices and the bus -----------------------------------------------------------------------

namespace {

struct Region {
    uint32_t base;
    uint32_t size;
    Device* device;
};

// Both under the machine lock.
std::map<uint32_t, Region>& regions() {
    static auto* r = new std::map<uint32_t, Region>;
    return *r;
}

std::vector<Device*>& devices() {
    static auto* d = new std::vector<Device*>;
    return *d;
}

std::set<uint32_t>& reported_pages() {
    static auto* p = new std::set<uint32_t>;
    return *p;
}

const Region* find_region(uint32_t phys) {
    auto& map = regions();
    auto it = map.upper_bound(phys);
    if (it == map.begin()) return nullptr;
    --it;
    const Region& r = it->second;
    if (phys - r.base < r.size) return &r;
    return nullptr;
}

void report_unmapped(const char* what, uint32_t phys) {
    if (reported_pages().insert(phys & ~0xFFFu).second) {
        logf("hw: %s of physical address 0x%08x: no device there", what, phys);
    }
}

}  // namespace

Device::Device(std::string name) : name_(std::move(name)) {
    MachineGuard guard(machine_lock());
    devices().push_back(this);
}

Device::~Device() {
    MachineGuard guard(machine_lock());
    auto& list = devices();
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

MmioMapping::MmioMapping(uint32_t base, uint32_t size, Device* device)
    : base_(base), size_(size), device_(device) {}

MmioMapping::MmioMapping(MmioMapping&& other) noexcept
    : base_(other.base_), size_(other.size_), device_(other.device_) {
    other.device_ = nullptr;
}

MmioMapping& MmioMapping::operator=(MmioMapping&& other) noexcept {
    if (this != &other) {
        release();
        base_ = other.base_;
        size_ = other.size_;
        device_ = other.device_;
        other.device_ = nullptr;
    }
    return *this;
}

MmioMapping::~MmioMapping() {
    release();
}

void MmioMapping::release() {
    if (device_ == nullptr) return;
    MachineGuard guard(machine_lock());
    auto it = regions().find(base_);
    if (it != regions().end() && it->second.device == device_) regions().erase(it);
    device_ = nullptr;
}

MmioMapping map_mmio(uint32_t base, uint32_t size, Device& device) {
    MachineGuard guard(machine_lock());
    auto& map = regions();
    const uint64_t end = uint64_t{base} + size;
    for (const auto& [start, r] : map) {
        if (base < uint64_t{r.base} + r.size && r.base < end) {
            logf("hw: %s at 0x%08x overlaps %s at 0x%08x", device.name().c_str(), base,
                 r.device->name().c_str(), r.base);
            std::abort();
        }
    }
    map[base] = Region{base, size, &device};
    return MmioMapping(base, size, &device);
}

uint32_t mmio_read(uint32_t phys, unsigned size) {
    MachineGuard guard(machine_lock());
    const Region* r = find_region(phys);
    if (r == nullptr) {
        report_unmapped("read", phys);
        return 0;
    }
    const uint32_t value = r->device->read(phys - r->base, size);
    switch (size) {
        case 1:
            return value & 0xFFu;
        case 2:
            return value & 0xFFFFu;
        default:
            return value;
    }
}

void mmio_write(uint32_t phys, uint32_t value, unsigned size) {
    MachineGuard guard(machine_lock());
    const Region* r = find_region(phys);
    if (r == nullptr) {
        report_unmapped("write", phys);
        return;
    }
    r->device->write(phys - r->base, value, size);
}

const Device* device_at(uint32_t phys) {
    MachineGuard guard(machine_lock());
    const Region* r = find_region(phys);
    return r == nullptr ? nullptr : r->device;
}

void reset_all() {
    MachineGuard guard(machine_lock());
    reported_pages().clear();
    // A reset may create or destroy nothing, but copy anyway: a model's reset may touch others.
    const std::vector<Device*> list = devices();
    for (Device* d : list) d->reset();
}

// ---- Lines -------------------------------------------------------------------------------------

void Line::connect(std::function<void(bool level)> listener) {
    MachineGuard guard(machine_lock());
    listeners_.push_back(std::move(listener));
}

void Line::set(bool level) {
    MachineGuard guard(machine_lock());
    if (level == level_) return;
    level_ = level;
    for (auto& listener : listeners_) listener(level);
}

void Line::pulse() {
    MachineGuard guard(machine_lock());
    set(true);
    set(false);
}

// ---- The hardware clock ------------------------------------------------------------------------

// Runs due timer callbacks in time order on its own thread. Lock order: machine lock, then the
// scheduler's mutex; the thread never holds its mutex while it takes the machine lock.
class Scheduler {
  public:
    static Scheduler& get() {
        // Never destroyed: timers of static models may outlive any static of ours.
        static Scheduler* s = new Scheduler;
        return *s;
    }

    uint64_t add(Timer* timer) {
        std::lock_guard lock(mutex_);
        const uint64_t id = next_id_++;
        timers_[id] = Entry{timer, {}, false};
        return id;
    }

    void remove(uint64_t id) {
        std::lock_guard lock(mutex_);
        unqueue(id);
        timers_.erase(id);
    }

    void arm(uint64_t id, Clock::time_point when) {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        if (it == timers_.end()) return;
        unqueue(id);
        it->second.when = when;
        it->second.armed = true;
        queue_.insert({when, id});
        if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
        wake_.notify_one();
    }

    void cancel(uint64_t id) {
        std::lock_guard lock(mutex_);
        unqueue(id);
    }

    bool armed(uint64_t id) {
        std::lock_guard lock(mutex_);
        auto it = timers_.find(id);
        return it != timers_.end() && it->second.armed;
    }

  private:
    struct Entry {
        Timer* timer;
        Clock::time_point when;
        bool armed;
    };

    void unqueue(uint64_t id) {
        auto it = timers_.find(id);
        if (it == timers_.end() || !it->second.armed) return;
        queue_.erase({it->second.when, id});
        it->second.armed = false;
    }

    void run() {
        // Hardware takes no signals: they belong to the board's own threads.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex_);
        for (;;) {
            if (queue_.empty()) {
                wake_.wait(lock);
                continue;
            }
            const auto [when, id] = *queue_.begin();
            if (Clock::now() < when) {
                wake_.wait_until(lock, when);
                continue;
            }
            lock.unlock();
            fire(id, when);
            lock.lock();
        }
    }

    // Runs one timer if it is still armed for the same time once the machine lock is held (a
    // cancel or re-arm in between wins).
    void fire(uint64_t id, Clock::time_point when) {
        MachineGuard guard(machine_lock());
        Timer* timer = nullptr;
        {
            std::lock_guard lock(mutex_);
            auto it = timers_.find(id);
            if (it == timers_.end() || !it->second.armed || it->second.when != when) return;
            unqueue(id);
            timer = it->second.timer;
        }
        timer->callback_();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::map<uint64_t, Entry> timers_;
    std::set<std::pair<Clock::time_point, uint64_t>> queue_;
    uint64_t next_id_ = 1;
    std::thread thread_;
};

Timer::Timer(std::function<void()> callback)
    : callback_(std::move(callback)), id_(Scheduler::get().add(this)) {}

Timer::~Timer() {
    MachineGuard guard(machine_lock());
    Scheduler::get().remove(id_);
}

void Timer::arm_at(Clock::time_point when) {
    Scheduler::get().arm(id_, when);
}

void Timer::cancel() {
    Scheduler::get().cancel(id_);
}

bool Timer::armed() const {
    return Scheduler::get().armed(id_);
}

// ---- The processor's interrupt input -----------------------------------------------------------

namespace {

std::function<void(bool)>& cpu_receiver() {
    static auto* r = new std::function<void(bool)>;
    return *r;
}

bool cpu_level = false;  // under the machine lock

}  // namespace

void set_cpu_irq_receiver(std::function<void(bool level)> receiver) {
    MachineGuard guard(machine_lock());
    cpu_receiver() = std::move(receiver);
    if (cpu_receiver()) cpu_receiver()(cpu_level);
}

void set_cpu_irq(bool level) {
    MachineGuard guard(machine_lock());
    if (level == cpu_level) return;
    cpu_level = level;
    if (cpu_receiver()) cpu_receiver()(level);
}

bool cpu_irq_level() {
    MachineGuard guard(machine_lock());
    return cpu_level;
}

}  // namespace hw
