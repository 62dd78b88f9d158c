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

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace simk {

// ---- Lifecycle -------------------------------------------------------------------------------

// Starts the simulated processor (jiffies at HZ = 200 from the monotonic clock, kernel timers,
// interrupt delivery). Safe to call again after shutdown() (a reboot).
void boot();
// Stops the processor: pending timers are dropped, interrupt handlers unregistered, vmalloc areas
// freed. Modules must have been removed (rmmod) first.
void shutdown();

// Where printk() lines go (without their "<n>" level prefix, one call per line). Default: stderr.
void set_console(std::function<void(std::string_view line)> sink);
// Called by panic() after the message was printed; the board halts or resets. Must not return
// into the caller (the default aborts the process).
void set_panic_handler(std::function<void(std::string_view message)> handler);

// ---- Modules ---------------------------------------------------------------------------------

// insmod: dlopen the module's shared object, apply "name=value" parameters to its module_param
// variables, call its init function. Returns the init result (0 or -errno); on any failure the
// module is unloaded again and `error` says why.
int insmod(const std::string& so_path, const std::vector<std::string>& params, std::string& error);
// rmmod: call the module's exit function and dlclose it. Returns 0 or -ENOENT.
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

}  // namespace simk
