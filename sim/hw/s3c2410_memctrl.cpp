// S3C2410 memory controller.
#include "s3c2410_memctrl.hpp"

namespace hw {

S3c2410MemCtrl::S3c2410MemCtrl()
    : Device("s3c2410-memctrl"), mmio_(map_mmio(kBase, kRegisters * 4, *this)) {}

void S3c2410MemCtrl::reset() {
    MachineGuard guard(machine_lock());
    regs_ = kBootValues;
}

uint32_t S3c2410MemCtrl::read(uint32_t offset, unsigned) {
    const unsigned index = offset / 4;
    return index < kRegisters ? regs_[index] : 0;
}

void S3c2410MemCtrl::write(uint32_t offset, uint32_t value, unsigned) {
    const unsigned index = offset / 4;
    if (index < kRegisters) regs_[index] = value;
}

}  // namespace hw
