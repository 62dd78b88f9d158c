// Character devices: the chrdev table, the file operations as the VFS calls them for the device
// server, asynchronous notification (SIGIO), poll and mmap.
#include <sys/mman.h>

#include <map>
#include <memory>
#include <vector>

#include "internal.hpp"

extern "C" {
#include <asm/ioctls.h>
}

namespace simk::detail {

namespace {

struct Chrdev {
    std::string name;
    const struct file_operations* fops;
};

std::mutex& chrdev_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::map<unsigned, Chrdev>& chrdevs() {
    static auto* c = new std::map<unsigned, Chrdev>;
    return *c;
}

long user_result(long r) {
    if (r == -ERESTARTSYS || r == -ERESTARTNOINTR || r == -ERESTARTNOHAND ||
        r == -ERESTART_RESTARTBLOCK) {
        return -EINTR;
    }
    return r;
}

constexpr unsigned kSetflMask = O_APPEND | O_NONBLOCK | O_ASYNC;

}  // namespace

void sweep_chrdevs(void* module_handle, const char* module_name) {
    std::lock_guard lock(chrdev_mutex());
    auto& map = chrdevs();
    for (auto it = map.begin(); it != map.end();) {
        if (module_owns(module_handle, it->second.fops)) {
            printk(KERN_ERR "%s: character device %u (%s) still registered at unload; removed\n",
                   module_name, it->first, it->second.name.c_str());
            it = map.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace simk::detail

using namespace simk::detail;

extern "C" {

int register_chrdev(unsigned int major, const char* name, const struct file_operations* fops) {
    std::lock_guard lock(chrdev_mutex());
    auto& map = chrdevs();
    if (major == 0) {
        for (unsigned m = 254; m > 0; --m) {
            if (map.find(m) == map.end()) {
                map[m] = Chrdev{name != nullptr ? name : "", fops};
                return static_cast<int>(m);
            }
        }
        return -EBUSY;
    }
    if (major >= CHRDEV_MAJOR_MAX) return -EINVAL;
    if (map.find(major) != map.end()) return -EBUSY;
    map[major] = Chrdev{name != nullptr ? name : "", fops};
    return 0;
}

// As in 2.6.20 it always succeeds; a major that is not registered or a name that does not match
// is reported.
int unregister_chrdev(unsigned int major, const char* name) {
    std::lock_guard lock(chrdev_mutex());
    auto& map = chrdevs();
    auto it = map.find(major);
    if (it == map.end()) {
        printk(KERN_WARNING "unregister_chrdev: major %u is not registered\n", major);
        return 0;
    }
    if (name == nullptr || it->second.name != name) {
        printk(KERN_WARNING "unregister_chrdev: major %u is \"%s\", not \"%s\"\n", major,
               it->second.name.c_str(), name != nullptr ? name : "(null)");
    }
    map.erase(it);
    return 0;
}

loff_t no_llseek(struct file*, loff_t, int) {
    return -ESPIPE;
}

loff_t default_llseek(struct file* file, loff_t offset, int origin) {
    switch (origin) {
        case SEEK_END:
            offset += file->f_path.dentry->d_inode->i_size;
            break;
        case SEEK_CUR:
            offset += file->f_pos;
            break;
        case SEEK_SET:
            break;
        default:
            return -EINVAL;
    }
    if (offset < 0) return -EINVAL;
    file->f_pos = offset;
    return offset;
}

int nonseekable_open(struct inode*, struct file* filp) {
    filp->f_mode &= ~(FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE);
    return 0;
}

// ---- Asynchronous notification -----------------------------------------------------------------

static std::mutex& fasync_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

int fasync_helper(int fd, struct file* filp, int on, struct fasync_struct** fapp) {
    struct fasync_struct* fresh = nullptr;
    if (on) {
        fresh = static_cast<struct fasync_struct*>(kzalloc(sizeof *fresh, GFP_KERNEL));
        if (fresh == nullptr) return -ENOMEM;
    }
    std::lock_guard lock(fasync_mutex());
    for (struct fasync_struct** fp = fapp; *fp != nullptr; fp = &(*fp)->fa_next) {
        struct fasync_struct* fa = *fp;
        if (fa->fa_file == filp) {
            if (on) {
                fa->fa_fd = fd;
                kfree(fresh);
                return 0;
            }
            *fp = fa->fa_next;
            kfree(fa);
            return 1;
        }
    }
    if (on) {
        fresh->magic = FASYNC_MAGIC;
        fresh->fa_file = filp;
        fresh->fa_fd = fd;
        fresh->fa_next = *fapp;
        *fapp = fresh;
        return 1;
    }
    return 0;
}

static void send_sigio(struct fown_struct* fown) {
    const int pid = fown->pid;
    if (pid == 0) return;
    ::kill(pid, fown->signum != 0 ? fown->signum : SIGIO);
}

void __kill_fasync(struct fasync_struct* fa, int sig, int) {
    for (; fa != nullptr; fa = fa->fa_next) {
        if (fa->magic != FASYNC_MAGIC) {
            printk(KERN_ERR "kill_fasync: bad magic number in fasync_struct!\n");
            return;
        }
        struct fown_struct* fown = &fa->fa_file->f_owner;
        // Don't send SIGURG to processes which have not set a queued signum.
        if (!(sig == SIGURG && fown->signum == 0)) send_sigio(fown);
    }
}

void kill_fasync(struct fasync_struct** fp, int sig, int band) {
    if (*fp == nullptr) return;
    std::lock_guard lock(fasync_mutex());
    __kill_fasync(*fp, sig, band);
}

}  // extern "C"

// ---- The device server's side ------------------------------------------------------------------

namespace simk {

namespace {

// The VFS's rw_verify_area limit.
constexpr size_t kMaxRwCount = 0x7FFFF000;

}  // namespace

int dev_open(unsigned major, unsigned minor, int flags, const Task& task, OpenFile** out) {
    *out = nullptr;
    auto f = std::make_unique<OpenFile>();
    TaskScope scope(task.pid, f.get());
    const struct file_operations* fops = nullptr;
    {
        std::lock_guard lock(chrdev_mutex());
        auto it = chrdevs().find(major);
        if (it == chrdevs().end()) return -ENXIO;
        fops = it->second.fops;
        if (fops->owner != nullptr && !try_module_get(fops->owner)) return -ENXIO;
    }
    f->major = major;
    f->minor = minor;
    f->inode.i_rdev = MKDEV(major, minor);
    f->inode.i_mode = S_IFCHR | 0666;
    atomic_set(&f->inode.i_count, 1);
    f->dentry.d_inode = &f->inode;
    f->file.f_path.dentry = &f->dentry;
    f->file.f_op = fops;
    f->file.f_flags = static_cast<unsigned>(flags);
    const int acc = flags & O_ACCMODE;
    f->file.f_mode = FMODE_LSEEK | FMODE_PREAD | FMODE_PWRITE;
    if (acc == O_RDONLY || acc == O_RDWR) f->file.f_mode |= FMODE_READ;
    if (acc == O_WRONLY || acc == O_RDWR) f->file.f_mode |= FMODE_WRITE;
    atomic_set(&f->file.f_count, 1);
    INIT_LIST_HEAD(&f->file.f_list);
    if (fops->open != nullptr) {
        const int r = fops->open(&f->inode, &f->file);
        if (r != 0) {
            if (fops->owner != nullptr) module_put(fops->owner);
            return static_cast<int>(user_result(r));
        }
    }
    *out = f.release();
    return 0;
}

long dev_read(OpenFile* f, uintptr_t user_buf, size_t count, const Task& task) {
    TaskScope scope(task.pid, f);
    struct file* file = &f->file;
    if (!(file->f_mode & FMODE_READ)) return -EBADF;
    if (file->f_op->read == nullptr) return -EINVAL;
    if (!__simk_access_ok(user_buf, count)) return -EFAULT;
    if (count > kMaxRwCount) count = kMaxRwCount;
    return user_result(
        file->f_op->read(file, reinterpret_cast<char*>(user_buf), count, &file->f_pos));
}

long dev_write(OpenFile* f, uintptr_t user_buf, size_t count, const Task& task) {
    TaskScope scope(task.pid, f);
    struct file* file = &f->file;
    if (!(file->f_mode & FMODE_WRITE)) return -EBADF;
    if (file->f_op->write == nullptr) return -EINVAL;
    if (!__simk_access_ok(user_buf, count)) return -EFAULT;
    if (count > kMaxRwCount) count = kMaxRwCount;
    return user_result(
        file->f_op->write(file, reinterpret_cast<const char*>(user_buf), count, &file->f_pos));
}

static int set_fasync(OpenFile* f, bool on) {
    struct file* file = &f->file;
    if (((file->f_flags & O_ASYNC) != 0) == on) return 0;
    if (file->f_op->fasync != nullptr) {
        lock_kernel();
        const int r = file->f_op->fasync(0, file, on ? 1 : 0);
        unlock_kernel();
        if (r < 0) return r;
    }
    if (on) {
        file->f_flags |= O_ASYNC;
    } else {
        file->f_flags &= ~static_cast<unsigned>(O_ASYNC);
    }
    return 0;
}

long dev_ioctl(OpenFile* f, unsigned int cmd, unsigned long arg, const Task& task) {
    TaskScope scope(task.pid, f);
    struct file* file = &f->file;
    switch (cmd) {
        case FIOCLEX:
        case FIONCLEX:
            return 0;
        case FIONBIO:
        case FIOASYNC: {
            int on = 0;
            if (__simk_get_user(&on, reinterpret_cast<const void*>(arg), sizeof on) != 0) {
                return -EFAULT;
            }
            if (cmd == FIOASYNC) return set_fasync(f, on != 0);
            if (on) {
                file->f_flags |= O_NONBLOCK;
            } else {
                file->f_flags &= ~static_cast<unsigned>(O_NONBLOCK);
            }
            return 0;
        }
        default:
            break;
    }
    long r = -ENOTTY;
    if (file->f_op->unlocked_ioctl != nullptr) {
        r = file->f_op->unlocked_ioctl(file, cmd, arg);
        if (r == -ENOIOCTLCMD) r = -EINVAL;
    } else if (file->f_op->ioctl != nullptr) {
        lock_kernel();
        r = file->f_op->ioctl(&f->inode, file, cmd, arg);
        unlock_kernel();
    }
    return user_result(r);
}

int dev_release(OpenFile* f, const Task& task) {
    std::unique_ptr<OpenFile> owned(f);
    int r = 0;
    {
        TaskScope scope(task.pid, f);
        struct file* file = &f->file;
        if (file->f_op->flush != nullptr) {
            file->f_op->flush(file, reinterpret_cast<fl_owner_t>(static_cast<uintptr_t>(task.pid)));
        }
        if (file->f_op->release != nullptr) r = file->f_op->release(&f->inode, file);
        if (file->f_op->owner != nullptr) module_put(file->f_op->owner);
    }
    return r;
}

void dev_set_owner(OpenFile* f, pid_t owner) {
    f->file.f_owner.pid = owner;
}

int dev_get_flags(OpenFile* f) {
    return static_cast<int>(f->file.f_flags);
}

int dev_set_flags(OpenFile* f, int flags, const Task& task) {
    TaskScope scope(task.pid, f);
    const int r = set_fasync(f, (flags & O_ASYNC) != 0);
    if (r < 0) return static_cast<int>(user_result(r));
    struct file* file = &f->file;
    file->f_flags = (static_cast<unsigned>(flags) & kSetflMask) | (file->f_flags & ~kSetflMask);
    return 0;
}

long long dev_llseek(OpenFile* f, long long offset, int whence, const Task& task) {
    TaskScope scope(task.pid, f);
    struct file* file = &f->file;
    if (file->f_op->llseek != nullptr) return file->f_op->llseek(file, offset, whence);
    return default_llseek(file, offset, whence);
}

// ---- mmap --------------------------------------------------------------------------------------

// Where the kernel pretends the program's mapping starts; the driver sees addresses from here.
constexpr unsigned long kMmapBase = 0x40000000UL;

int dev_mmap(OpenFile* f, unsigned long pgoff, size_t length, int prot, MmapResult* out,
             const Task& task) {
    TaskScope scope(task.pid, f);
    *out = MmapResult{};
    struct file* file = &f->file;
    if (file->f_op->mmap == nullptr) return -ENODEV;
    if (length == 0) return -EINVAL;
    const size_t npages = PAGE_ALIGN(length) / PAGE_SIZE;
    struct vm_area_struct vma {};
    vma.vm_start = kMmapBase;
    vma.vm_end = kMmapBase + npages * PAGE_SIZE;
    vma.vm_pgoff = pgoff;
    vma.vm_file = file;
    vma.vm_flags = VM_SHARED | VM_MAYSHARE | VM_MAYREAD | VM_MAYWRITE;
    if (prot & PROT_READ) vma.vm_flags |= VM_READ;
    if (prot & PROT_WRITE) vma.vm_flags |= VM_WRITE;
    const int r = file->f_op->mmap(file, &vma);
    if (r != 0) return static_cast<int>(user_result(r));
    if (vma.vm_ops == nullptr || vma.vm_ops->nopage == nullptr) {
        printk(KERN_ERR "mmap: the driver of major %u installs no .nopage handler\n", f->major);
        return -ENXIO;
    }
    int memfd = -1;
    off_t first_offset = 0;
    size_t valid = 0;
    for (size_t i = 0; i < npages; ++i) {
        int type = VM_FAULT_MINOR;
        const unsigned long address = vma.vm_start + i * PAGE_SIZE;
        struct page* page = vma.vm_ops->nopage(&vma, address, &type);
        if (page == NOPAGE_SIGBUS || page == NOPAGE_REFAULT) break;
        if (page == NOPAGE_OOM) {
            if (i == 0) return -ENOMEM;
            break;
        }
        int fd = -1;
        off_t offset = 0;
        const bool backed = page_backing(page, &fd, &offset);
        put_page(page);  // the program's mapping holds the memfd, not the page
        if (!backed) {
            printk(KERN_ERR "mmap: page %zu is not vmalloc memory; mapping ends there\n", i);
            break;
        }
        if (i == 0) {
            memfd = fd;
            first_offset = offset;
        } else if (fd != memfd || offset != first_offset + static_cast<off_t>(i * PAGE_SIZE)) {
            printk(KERN_ERR "mmap: page %zu is not next to page %zu in kernel memory\n", i, i - 1);
            break;
        }
        valid = (i + 1) * PAGE_SIZE;
    }
    if (memfd < 0) {
        // Nothing to show: a mapping of an empty file faults on every touch.
        out->memfd = empty_memfd();
        out->memfd_offset = 0;
        out->valid_length = 0;
        return out->memfd < 0 ? -ENOMEM : 0;
    }
    out->memfd = memfd;
    out->memfd_offset = first_offset;
    out->valid_length = std::min(valid, length);
    return 0;
}

// ---- poll --------------------------------------------------------------------------------------

namespace {

struct PollWait {
    poll_table table;  // first: the driver's qproc gets a pointer to it
    struct Entry {
        wait_queue_head_t* head;
        wait_queue_t wait;
    };
    std::vector<std::unique_ptr<Entry>> entries;
};

void poll_queue(struct file*, wait_queue_head_t* head, poll_table* table) {
    auto* pw = reinterpret_cast<PollWait*>(table);
    auto entry = std::make_unique<PollWait::Entry>();
    entry->head = head;
    init_waitqueue_entry(&entry->wait, get_current());
    add_wait_queue(head, &entry->wait);
    pw->entries.push_back(std::move(entry));
}

}  // namespace

int dev_poll(OpenFile* f, int events, int timeout_ms, const Task& task) {
    TaskScope scope(task.pid, f);
    struct file* file = &f->file;
    const unsigned always = POLLERR | POLLHUP | POLLNVAL;
    if (file->f_op->poll == nullptr) {
        return events & (POLLIN | POLLOUT | POLLRDNORM | POLLWRNORM);
    }
    PollWait pw;
    pw.table.qproc = poll_queue;
    long timeout = timeout_ms < 0
                       ? MAX_SCHEDULE_TIMEOUT
                       : static_cast<long>(msecs_to_jiffies(static_cast<unsigned>(timeout_ms)));
    int result = 0;
    bool first = true;
    for (;;) {
        __simk_set_current_state(TASK_INTERRUPTIBLE);
        const unsigned mask = file->f_op->poll(file, first ? &pw.table : nullptr);
        first = false;
        result = static_cast<int>(mask & (static_cast<unsigned>(events) | always));
        if (result != 0 || timeout == 0 || signal_pending(get_current())) break;
        timeout = schedule_timeout(timeout);
    }
    __simk_set_current_state(TASK_RUNNING);
    for (auto& e : pw.entries) remove_wait_queue(e->head, &e->wait);
    if (result == 0 && signal_pending(get_current())) return -EINTR;
    return result;
}

}  // namespace simk
