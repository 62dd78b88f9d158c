// Interrupts: request_irq and friends, and the S3C2410's interrupt chip code, which reaches the
// interrupt controller and the external-interrupt registers through the register accessors,
// as the kernel's does. Runs on the simulated processor with the CPU lock held.
#include <array>
#include <atomic>

#include "internal.hpp"

extern "C" {
#include <asm/arch/regs-gpio.h>
#include <asm/arch/regs-irq.h>
}

namespace simk::detail {

namespace {

struct IrqAction {
    irq_handler_t handler;
    unsigned long flags;
    const char* name;
    void* dev_id;
    IrqAction* next;
};

struct IrqDesc {
    IrqAction* action = nullptr;
    int depth = 1;  // disabled until requested
    bool reported = false;
};

// Under the CPU lock.
std::array<IrqDesc, NR_IRQS> descs;

bool is_main(unsigned irq) {
    return irq >= IRQ_EINT0 && irq <= IRQ_ADCPARENT;
}
bool is_ext(unsigned irq) {
    return irq >= IRQ_EINT4 && irq <= IRQ_EINT23;
}
bool is_sub(unsigned irq) {
    return irq >= IRQ_S3CUART_RX0 && irq <= IRQ_ADC;
}
bool is_parent(unsigned irq) {
    return irq == IRQ_EINT4t7 || irq == IRQ_EINT8t23 || irq == IRQ_UART0 || irq == IRQ_UART1 ||
           irq == IRQ_UART2 || irq == IRQ_ADCPARENT;
}

u32 main_bit(unsigned irq) {
    return 1u << (irq - IRQ_EINT0);
}
u32 ext_bit(unsigned irq) {
    return 1u << (irq - IRQ_EINT4 + 4);
}
u32 sub_bit(unsigned irq) {
    return 1u << (irq - IRQ_S3CUART_RX0);
}

unsigned ext_parent(unsigned irq) {
    return irq <= IRQ_EINT7 ? IRQ_EINT4t7 : IRQ_EINT8t23;
}

unsigned sub_parent(unsigned irq) {
    if (irq <= IRQ_S3CUART_ERR0) return IRQ_UART0;
    if (irq <= IRQ_S3CUART_ERR1) return IRQ_UART1;
    if (irq <= IRQ_S3CUART_ERR2) return IRQ_UART2;
    return IRQ_ADCPARENT;
}

void set_bits(void __iomem* reg, u32 bits) {
    __raw_writel(__raw_readl(reg) | bits, reg);
}
void clear_bits(void __iomem* reg, u32 bits) {
    __raw_writel(__raw_readl(reg) & ~bits, reg);
}

void main_ack(unsigned irq) {
    __raw_writel(main_bit(irq), S3C2410_SRCPND);
    __raw_writel(main_bit(irq), S3C2410_INTPND);
}

void chip_mask(unsigned irq) {
    if (is_main(irq)) {
        set_bits(S3C2410_INTMSK, main_bit(irq));
    } else if (is_ext(irq)) {
        set_bits(S3C2410_EINTMASK, ext_bit(irq));
    } else if (is_sub(irq)) {
        set_bits(S3C2410_INTSUBMSK, sub_bit(irq));
    }
}

void chip_unmask(unsigned irq) {
    if (is_main(irq)) {
        clear_bits(S3C2410_INTMSK, main_bit(irq));
    } else if (is_ext(irq)) {
        clear_bits(S3C2410_EINTMASK, ext_bit(irq));
        clear_bits(S3C2410_INTMSK, main_bit(ext_parent(irq)));
    } else if (is_sub(irq)) {
        clear_bits(S3C2410_INTSUBMSK, sub_bit(irq));
        clear_bits(S3C2410_INTMSK, main_bit(sub_parent(irq)));
    }
}

void chip_ack(unsigned irq) {
    if (is_main(irq)) {
        main_ack(irq);
    } else if (is_ext(irq)) {
        __raw_writel(ext_bit(irq), S3C2410_EINTPEND);
        const u32 left = __raw_readl(S3C2410_EINTPEND) & ~__raw_readl(S3C2410_EINTMASK);
        const u32 group = irq <= IRQ_EINT7 ? 0xF0u : 0xFFFF00u;
        if ((left & group) == 0) main_ack(ext_parent(irq));
    } else if (is_sub(irq)) {
        __raw_writel(sub_bit(irq), S3C2410_SUBSRCPND);
        main_ack(sub_parent(irq));
    }
}

void handle_edge(unsigned irq) {
    IrqDesc& desc = descs[irq];
    chip_ack(irq);
    if (desc.action == nullptr || desc.depth > 0) {
        chip_mask(irq);
        if (desc.action == nullptr && !desc.reported) {
            desc.reported = true;
            printk(KERN_WARNING "irq %u: no handler; masked\n", irq);
        }
        return;
    }
    ThreadContext& ctx = context();
    ctx.in_hardirq = true;
    for (IrqAction* a = desc.action; a != nullptr;) {
        IrqAction* next = a->next;  // a handler may free its own action
        const irq_handler_t handler = a->handler;
        void* dev_id = a->dev_id;
        ctx.handler_irqs_off = true;
        handler(static_cast<int>(irq), dev_id);
        a = next;
    }
    ctx.in_hardirq = false;
}

void demux_ext(unsigned parent) {
    const u32 group = parent == IRQ_EINT4t7 ? 0xF0u : 0xFFFF00u;
    const u32 pending = __raw_readl(S3C2410_EINTPEND) & ~__raw_readl(S3C2410_EINTMASK) & group;
    if (pending == 0) {
        main_ack(parent);
        return;
    }
    for (unsigned bit = 4; bit < 24; ++bit) {
        if (pending & (1u << bit)) handle_edge(IRQ_EINT4 + bit - 4);
    }
}

void demux_sub(unsigned parent) {
    const u32 pending = __raw_readl(S3C2410_SUBSRCPND) & ~__raw_readl(S3C2410_INTSUBMSK);
    bool any = false;
    for (unsigned irq = IRQ_S3CUART_RX0; irq <= IRQ_ADC; ++irq) {
        if (sub_parent(irq) == parent && (pending & sub_bit(irq))) {
            any = true;
            handle_edge(irq);
        }
    }
    if (!any) main_ack(parent);
}

void free_action_list(IrqDesc& desc) {
    while (desc.action != nullptr) {
        IrqAction* a = desc.action;
        desc.action = a->next;
        kfree(a);
    }
}

}  // namespace

void handle_cpu_irq() {
    if (__raw_readl(S3C2410_INTPND) == 0) return;
    const unsigned irq = __raw_readl(S3C2410_INTOFFSET) + IRQ_EINT0;
    if (irq == IRQ_EINT4t7 || irq == IRQ_EINT8t23) {
        demux_ext(irq);
    } else if (irq == IRQ_UART0 || irq == IRQ_UART1 || irq == IRQ_UART2 || irq == IRQ_ADCPARENT) {
        demux_sub(irq);
    } else if (is_main(irq)) {
        handle_edge(irq);
    }
}

void reset_irqs() {
    IrqGuard irqs_off;
    for (IrqDesc& d : descs) {
        free_action_list(d);
        d = IrqDesc{};
    }
}

// What the kernel's interrupt set-up does at boot: clear what is pending and unmask the parents
// of the external interrupts 4..23 and of the UART and ADC sub-sources.
void init_irq_hardware() {
    IrqGuard irqs_off;
    for (void __iomem* reg : {S3C2410_EINTPEND, S3C2410_SUBSRCPND, S3C2410_SRCPND}) {
        const u32 pending = __raw_readl(reg);
        if (pending != 0) __raw_writel(pending, reg);
    }
    for (int i = 0; i < 4; ++i) {
        const u32 pending = __raw_readl(S3C2410_INTPND);
        if (pending == 0) break;
        __raw_writel(pending, S3C2410_SRCPND);
        __raw_writel(pending, S3C2410_INTPND);
    }
    for (unsigned parent :
         {IRQ_EINT4t7, IRQ_EINT8t23, IRQ_UART0, IRQ_UART1, IRQ_UART2, IRQ_ADCPARENT}) {
        clear_bits(S3C2410_INTMSK, main_bit(parent));
    }
}

namespace {

std::atomic<uint64_t> tick_count{0};

irqreturn_t system_tick(int, void*) {
    tick_count.fetch_add(1, std::memory_order_relaxed);
    return IRQ_HANDLED;
}

}  // namespace

// The kernel's own handler of the system tick, as the S3C2410 time set-up installs it.
void init_system_tick() {
    tick_count.store(0);
    request_irq(IRQ_TIMER4, system_tick, IRQF_DISABLED, "S3C2410 Timer Tick", nullptr);
}

void sweep_irqs(void* module_handle, const char* module_name) {
    IrqGuard irqs_off;
    for (unsigned irq = 0; irq < NR_IRQS; ++irq) {
        IrqDesc& desc = descs[irq];
        for (IrqAction** p = &desc.action; *p != nullptr;) {
            IrqAction* a = *p;
            if (module_owns(module_handle, reinterpret_cast<const void*>(a->handler))) {
                printk(KERN_ERR "%s: irq %u still requested at unload; freed\n", module_name, irq);
                *p = a->next;
                kfree(a);
            } else {
                p = &a->next;
            }
        }
        if (desc.action == nullptr && desc.depth == 0) {
            desc.depth = 1;
            chip_mask(irq);
        }
    }
}

}  // namespace simk::detail

