// Kernel memory: kmalloc, vmalloc areas backed by their own memfd, struct page, and the copies
// to and from the memory of the current task's process.
#include <malloc.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "internal.hpp"

namespace simk::detail {

namespace {

// One vmalloc area: a memfd of exactly the area's (page-rounded) size, mapped shared here.
struct VmArea {
    int memfd = -1;
    char* base = nullptr;
    size_t size = 0;
    std::vector<struct page> pages;
};

std::mutex& vm_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

// By start address; under vm_mutex.
std::map<uintptr_t, std::unique_ptr<VmArea>>& areas() {
    static auto* a = new std::map<uintptr_t, std::unique_ptr<VmArea>>;
    return *a;
}

void destroy_area(VmArea& area) {
    ::munmap(area.base, area.size);
    ::close(area.memfd);
}

VmArea* area_containing(uintptr_t addr) {
    auto& map = areas();
    auto it = map.upper_bound(addr);
    if (it == map.begin()) return nullptr;
    --it;
    VmArea* a = it->second.get();
    if (addr - it->first < a->size) return a;
    return nullptr;
}

int empty_fd = -1;

}  // namespace

void free_all_vmalloc() {
    std::lock_guard lock(vm_mutex());
    for (auto& [start, area] : areas()) destroy_area(*area);
    areas().clear();
}

bool page_backing(const struct page* page, int* memfd, off_t* offset) {
    if (page == nullptr || page->__simk_memfd < 0) return false;
    *memfd = page->__simk_memfd;
    *offset = page->__simk_offset;
    return true;
}

int empty_memfd() {
    std::lock_guard lock(vm_mutex());
    if (empty_fd < 0) empty_fd = ::memfd_create("simk-empty", MFD_CLOEXEC);
    return empty_fd;
}

}  // namespace simk::detail

using namespace simk::detail;

namespace {

// The user-space limit of the program (x86-64's TASK_SIZE).
constexpr unsigned long kTaskSize = 0x00007FFFFFFFF000UL;

bool range_ok(unsigned long addr, unsigned long size) {
    return addr <= kTaskSize && size <= kTaskSize - addr;
}

// Copies between our buffer and the current task's memory. Returns the bytes copied, which stop
// at the first page that is not there (or not writable for a write), exactly where a kernel copy
// faults.
size_t user_copy(void* local, uintptr_t remote, size_t n, bool to_user) {
    if (n == 0) return 0;
    if (context().in_interrupt) {
        printk(KERN_ERR "BUG: user copy from interrupt context\n");
        return 0;
    }
    if (!range_ok(remote, n)) return 0;
    const pid_t pid = current_task()->ts.pid;
    constexpr size_t kPage = PAGE_SIZE;
    constexpr size_t kMaxIov = 256;
    size_t done = 0;
    while (done < n) {
        // One remote iovec per page, so that a fault ends the copy at that page.
        struct iovec remote_iov[kMaxIov];
        size_t count = 0;
        size_t batch = 0;
        uintptr_t at = remote + done;
        while (count < kMaxIov && done + batch < n) {
            const size_t in_page = kPage - (at % kPage);
            const size_t len = std::min(in_page, n - done - batch);
            remote_iov[count++] = {reinterpret_cast<void*>(at), len};
            at += len;
            batch += len;
        }
        struct iovec local_iov = {static_cast<char*>(local) + done, batch};
        const ssize_t r = to_user ? ::process_vm_writev(pid, &local_iov, 1, remote_iov, count, 0)
                                  : ::process_vm_readv(pid, &local_iov, 1, remote_iov, count, 0);
        if (r <= 0) break;
        done += static_cast<size_t>(r);
        if (static_cast<size_t>(r) < batch) break;
    }
    return done;
}

}  // namespace

namespace simk {

size_t copy_to_user(uintptr_t user_dst, const void* src, size_t n) {
    return n - user_copy(const_cast<void*>(src), user_dst, n, true);
}

size_t copy_from_user(void* dst, uintptr_t user_src, size_t n) {
    const size_t done = user_copy(dst, user_src, n, false);
    if (done < n) std::memset(static_cast<char*>(dst) + done, 0, n - done);
    return n - done;
}

}  // namespace simk

