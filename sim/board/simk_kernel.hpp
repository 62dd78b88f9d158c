// The device server's kernel: the simulated kernel of sim/kernel.
#pragma once

#include "devserver.hpp"

namespace simboard {

class SimkKernel : public DeviceKernel {
  public:
    int open(unsigned major, unsigned minor, int flags, pid_t task, Handle* out) override;
    long read(Handle f, uintptr_t user_buf, size_t count, pid_t task) override;
    long write(Handle f, uintptr_t user_buf, size_t count, pid_t task) override;
    long ioctl(Handle f, unsigned int cmd, unsigned long arg, pid_t task) override;
    int mmap(Handle f, unsigned long pgoff, size_t length, int prot, MmapArea* out,
             pid_t task) override;
    void set_owner(Handle f, pid_t owner) override;
    int get_flags(Handle f) override;
    int set_flags(Handle f, int flags, pid_t task) override;
    int release(Handle f, pid_t task) override;
    void interrupt(Handle f, pid_t task) override;
};

}  // namespace simboard