using namespace simk::detail;

namespace simk {

uint64_t tick_interrupts() {
    return detail::tick_count.load();
}

}  // namespace simk

extern "C" {

int request_irq(unsigned int irq, irq_handler_t handler, unsigned long irqflags,
                const char* devname, void* dev_id) {
    if (irq >= NR_IRQS || irq < IRQ_EINT0 || handler == nullptr || is_parent(irq)) {
        return -EINVAL;
    }
    if ((irqflags & IRQF_SHARED) && dev_id == nullptr) return -EINVAL;
    auto* action = static_cast<IrqAction*>(kzalloc(sizeof(IrqAction), GFP_ATOMIC));
    if (action == nullptr) return -ENOMEM;
    action->handler = handler;
    action->flags = irqflags;
    action->name = devname;
    action->dev_id = dev_id;
    IrqGuard irqs_off;
    IrqDesc& desc = descs[irq];
    if (desc.action != nullptr) {
        if (!(desc.action->flags & irqflags & IRQF_SHARED)) {
            printk(KERN_ERR "IRQ handler type mismatch for IRQ %u\n", irq);
            kfree(action);
            return -EBUSY;
        }
        IrqAction** p = &desc.action;
        while (*p != nullptr) p = &(*p)->next;
        *p = action;
        return 0;
    }
    desc.action = action;
    if (irqflags & IRQF_TRIGGER_MASK) set_irq_type(irq, irqflags & IRQF_TRIGGER_MASK);
    desc.depth = 0;
    desc.reported = false;
    chip_unmask(irq);
    return 0;
}

void free_irq(unsigned int irq, void* dev_id) {
    if (irq >= NR_IRQS) return;
    IrqGuard irqs_off;
    IrqDesc& desc = descs[irq];
    for (IrqAction** p = &desc.action; *p != nullptr; p = &(*p)->next) {
        IrqAction* a = *p;
        if (a->dev_id != dev_id) continue;
        *p = a->next;
        if (desc.action == nullptr) {
            desc.depth = 1;
            chip_mask(irq);
        }
        kfree(a);
        return;
    }
    printk(KERN_ERR "Trying to free already-free IRQ %u\n", irq);
}

void disable_irq_nosync(unsigned int irq) {
    if (irq >= NR_IRQS) return;
    IrqGuard irqs_off;
    if (descs[irq].depth++ == 0) chip_mask(irq);
}

void disable_irq(unsigned int irq) {
    disable_irq_nosync(irq);
}

void enable_irq(unsigned int irq) {
    if (irq >= NR_IRQS) return;
    IrqGuard irqs_off;
    IrqDesc& desc = descs[irq];
    if (desc.depth == 0) {
        printk(KERN_WARNING "Unbalanced enable for IRQ %u\n", irq);
        return;
    }
    if (--desc.depth == 0) chip_unmask(irq);
}

void synchronize_irq(unsigned int) {
    // Handlers run with the processor held: once we hold it, none is running.
    IrqGuard irqs_off;
}

int set_irq_type(unsigned int irq, unsigned int type) {
    if (irq >= NR_IRQS) {
        printk(KERN_ERR "Trying to set irq type for IRQ%u\n", irq);
        return -ENODEV;
    }
    void __iomem* gpcon;
    void __iomem* extint;
    unsigned gpcon_offset;
    unsigned extint_offset;
    if (irq >= IRQ_EINT0 && irq <= IRQ_EINT3) {
        gpcon = S3C2410_GPFCON;
        extint = S3C2410_EXTINT0;
        gpcon_offset = (irq - IRQ_EINT0) * 2;
        extint_offset = (irq - IRQ_EINT0) * 4;
    } else if (irq >= IRQ_EINT4 && irq <= IRQ_EINT7) {
        gpcon = S3C2410_GPFCON;
        extint = S3C2410_EXTINT0;
        gpcon_offset = (irq - IRQ_EINT4 + 4) * 2;
        extint_offset = (irq - IRQ_EINT4 + 4) * 4;
    } else if (irq >= IRQ_EINT8 && irq <= IRQ_EINT15) {
        gpcon = S3C2410_GPGCON;
        extint = S3C2410_EXTINT1;
        gpcon_offset = (irq - IRQ_EINT8) * 2;
        extint_offset = (irq - IRQ_EINT8) * 4;
    } else if (irq >= IRQ_EINT16 && irq <= IRQ_EINT23) {
        gpcon = S3C2410_GPGCON;
        extint = S3C2410_EXTINT2;
        gpcon_offset = (irq - IRQ_EINT8) * 2;
        extint_offset = (irq - IRQ_EINT16) * 4;
    } else {
        return -ENXIO;
    }
    u32 mode;
    switch (type) {
        case IRQT_NOEDGE:
            printk(KERN_WARNING "No edge setting!\n");
            return 0;
        case IRQT_RISING:
            mode = S3C2410_EXTINT_RISEEDGE;
            break;
        case IRQT_FALLING:
            mode = S3C2410_EXTINT_FALLEDGE;
            break;
        case IRQT_BOTHEDGE:
            mode = S3C2410_EXTINT_BOTHEDGE;
            break;
        case IRQT_LOW:
            mode = S3C2410_EXTINT_LOWLEV;
            break;
        case IRQT_HIGH:
            mode = S3C2410_EXTINT_HILEV;
            break;
        default:
            printk(KERN_ERR "No such irq type %u\n", type);
            return -1;
    }
    IrqGuard irqs_off;
    // The pin becomes an external interrupt input, then the trigger is set.
    u32 value = __raw_readl(gpcon);
    value = (value & ~(3u << gpcon_offset)) | (0x02u << gpcon_offset);
    __raw_writel(value, gpcon);
    value = __raw_readl(extint);
    value = (value & ~(7u << extint_offset)) | (mode << extint_offset);
    __raw_writel(value, extint);
    return 0;
}

}  // extern "C"
