// The I/O address space: ioremap, the fixed mappings of the S3C2410's registers, the register
// accessors, and the resource claims (request_mem_region).
//
// I/O addresses lie in a 4 GiB reservation without access rights: the physical address space
// 0x00000000..0xEFFFFFFF at the same offsets (ioremap), and the kernel's fixed mappings at
// 0xF0000000 (asm/arch/map.h). A driver that dereferences one faults; the accessors translate the
// address back to a physical one and call the hardware model that owns it.
#include <sys/mman.h>

#include <array>
#include <cstdlib>
#include <map>
#include <shared_mutex>

#include "hw.hpp"
#include "internal.hpp"

extern "C" {
#include <asm/arch/map.h>
}

namespace {

constexpr uint64_t kSpaceSize = 1ULL << 32;
constexpr uint64_t kFixedBase = S3C2410_VA_OFFSET;
constexpr unsigned kSlotShift = 20;  // the fixed mappings are 1 MiB each

unsigned long reserve_space() {
    void* p =
        ::mmap(nullptr, kSpaceSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) std::abort();
    return reinterpret_cast<unsigned long>(p);
}

// Offset from S3C2410_ADDR(0) -> physical base of the 1 MiB window.
struct FixedMap {
    unsigned long va_offset;
    uint32_t phys;
};
constexpr std::array kFixedMaps{
    FixedMap{0x00000000, S3C2410_PA_IRQ},     FixedMap{0x00100000, S3C2410_PA_MEMCTRL},
    FixedMap{0x00200000, S3C2410_PA_USBHOST}, FixedMap{0x00300000, S3C2410_PA_DMA},
    FixedMap{0x00400000, S3C2410_PA_CLKPWR},  FixedMap{0x00600000, S3C2410_PA_LCD},
    FixedMap{0x00800000, S3C2410_PA_UART},    FixedMap{0x00900000, S3C2410_PA_TIMER},
    FixedMap{0x00A00000, S3C2410_PA_USBDEV},  FixedMap{0x00B00000, S3C2410_PA_WATCHDOG},
    FixedMap{0x00C00000, S3C2410_PA_IIC},     FixedMap{0x00D00000, S3C2410_PA_IIS},
    FixedMap{0x00E00000, S3C2410_PA_GPIO},    FixedMap{0x00F00000, S3C2410_PA_RTC},
    FixedMap{0x01000000, S3C2410_PA_ADC},     FixedMap{0x01100000, S3C2410_PA_SPI},
    FixedMap{0x01200000, S3C2410_PA_SDI},
};

std::shared_mutex& map_mutex() {
    static std::shared_mutex* m = new std::shared_mutex;
    return *m;
}

// Live ioremap()s by cookie (physical address) -> size; under map_mutex.
std::multimap<uint32_t, uint32_t>& remaps() {
    static auto* r = new std::multimap<uint32_t, uint32_t>;
    return *r;
}

[[noreturn]] void bad_address(const volatile void* addr, const char* what) {
    printk(KERN_ALERT "Unable to handle kernel paging request at virtual address %p (%s)\n",
           const_cast<void*>(addr), what);
    dump_stack();
    panic("Oops: I/O access outside any mapping");
}

// The physical address behind an I/O address, or panics like an oops.
uint32_t translate(const volatile void* addr, unsigned size, const char* what) {
    const uint64_t offset = reinterpret_cast<uintptr_t>(addr) - __simk_io_base;
    if (offset >= kSpaceSize) bad_address(addr, what);
    if (offset >= kFixedBase) {
        const unsigned long va = offset - kFixedBase;
        for (const FixedMap& m : kFixedMaps) {
            if ((va >> kSlotShift) == (m.va_offset >> kSlotShift)) {
                return m.phys + static_cast<uint32_t>(va & ((1u << kSlotShift) - 1));
            }
        }
        bad_address(addr, what);
    }
    const auto phys = static_cast<uint32_t>(offset);
    std::shared_lock lock(map_mutex());
    const auto& map = remaps();
    for (auto it = map.begin(); it != map.end() && it->first <= phys; ++it) {
        if (uint64_t{phys} + size <= uint64_t{it->first} + it->second) return phys;
    }
    lock.unlock();
    bad_address(addr, what);
}

}  // namespace

