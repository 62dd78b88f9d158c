// Host-side interface of the simulated kernel.
//
// The simulated kernel (sim/kernel) implements the part of the Linux 2.6.20 kernel API that the
// two modules use, in user space, inside simboard. This header is what the rest of simboard (the
// device server, boot and reboot, the board's own C++ device drivers, tests) uses to drive it.
// Modules and the board's own device drivers see only the kernel API headers
// (sim/kernel/include/linux/..., asm/..., asm/arch/...).
//
// Contexts:
//   - process context: a device-server thread handling one request of a user program. It has a
//     current task (the program's pid); copy_to_user() and friends reach that program's memory
//     with process_vm_readv/process_vm_writev and fail exactly where the kernel's would.
//   - interrupt context: interrupt handlers and timer functions, run one at a time by the
//     simulated processor under the one "interrupts off" lock that local_irq_save() and
//     spin_lock_irqsave() also take.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace simk {

// ---- Lifecycle -------------------------------------------------------------------------------

// Starts the simulated processor (jiffies at HZ = 200 from the monotonic clock, kernel timers,
// interrupt delivery). Safe to call again after shutdown() (a reboot). The board resets its
// hardware models first (hw::reset_all()); boot then clears what is pending in the interrupt
// controller, unmasks the parents of the demultiplexed interrupts and takes the system tick's
// interrupt (timer 4), as the kernel's set-up does.
void boot();
// Stops the processor: pending timers are dropped, interrupt handlers unregistered, vmalloc areas
// and ioremap()s freed. Open files must have been released and modules removed (rmmod) first; a
// module still loaded is removed with a warning. The board's C++ drivers stay registered.
void shutdown();
bool booted();
// Interrupts of the system tick (timer 4) taken since boot. Jiffies follow the monotonic clock
// whatever timer 4 does: a tick timer programmed for another rate shows here, and in the PWM
// model's log, not in the kernel's time.
uint64_t tick_interrupts();

// Where printk() lines go (without their "<n>" level prefix, one call per line). Default: stderr.
// The hardware models' log (hw::log) goes to the same sink. The sink is called with kernel and
// machine locks held: it must only record or queue the line, never call into the kernel or the
// models.
void set_console(std::function<void(std::string_view line)> sink);
// Called by panic() after the message was printed; the board halts or resets. Must not return
// into the caller (the default aborts the process).
void set_panic_handler(std::function<void(std::string_view message)> handler);

// ---- Modules ---------------------------------------------------------------------------------

// insmod: dlopen the module's shared object, apply "name=value" parameters to its module_param
// variables, call its init function. Returns the init result (0 or -errno); on any failure the
// module is unloaded again and `error` says why.
int insmod(const std::string& so_path, const std::vector<std::string>& params, std::string& error);
// rmmod: call the module's exit function and dlclose it. Returns 0, -ENOENT (not loaded) or
// -EBUSY (a file of the module is still open, or the module has no exit function).
// After a failed init and after the exit function, whatever the module left registered
// (character devices, interrupt handlers, pending timers pointing into it) is reported on the
// console and removed, so that nothing calls into the unloaded code.
int rmmod(const std::string& module_name);
// Names of the loaded modules, in load order (the shared object's base name without ".so").
std::vector<std::string> loaded_modules();

// ---- Device files ----------------------------------------------------------------------------

// The user process on whose behalf a request runs.
struct Task {
    pid_t pid = 0;
};

// One open file of a character device (wraps the kernel's struct file and its inode).
struct OpenFile;

// All return 0 (or a count) on success and -errno on failure, as the system call would.
// Every call runs in process context with `task` as the current task.
int dev_open(unsigned major, unsigned minor, int flags, const Task& task, OpenFile** out);
long dev_read(OpenFile* f, uintptr_t user_buf, size_t count, const Task& task);
long dev_write(OpenFile* f, uintptr_t user_buf, size_t count, const Task& task);
long dev_ioctl(OpenFile* f, unsigned int cmd, unsigned long arg, const Task& task);
// Calls the driver's release (if any) and frees the file. Also used when the program died.
int dev_release(OpenFile* f, const Task& task);

