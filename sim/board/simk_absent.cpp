// Stand-in for the simulated kernel while sim/kernel is not part of the build: the board boots,
// loads no module and serves no device (every open fails with ENXIO, as for a node whose driver
// is absent). Only compiled when the kernel library does not exist.
#include <cerrno>

#include "../kernel/simk.hpp"

namespace simk {

void boot() {}
void shutdown() {}
void set_console(std::function<void(std::string_view)>) {}
void set_panic_handler(std::function<void(std::string_view)>) {}
int insmod(const std::string&, const std::vector<std::string>&, std::string& error) {
    error = "this simboard was built without the simulated kernel";
    return -ENOSYS;
}
int rmmod(const std::string&) { return -ENOENT; }
std::vector<std::string> loaded_modules() { return {}; }
int dev_open(unsigned, unsigned, int, const Task&, OpenFile**) { return -ENXIO; }
long dev_read(OpenFile*, uintptr_t, size_t, const Task&) { return -EBADF; }
long dev_write(OpenFile*, uintptr_t, size_t, const Task&) { return -EBADF; }
long dev_ioctl(OpenFile*, unsigned int, unsigned long, const Task&) { return -EBADF; }
int dev_release(OpenFile*, const Task&) { return 0; }
void dev_set_owner(OpenFile*, pid_t) {}
int dev_get_flags(OpenFile*) { return -EBADF; }
int dev_set_flags(OpenFile*, int, const Task&) { return -EBADF; }
int dev_mmap(OpenFile*, unsigned long, size_t, int, MmapResult*, const Task&) { return -EBADF; }

}  // namespace simk