extern "C" {

// ---- kmalloc -----------------------------------------------------------------------------------

void* __kmalloc(size_t size, gfp_t flags) {
    if ((flags & __GFP_WAIT) && context().in_interrupt) {
        printk(KERN_ERR "BUG: sleeping function called from invalid context (kmalloc)\n");
        dump_stack();
    }
    if (size > KMALLOC_MAX_SIZE) {
        printk(KERN_WARNING "kmalloc: %zu bytes is more than the largest allocation\n", size);
        return nullptr;
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr && (flags & __GFP_ZERO)) std::memset(p, 0, size);
    return p;
}

void* kzalloc(size_t size, gfp_t flags) {
    return __kmalloc(size, flags | __GFP_ZERO);
}

void* kcalloc(size_t n, size_t size, gfp_t flags) {
    if (size != 0 && n > ULONG_MAX / size) return nullptr;
    return kzalloc(n * size, flags);
}

void kfree(const void* objp) {
    std::free(const_cast<void*>(objp));
}

size_t ksize(const void* objp) {
    return objp == nullptr ? 0 : malloc_usable_size(const_cast<void*>(objp));
}

// ---- vmalloc -----------------------------------------------------------------------------------

void* vmalloc(unsigned long size) {
    if (size == 0 || size > (1UL << 30)) return nullptr;
    if (context().in_interrupt) {
        printk(KERN_ERR "BUG: vmalloc from interrupt context\n");
        return nullptr;
    }
    const size_t rounded = PAGE_ALIGN(size);
    auto area = std::make_unique<VmArea>();
    area->memfd = ::memfd_create("vmalloc", MFD_CLOEXEC);
    if (area->memfd < 0) return nullptr;
    if (::ftruncate(area->memfd, static_cast<off_t>(rounded)) != 0) {
        ::close(area->memfd);
        return nullptr;
    }
    void* base = ::mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_SHARED, area->memfd, 0);
    if (base == MAP_FAILED) {
        ::close(area->memfd);
        return nullptr;
    }
    area->base = static_cast<char*>(base);
    area->size = rounded;
    area->pages.resize(rounded / PAGE_SIZE);
    for (size_t i = 0; i < area->pages.size(); ++i) {
        struct page& p = area->pages[i];
        p.flags = 0;
        atomic_set(&p._count, 1);
        p.virtual_ = area->base + i * PAGE_SIZE;
        p.__simk_memfd = area->memfd;
        p.__simk_offset = static_cast<long>(i * PAGE_SIZE);
    }
    std::lock_guard lock(vm_mutex());
    areas()[reinterpret_cast<uintptr_t>(base)] = std::move(area);
    return base;
}

void* vmalloc_user(unsigned long size) {
    return vmalloc(size);
}
void* vmalloc_32(unsigned long size) {
    return vmalloc(size);
}
void* vmalloc_32_user(unsigned long size) {
    return vmalloc(size);
}

void vfree(void* addr) {
    if (addr == nullptr) return;
    std::unique_ptr<VmArea> area;
    {
        std::lock_guard lock(vm_mutex());
        auto it = areas().find(reinterpret_cast<uintptr_t>(addr));
        if (it == areas().end()) {
            printk(KERN_ERR "Trying to vfree() nonexistent vm area (%p)\n", addr);
            return;
        }
        area = std::move(it->second);
        areas().erase(it);
    }
    destroy_area(*area);
}

struct page* vmalloc_to_page(void* addr) {
    std::lock_guard lock(vm_mutex());
    VmArea* area = area_containing(reinterpret_cast<uintptr_t>(addr));
    if (area == nullptr) return nullptr;
    const size_t index = (static_cast<char*>(addr) - area->base) / PAGE_SIZE;
    return &area->pages[index];
}

unsigned long vmalloc_to_pfn(void* addr) {
    struct page* p = vmalloc_to_page(addr);
    return p == nullptr ? 0 : reinterpret_cast<uintptr_t>(p->virtual_) >> PAGE_SHIFT;
}

struct page* virt_to_page(const void* addr) {
    return vmalloc_to_page(const_cast<void*>(addr));
}

void put_page(struct page* page) {
    if (atomic_dec_return(&page->_count) < 0) {
        printk(KERN_ERR "put_page: page %p count below zero\n", static_cast<void*>(page));
        atomic_set(&page->_count, 0);
    }
}

// ---- User memory -------------------------------------------------------------------------------

int __simk_access_ok(unsigned long addr, unsigned long size) {
    return range_ok(addr, size);
}

unsigned long copy_to_user(void* to, const void* from, unsigned long n) {
    return simk::copy_to_user(reinterpret_cast<uintptr_t>(to), from, n);
}

unsigned long copy_from_user(void* to, const void* from, unsigned long n) {
    return simk::copy_from_user(to, reinterpret_cast<uintptr_t>(from), n);
}

unsigned long clear_user(void* to, unsigned long n) {
    const std::vector<char> zeros(std::min<unsigned long>(n, 65536), 0);
    unsigned long done = 0;
    while (done < n) {
        const unsigned long chunk = std::min<unsigned long>(n - done, zeros.size());
        const size_t copied = user_copy(const_cast<char*>(zeros.data()),
                                        reinterpret_cast<uintptr_t>(to) + done, chunk, true);
        done += copied;
        if (copied < chunk) break;
    }
    return n - done;
}

long strncpy_from_user(char* dst, const char* src, long count) {
    if (count <= 0) return 0;
    for (long i = 0; i < count; ++i) {
        char c;
        if (user_copy(&c, reinterpret_cast<uintptr_t>(src) + i, 1, false) != 1) return -EFAULT;
        dst[i] = c;
        if (c == '\0') return i;
    }
    return count;
}

long strnlen_user(const char* str, long n) {
    for (long i = 0; i < n; ++i) {
        char c;
        if (user_copy(&c, reinterpret_cast<uintptr_t>(str) + i, 1, false) != 1) return 0;
        if (c == '\0') return i + 1;
    }
    return n + 1;
}

int __simk_get_user(void* kernel_dst, const void* user_src, unsigned long size) {
    if (user_copy(kernel_dst, reinterpret_cast<uintptr_t>(user_src), size, false) != size) {
        std::memset(kernel_dst, 0, size);
        return -EFAULT;
    }
    return 0;
}

int __simk_put_user(const void* kernel_src, void* user_dst, unsigned long size) {
    if (user_copy(const_cast<void*>(kernel_src), reinterpret_cast<uintptr_t>(user_dst), size,
                  true) != size) {
        return -EFAULT;
    }
    return 0;
}

}  // extern "C"
