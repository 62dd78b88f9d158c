// The simulated processor: the "interrupts off" lock, jiffies, kernel timers, busy waits, and
// the thread that runs interrupt handlers and timer functions.
#include <pthread.h>
#include <signal.h>

#include <ctime>

#include "hw.hpp"
#include "internal.hpp"

namespace simk::detail {

// ---- The CPU lock ------------------------------------------------------------------------------

void CpuLock::lock() {
    if (held_by_me()) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    depth_ = 1;
}

void CpuLock::unlock() {
    if (--depth_ == 0) {
        owner_.store(std::thread::id{});
        mutex_.unlock();
    }
}

int CpuLock::release_all() {
    const int depth = depth_;
    depth_ = 0;
    owner_.store(std::thread::id{});
    mutex_.unlock();
    return depth;
}

void CpuLock::reacquire(int depth) {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    depth_ = depth;
}

CpuLock& cpu() {
    static CpuLock* lock = new CpuLock;
    return *lock;
}

ThreadContext& context() {
    thread_local ThreadContext ctx;
    return ctx;
}

// ---- The processor thread ----------------------------------------------------------------------

namespace {

struct Processor {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    bool irq_line = false;
    bool have_timer = false;
    unsigned long next_expiry = 0;
    std::thread thread;
    bool running = false;
};

Processor& proc() {
    static Processor* p = new Processor;
    return *p;
}

std::atomic<int64_t> boot_ns{Clock::now().time_since_epoch().count()};

// The timers, sorted by expiry; under the CPU lock.
LIST_HEAD(timer_list_head);
struct timer_list* running_timer = nullptr;

void run_processor() {
    // The processor takes no signals: they belong to the board's own threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    Processor& p = proc();
    for (;;) {
        {
            std::unique_lock lock(p.mutex);
            for (;;) {
                if (p.stop) return;
                if (p.irq_line) break;
                if (p.have_timer) {
                    const auto deadline = time_of_jiffy(p.next_expiry);
                    if (Clock::now() >= deadline) break;
                    p.wake.wait_until(lock, deadline);
                } else {
                    p.wake.wait(lock);
                }
            }
        }
        IrqGuard irqs_off;
        ThreadContext& ctx = context();
        ctx.in_interrupt = true;
        ctx.handler_irqs_off = true;
        bool line = false;
        {
            std::lock_guard lock(p.mutex);
            line = p.irq_line;
        }
        if (line) handle_cpu_irq();
        run_due_timers();
        ctx.in_interrupt = false;
    }
}

}  // namespace

Clock::time_point boot_time() {
    return Clock::time_point(Clock::duration(boot_ns.load()));
}

Clock::time_point time_of_jiffy(unsigned long j) {
    const long ticks = static_cast<long>(j - INITIAL_JIFFIES);
    return boot_time() + ticks * kTick;
}

void cpu_irq_input(bool level) {
    Processor& p = proc();
    std::lock_guard lock(p.mutex);
    p.irq_line = level;
    if (level) p.wake.notify_one();
}

// Under the CPU lock.
void timers_changed() {
    Processor& p = proc();
    std::lock_guard lock(p.mutex);
    if (list_empty(&timer_list_head)) {
        p.have_timer = false;
        return;
    }
    auto* first = list_entry(timer_list_head.next, struct timer_list, entry);
    if (!p.have_timer || first->expires != p.next_expiry) {
        p.have_timer = true;
        p.next_expiry = first->expires;
        p.wake.notify_one();
    }
}

void run_due_timers() {
    while (!list_empty(&timer_list_head)) {
        auto* t = list_entry(timer_list_head.next, struct timer_list, entry);
        if (!time_after_eq(__simk_jiffies(), t->expires)) break;
        list_del(&t->entry);  // next = NULL: no longer pending
        timers_changed();
        void (*fn)(unsigned long) = t->function;
        const unsigned long data = t->data;
        running_timer = t;
        context().handler_irqs_off = true;
        fn(data);
        running_timer = nullptr;
        bool line = false;
        {
            std::lock_guard lock(proc().mutex);
            line = proc().irq_line;
        }
        if (line) handle_cpu_irq();
    }
    timers_changed();
}

void drop_all_timers() {
    IrqGuard irqs_off;
    while (!list_empty(&timer_list_head)) list_del(timer_list_head.next);
    timers_changed();
}

void sweep_timers(void* module_handle, const char* module_name) {
    IrqGuard irqs_off;
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &timer_list_head) {
        auto* t = list_entry(pos, struct timer_list, entry);
        if (module_owns(module_handle, reinterpret_cast<const void*>(t->function)) ||
            module_owns(module_handle, t)) {
            printk(KERN_ERR "%s: timer %p still pending at unload; removed\n", module_name,
                   static_cast<void*>(t));
            list_del(pos);
        }
    }
    timers_changed();
}

}  // namespace simk::detail

using namespace simk::detail;

// ---- Lifecycle ---------------------------------------------------------------------------------

