#ifndef _ASMARM_PGTABLE_H
#define _ASMARM_PGTABLE_H
#include <linux/mm.h>
#define pgprot_noncached(prot) (prot)
#endif
