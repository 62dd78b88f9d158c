#ifndef __ASM_ARM_PTRACE_H
#define __ASM_ARM_PTRACE_H

struct pt_regs {
	long uregs[18];
};

#endif