namespace simk::detail {

void reset_io() {
    std::unique_lock lock(map_mutex());
    remaps().clear();
}

}  // namespace simk::detail

extern "C" {

unsigned long __simk_io_base = reserve_space();

u8 __simk_readb(const volatile void* addr) {
    return static_cast<u8>(hw::mmio_read(translate(addr, 1, "readb"), 1));
}

u16 __simk_readw(const volatile void* addr) {
    return static_cast<u16>(hw::mmio_read(translate(addr, 2, "readw"), 2));
}

u32 __simk_readl(const volatile void* addr) {
    return hw::mmio_read(translate(addr, 4, "readl"), 4);
}

void __simk_writeb(u8 value, volatile void* addr) {
    hw::mmio_write(translate(addr, 1, "writeb"), value, 1);
}

void __simk_writew(u16 value, volatile void* addr) {
    hw::mmio_write(translate(addr, 2, "writew"), value, 2);
}

void __simk_writel(u32 value, volatile void* addr) {
    hw::mmio_write(translate(addr, 4, "writel"), value, 4);
}

void __raw_readsb(const volatile void* addr, void* data, int bytelen) {
    auto* out = static_cast<u8*>(data);
    for (int i = 0; i < bytelen; ++i) out[i] = __simk_readb(addr);
}

void __raw_readsw(const volatile void* addr, void* data, int wordlen) {
    auto* out = static_cast<u16*>(data);
    for (int i = 0; i < wordlen; ++i) out[i] = __simk_readw(addr);
}

void __raw_readsl(const volatile void* addr, void* data, int longlen) {
    auto* out = static_cast<u32*>(data);
    for (int i = 0; i < longlen; ++i) out[i] = __simk_readl(addr);
}

void __raw_writesb(volatile void* addr, const void* data, int bytelen) {
    const auto* in = static_cast<const u8*>(data);
    for (int i = 0; i < bytelen; ++i) __simk_writeb(in[i], addr);
}

void __raw_writesw(volatile void* addr, const void* data, int wordlen) {
    const auto* in = static_cast<const u16*>(data);
    for (int i = 0; i < wordlen; ++i) __simk_writew(in[i], addr);
}

void __raw_writesl(volatile void* addr, const void* data, int longlen) {
    const auto* in = static_cast<const u32*>(data);
    for (int i = 0; i < longlen; ++i) __simk_writel(in[i], addr);
}

void memcpy_fromio(void* to, const volatile void* from, size_t count) {
    auto* out = static_cast<u8*>(to);
    const auto* src = static_cast<const volatile u8*>(from);
    for (size_t i = 0; i < count; ++i) out[i] = __simk_readb(src + i);
}

void memcpy_toio(volatile void* to, const void* from, size_t count) {
    const auto* in = static_cast<const u8*>(from);
    auto* dst = static_cast<volatile u8*>(to);
    for (size_t i = 0; i < count; ++i) __simk_writeb(in[i], dst + i);
}

void memset_io(volatile void* dst, int c, size_t count) {
    auto* d = static_cast<volatile u8*>(dst);
    for (size_t i = 0; i < count; ++i) __simk_writeb(static_cast<u8>(c), d + i);
}

void* __ioremap(unsigned long phys_addr, size_t size, unsigned long) {
    if (size == 0 || phys_addr >= kFixedBase || size > kFixedBase - phys_addr) return nullptr;
    std::unique_lock lock(map_mutex());
    remaps().emplace(static_cast<uint32_t>(phys_addr), static_cast<uint32_t>(size));
    return reinterpret_cast<void*>(__simk_io_base + phys_addr);
}

void __iounmap(volatile void* addr) {
    const uint64_t offset = reinterpret_cast<uintptr_t>(addr) - __simk_io_base;
    std::unique_lock lock(map_mutex());
    auto it = offset < kFixedBase ? remaps().find(static_cast<uint32_t>(offset)) : remaps().end();
    if (it == remaps().end()) {
        lock.unlock();
        printk(KERN_ERR "iounmap: bad address %p\n", const_cast<void*>(addr));
        return;
    }
    remaps().erase(it);
}

// ---- Resources ---------------------------------------------------------------------------------

struct resource ioport_resource = {0, 0xFFFF, "PCI IO", IORESOURCE_IO, nullptr, nullptr, nullptr};
struct resource iomem_resource = {0,       0xFFFFFFFF, "PCI mem", IORESOURCE_MEM,
                                  nullptr, nullptr,    nullptr};

std::mutex& resource_mutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

// Children of a root, sorted by start; a claim may not overlap another. Under resource_mutex.
static struct resource* claim(struct resource* root, struct resource* res) {
    if (res->end < res->start || res->start < root->start || res->end > root->end) return root;
    struct resource** p = &root->child;
    for (;;) {
        struct resource* tmp = *p;
        if (tmp == nullptr || tmp->start > res->end) {
            res->sibling = tmp;
            *p = res;
            res->parent = root;
            return nullptr;
        }
        p = &tmp->sibling;
        if (tmp->end < res->start) continue;
        return tmp;
    }
}

int request_resource(struct resource* root, struct resource* new_res) {
    std::lock_guard lock(resource_mutex());
    return claim(root, new_res) != nullptr ? -EBUSY : 0;
}

int release_resource(struct resource* old) {
    std::lock_guard lock(resource_mutex());
    if (old->parent == nullptr) return -EINVAL;
    for (struct resource** p = &old->parent->child; *p != nullptr; p = &(*p)->sibling) {
        if (*p == old) {
            *p = old->sibling;
            old->parent = nullptr;
            return 0;
        }
    }
    return -EINVAL;
}

struct resource* __request_region(struct resource* parent, resource_size_t start, resource_size_t n,
                                  const char* name) {
    if (n == 0) return nullptr;
    auto* res = static_cast<struct resource*>(kzalloc(sizeof(struct resource), GFP_KERNEL));
    if (res == nullptr) return nullptr;
    res->name = name;
    res->start = start;
    res->end = start + n - 1;
    res->flags = IORESOURCE_BUSY;
    std::lock_guard lock(resource_mutex());
    if (claim(parent, res) != nullptr) {
        kfree(res);
        return nullptr;
    }
    return res;
}

void __release_region(struct resource* parent, resource_size_t start, resource_size_t n) {
    const resource_size_t end = start + n - 1;
    {
        std::lock_guard lock(resource_mutex());
        for (struct resource** p = &parent->child; *p != nullptr; p = &(*p)->sibling) {
            struct resource* res = *p;
            if (res->start == start && res->end == end) {
                *p = res->sibling;
                kfree(res);
                return;
            }
        }
    }
    printk(KERN_WARNING "Trying to free nonexistent resource <%08x-%08x>\n", start, end);
}

int __check_region(struct resource* parent, resource_size_t start, resource_size_t n) {
    struct resource* res = __request_region(parent, start, n, "check-region");
    if (res == nullptr) return -EBUSY;
    __release_region(parent, start, n);
    return 0;
}

}  // extern "C"

namespace simk::detail {

void sweep_resources(void* module_handle, const char* module_name) {
    std::lock_guard lock(resource_mutex());
    for (struct resource* root : {&iomem_resource, &ioport_resource}) {
        struct resource** p = &root->child;
        while (*p != nullptr) {
            struct resource* res = *p;
            if (res->name != nullptr && module_owns(module_handle, res->name)) {
                printk(KERN_ERR "%s: region %08x-%08x still claimed at unload; released\n",
                       module_name, res->start, res->end);
                *p = res->sibling;
                if (res->flags & IORESOURCE_BUSY) kfree(res);
                continue;
            }
            p = &res->sibling;
        }
    }
}

}  // namespace simk::detail
