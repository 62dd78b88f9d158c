// Internals shared by the files of the simulated kernel.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <asm/io.h>
#include <asm/uaccess.h>
#include <linux/clk.h>
#include <linux/completion.h>
#include <linux/delay.h>
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/interrupt.h>
#include <linux/ioport.h>
#include <linux/irq.h>
#include <linux/kernel.h>
#include <linux/mm.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/smp_lock.h>
#include <linux/string.h>
#include <linux/time.h>
#include <linux/timer.h>
#include <linux/vmalloc.h>
#include <linux/wait.h>
}

#include "simk.hpp"

namespace simk::detail {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(1000 / HZ);

// ---- The processor -----------------------------------------------------------------------------

// "Interrupts off": the one lock of the simulated processor. Re-entrant for its owner thread.
class CpuLock {
  public:
    void lock();
    void unlock();
    bool held_by_me() const { return owner_.load() == std::this_thread::get_id(); }
    // Gives the lock up entirely (a sleeping task) and returns the depth to take back.
    int release_all();
    void reacquire(int depth);

  private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;
};

CpuLock& cpu();

// Holds the processor (interrupts off) for the kernel's own critical sections.
class IrqGuard {
  public:
    IrqGuard() { cpu().lock(); }
    ~IrqGuard() { cpu().unlock(); }
    IrqGuard(const IrqGuard&) = delete;
    IrqGuard& operator=(const IrqGuard&) = delete;
};

// Per-thread execution context.
struct ThreadContext {
    bool in_interrupt = false;     // running a handler or timer on the processor thread
    bool in_hardirq = false;       // running an interrupt handler
    bool irqs_off = false;         // process context: holds the CPU lock for local_irq_*
    bool handler_irqs_off = true;  // interrupt context: the flag local_irq_* toggles
};
ThreadContext& context();

// The processor thread (core.cpp).
Clock::time_point boot_time();
Clock::time_point time_of_jiffy(unsigned long j);
void timers_changed();  // the earliest timer may have moved
void run_due_timers();  // processor thread, CPU lock held
void drop_all_timers();
void cpu_irq_input(bool level);

// Interrupt entry (irq.cpp): called by the processor with the CPU lock held.
void handle_cpu_irq();
void reset_irqs();
void init_irq_hardware();  // boot: clear pending, unmask the demultiplexed parents
void init_system_tick();   // boot: take timer 4's interrupt
bool module_owns(void* module_handle, const void* address);  // module.cpp
void sweep_irqs(void* module_handle, const char* module_name);
void sweep_timers(void* module_handle, const char* module_name);
void sweep_chrdevs(void* module_handle, const char* module_name);
void sweep_resources(void* module_handle, const char* module_name);

// ---- Tasks -------------------------------------------------------------------------------------

struct TaskState {
    struct task_struct ts {};
    std::condition_variable_any wake;
    bool sigpending = false;
    OpenFile* file = nullptr;  // the open file whose request the task runs
    int bkl_depth = 0;
    bool idle = false;
};

std::recursive_mutex& sched_lock();
TaskState* current_task();
TaskState* task_of(struct task_struct* t);
bool task_signal_pending(TaskState* t);

// Sets the calling thread's current task for one request.
class TaskScope {
  public:
    TaskScope(pid_t pid, OpenFile* file, const char* comm = nullptr);
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

  private:
    TaskState* task_;
    OpenFile* saved_file_;
    pid_t saved_pid_;
    char saved_comm_[TASK_COMM_LEN];
};

void reset_tasks();
void interrupt_file(OpenFile* f);
std::mutex& bkl();  // the big kernel lock
void bkl_release_for_sleep(TaskState* t);
void bkl_reacquire_after_sleep(TaskState* t);

// ---- Memory ------------------------------------------------------------------------------------

void free_all_vmalloc();
// The memfd and offset behind a page of a vmalloc area, or false.
bool page_backing(const struct page* page, int* memfd, off_t* offset);
int empty_memfd();

// ---- I/O space ---------------------------------------------------------------------------------

void reset_io();

// ---- Console -----------------------------------------------------------------------------------

void console_line(std::string_view line);
void flush_console();  // a last line that never got its newline
void reset_clocks();

// ---- Open files --------------------------------------------------------------------------------

}  // namespace simk::detail

namespace simk {

struct OpenFile {
    struct file file {};
    struct inode inode {};
    struct dentry dentry {};
    unsigned major = 0;
    unsigned minor = 0;
    std::atomic<bool> interrupted{false};
};

}  // namespace simk