// fcntl(F_SETOWN): the process that gets this file's SIGIO from kill_fasync().
void dev_set_owner(OpenFile* f, pid_t owner);
int dev_get_flags(OpenFile* f);
// fcntl(F_SETFL): changes O_NONBLOCK/O_ASYNC; toggling O_ASYNC calls the driver's fasync.
int dev_set_flags(OpenFile* f, int flags, const Task& task);

// mmap: runs the driver's mmap, then its fault handler (.nopage) page by page to find the pages
// behind [pgoff, pgoff + length). Kernel memory handed out this way comes from vmalloc areas,
// each backed by its own memfd of exactly the area's size, so the caller maps `memfd` at
// `memfd_offset` for the whole length it asked for: a touch past the area is a real SIGBUS.
// `memfd` stays owned by the kernel (the caller sends a duplicate to the program).
struct MmapResult {
    int memfd = -1;
    off_t memfd_offset = 0;
    size_t valid_length = 0;  // bytes backed by pages the fault handler returned
};
int dev_mmap(OpenFile* f, unsigned long pgoff, size_t length, int prot, MmapResult* out,
             const Task& task);

// poll: the driver's poll mask; with a timeout (ms, -1 = none) sleeps until the driver wakes one
// of the queues it registered, like poll(2). Without a .poll the file is always ready.
int dev_poll(OpenFile* f, int events, int timeout_ms, const Task& task);
// lseek: the driver's llseek, or the default one (f_pos) when it has none.
long long dev_llseek(OpenFile* f, long long offset, int whence, const Task& task);

// ---- Interrupting requests -------------------------------------------------------------------

// The program behind `f` went away in the middle of a request: an interruptible sleep of that
// request (and of any later one on `f`) returns at once as if a signal had arrived; the driver
// sees signal_pending() and usually returns -ERESTARTSYS, which dev_* report as -EINTR.
void dev_interrupt(OpenFile* f);
// The same for every request running on behalf of the process `pid` (until its next request).
void interrupt_task(pid_t pid);

// ---- The board's own character drivers -------------------------------------------------------

// A character driver written in C++ (the board's /dev/i2c-0, /dev/watchdog, /dev/dsp). It is
// registered on the same table as the modules' drivers (register_chrdev) and reached through the
// same dev_* calls. Every method runs in process context on behalf of `file.pid`; it may sleep
// with sleep_interruptible() and reach the program's memory with the copy functions below.
struct DriverFile {
    unsigned minor = 0;
    int flags = 0;  // open flags (O_ACCMODE, O_NONBLOCK, O_ASYNC)
    pid_t pid = 0;  // the task of the current request
    void* private_data = nullptr;
};

class CharDriver {
  public:
    virtual ~CharDriver() = default;
    virtual int open(DriverFile& file) {
        (void)file;
        return 0;
    }
    virtual long read(DriverFile& file, uintptr_t user_buf, size_t count);
    virtual long write(DriverFile& file, uintptr_t user_buf, size_t count);
    virtual long ioctl(DriverFile& file, unsigned int cmd, unsigned long arg);
    virtual int release(DriverFile& file) {
        (void)file;
        return 0;
    }
};

// Returns 0 (or the major given out for major 0) or -errno, as register_chrdev.
int register_char_driver(unsigned major, const char* name, CharDriver* driver);
void unregister_char_driver(unsigned major);

// The current task's memory (process context): the number of bytes NOT copied, as the kernel.
size_t copy_to_user(uintptr_t user_dst, const void* src, size_t n);
size_t copy_from_user(void* dst, uintptr_t user_src, size_t n);
// Sleeps `duration`; false when the request was interrupted (dev_interrupt) before its end.
bool sleep_interruptible(std::chrono::nanoseconds duration);

// ---- Time ------------------------------------------------------------------------------------

// jiffies (HZ = 200) since the last boot().
unsigned long jiffies();

}  // namespace simk
