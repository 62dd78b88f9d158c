#ifndef __ASM_ARM_MACH_TYPE_H
#define __ASM_ARM_MACH_TYPE_H
#define MACH_TYPE_SMDK2410 193
#define machine_is_smdk2410() (1)
#endif
