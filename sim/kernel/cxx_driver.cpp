// The board's own character drivers, written in C++, on the kernel's file_operations.
#include <map>
#include <memory>

#include "internal.hpp"

namespace simk {

long CharDriver::read(DriverFile&, uintptr_t, size_t) {
    return -EINVAL;
}
long CharDriver::write(DriverFile&, uintptr_t, size_t) {
    return -EINVAL;
}
long CharDriver::ioctl(DriverFile&, unsigned int, unsigned long) {
    return -ENOTTY;
}

namespace {

struct Registered {
    CharDriver* driver;
    std::string name;
    struct file_operations fops;
};

std::mutex& table_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::map<unsigned, std::unique_ptr<Registered>>& table() {
    static auto* t = new std::map<unsigned, std::unique_ptr<Registered>>;
    return *t;
}

CharDriver* driver_of(struct file* file) {
    std::lock_guard lock(table_mutex());
    auto it = table().find(MAJOR(file->f_path.dentry->d_inode->i_rdev));
    return it == table().end() ? nullptr : it->second->driver;
}

DriverFile* state_of(struct file* file) {
    auto* df = static_cast<DriverFile*>(file->private_data);
    df->pid = get_current()->pid;
    df->flags = static_cast<int>(file->f_flags);
    return df;
}

int cxx_open(struct inode* inode, struct file* file) {
    CharDriver* driver = driver_of(file);
    if (driver == nullptr) return -ENXIO;
    auto df = std::make_unique<DriverFile>();
    df->minor = iminor(inode);
    file->private_data = df.get();
    state_of(file);
    const int r = driver->open(*df);
    if (r != 0) {
        file->private_data = nullptr;
        return r;
    }
    df.release();
    return 0;
}

ssize_t cxx_read(struct file* file, char* buf, size_t count, loff_t*) {
    return driver_of(file)->read(*state_of(file), reinterpret_cast<uintptr_t>(buf), count);
}

ssize_t cxx_write(struct file* file, const char* buf, size_t count, loff_t*) {
    return driver_of(file)->write(*state_of(file), reinterpret_cast<uintptr_t>(buf), count);
}

long cxx_ioctl(struct file* file, unsigned int cmd, unsigned long arg) {
    return driver_of(file)->ioctl(*state_of(file), cmd, arg);
}

int cxx_release(struct inode*, struct file* file) {
    std::unique_ptr<DriverFile> df(state_of(file));
    file->private_data = nullptr;
    CharDriver* driver = driver_of(file);
    return driver == nullptr ? 0 : driver->release(*df);
}

}  // namespace

int register_char_driver(unsigned major, const char* name, CharDriver* driver) {
    auto reg = std::make_unique<Registered>();
    reg->driver = driver;
    reg->name = name != nullptr ? name : "";
    reg->fops.open = cxx_open;
    reg->fops.read = cxx_read;
    reg->fops.write = cxx_write;
    reg->fops.unlocked_ioctl = cxx_ioctl;
    reg->fops.release = cxx_release;
    std::lock_guard lock(table_mutex());
    const int r = register_chrdev(major, reg->name.c_str(), &reg->fops);
    if (r < 0) return r;
    const unsigned got = major == 0 ? static_cast<unsigned>(r) : major;
    table()[got] = std::move(reg);
    return r;
}

void unregister_char_driver(unsigned major) {
    std::lock_guard lock(table_mutex());
    auto it = table().find(major);
    if (it == table().end()) return;
    unregister_chrdev(major, it->second->name.c_str());
    table().erase(it);
}

}  // namespace simk
