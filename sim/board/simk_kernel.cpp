#include "simk_kernel.hpp"

#include "../kernel/simk.hpp"

namespace simboard {

namespace {

simk::OpenFile* file(DeviceKernel::Handle h) {
    return reinterpret_cast<simk::OpenFile*>(h);
}
simk::Task task_of(pid_t pid) {
    return simk::Task{pid};
}

}  // namespace

int SimkKernel::open(unsigned major, unsigned minor, int flags, pid_t task, Handle* out) {
    simk::OpenFile* f = nullptr;
    const int rc = simk::dev_open(major, minor, flags, task_of(task), &f);
    if (rc >= 0) *out = reinterpret_cast<Handle>(f);
    return rc;
}

long SimkKernel::read(Handle f, uintptr_t user_buf, size_t count, pid_t task) {
    return simk::dev_read(file(f), user_buf, count, task_of(task));
}

long SimkKernel::write(Handle f, uintptr_t user_buf, size_t count, pid_t task) {
    return simk::dev_write(file(f), user_buf, count, task_of(task));
}

long SimkKernel::ioctl(Handle f, unsigned int cmd, unsigned long arg, pid_t task) {
    return simk::dev_ioctl(file(f), cmd, arg, task_of(task));
}

int SimkKernel::mmap(Handle f, unsigned long pgoff, size_t length, int prot, MmapArea* out,
                     pid_t task) {
    simk::MmapResult result;
    const int rc = simk::dev_mmap(file(f), pgoff, length, prot, &result, task_of(task));
    out->memfd = result.memfd;
    out->offset = result.memfd_offset;
    out->valid_length = result.valid_length;
    return rc;
}

void SimkKernel::set_owner(Handle f, pid_t owner) {
    simk::dev_set_owner(file(f), owner);
}

int SimkKernel::get_flags(Handle f) {
    return simk::dev_get_flags(file(f));
}

int SimkKernel::set_flags(Handle f, int flags, pid_t task) {
    return simk::dev_set_flags(file(f), flags, task_of(task));
}

int SimkKernel::release(Handle f, pid_t task) {
    return simk::dev_release(file(f), task_of(task));
}

void SimkKernel::interrupt(Handle f, pid_t) {
    simk::dev_interrupt(file(f));
}

}  // namespace simboard