namespace simk {

void boot() {
    Processor& p = proc();
    if (p.running) return;
    boot_ns.store(Clock::now().time_since_epoch().count());
    reset_tasks();
    reset_clocks();
    reset_irqs();
    init_irq_hardware();
    init_system_tick();
    hw::set_cpu_irq_receiver(cpu_irq_input);
    {
        std::lock_guard lock(p.mutex);
        p.stop = false;
    }
    p.thread = std::thread(run_processor);
    p.running = true;
}

void shutdown() {
    Processor& p = proc();
    if (!p.running) return;
    for (const auto& name : loaded_modules()) {
        printk(KERN_WARNING "shutdown: module %s still loaded; removing it\n", name.c_str());
        rmmod(name);
    }
    {
        std::lock_guard lock(p.mutex);
        p.stop = true;
        p.wake.notify_one();
    }
    p.thread.join();
    p.running = false;
    hw::set_cpu_irq_receiver(nullptr);
    {
        std::lock_guard lock(p.mutex);
        p.irq_line = false;
    }
    drop_all_timers();
    reset_irqs();
    free_all_vmalloc();
    reset_io();
    flush_console();
}

bool booted() {
    return proc().running;
}

unsigned long jiffies() {
    return __simk_jiffies();
}

}  // namespace simk

// ---- The kernel API ----------------------------------------------------------------------------

extern "C" {

unsigned long __simk_jiffies(void) {
    const auto elapsed = Clock::now() - boot_time();
    return INITIAL_JIFFIES + static_cast<unsigned long>(elapsed / kTick);
}

u64 get_jiffies_64(void) {
    return __simk_jiffies();
}

unsigned long __simk_local_irq_save(void) {
    const unsigned long flags = __simk_irqs_disabled();
    __simk_local_irq_disable();
    return flags;
}

void __simk_local_irq_restore(unsigned long flags) {
    if (flags) {
        __simk_local_irq_disable();
    } else {
        __simk_local_irq_enable();
    }
}

void __simk_local_irq_disable(void) {
    ThreadContext& ctx = context();
    if (ctx.in_interrupt) {
        ctx.handler_irqs_off = true;
    } else if (!ctx.irqs_off) {
        cpu().lock();
        ctx.irqs_off = true;
    }
}

void __simk_local_irq_enable(void) {
    ThreadContext& ctx = context();
    if (ctx.in_interrupt) {
        // A handler keeps the processor to itself until it returns: handlers and timers run
        // one at a time.
        ctx.handler_irqs_off = false;
    } else if (ctx.irqs_off) {
        ctx.irqs_off = false;
        cpu().unlock();
    }
}

unsigned long __simk_irqs_disabled(void) {
    const ThreadContext& ctx = context();
    return ctx.in_interrupt ? ctx.handler_irqs_off : ctx.irqs_off;
}

int __simk_in_interrupt(void) {
    return context().in_interrupt;
}

int __simk_in_irq(void) {
    return context().in_hardirq;
}

// ---- Timers ------------------------------------------------------------------------------------

void init_timer(struct timer_list* timer) {
    timer->entry.next = nullptr;
    timer->entry.prev = nullptr;
    timer->base = nullptr;
}

static void enqueue_timer(struct timer_list* timer) {
    struct list_head* pos;
    list_for_each(pos, &timer_list_head) {
        auto* t = list_entry(pos, struct timer_list, entry);
        if (time_before(timer->expires, t->expires)) break;
    }
    __list_add(&timer->entry, pos->prev, pos);
    timers_changed();
}

static int detach_timer(struct timer_list* timer) {
    if (timer->entry.next == nullptr) return 0;
    list_del(&timer->entry);
    timers_changed();
    return 1;
}

void add_timer(struct timer_list* timer) {
    if (timer_pending(timer)) {
        printk(KERN_ERR "add_timer: timer %p already pending\n", static_cast<void*>(timer));
        __simk_bug(__FILE__, __LINE__);
    }
    mod_timer(timer, timer->expires);
}

int mod_timer(struct timer_list* timer, unsigned long expires) {
    if (timer->function == nullptr) {
        printk(KERN_ERR "mod_timer: timer %p has no function\n", static_cast<void*>(timer));
        __simk_bug(__FILE__, __LINE__);
    }
    IrqGuard irqs_off;
    const int was_pending = detach_timer(timer);
    timer->expires = expires;
    enqueue_timer(timer);
    return was_pending;
}

int del_timer(struct timer_list* timer) {
    IrqGuard irqs_off;
    return detach_timer(timer);
}

// A timer function runs with the processor held, so once we hold it no function is running
// (unless it is the caller itself, deleting its own timer).
int try_to_del_timer_sync(struct timer_list* timer) {
    IrqGuard irqs_off;
    if (running_timer == timer && context().in_interrupt) return -1;
    return detach_timer(timer);
}

int del_timer_sync(struct timer_list* timer) {
    IrqGuard irqs_off;
    return detach_timer(timer);
}

// ---- Busy waits --------------------------------------------------------------------------------

static void spin_for(std::chrono::nanoseconds duration) {
    const auto end = Clock::now() + duration;
    while (Clock::now() < end) {
        // A real busy wait: the caller keeps the processor, as udelay does on the board.
    }
}

void __simk_udelay(unsigned long usecs) {
    spin_for(std::chrono::microseconds(usecs));
}

void __simk_ndelay(unsigned long nsecs) {
    spin_for(std::chrono::nanoseconds(nsecs));
}

void do_gettimeofday(struct timeval* tv) {
    struct ::timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
}

}  // extern "C"
