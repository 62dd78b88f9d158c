#ifndef __LINUX_GFP_H
#define __LINUX_GFP_H

#include <linux/types.h>

#define __GFP_WAIT ((gfp_t)0x10u)
#define __GFP_HIGH ((gfp_t)0x20u)
#define __GFP_IO ((gfp_t)0x40u)
#define __GFP_FS ((gfp_t)0x80u)
#define __GFP_COLD ((gfp_t)0x100u)
#define __GFP_NOWARN ((gfp_t)0x200u)
#define __GFP_ZERO ((gfp_t)0x8000u)
#define __GFP_DMA ((gfp_t)0x01u)
#define __GFP_HIGHMEM ((gfp_t)0x02u)

#define GFP_ATOMIC (__GFP_HIGH)
#define GFP_NOIO (__GFP_WAIT)
#define GFP_NOFS (__GFP_WAIT | __GFP_IO)
#define GFP_KERNEL (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_USER (__GFP_WAIT | __GFP_IO | __GFP_FS)
#define GFP_HIGHUSER (GFP_USER | __GFP_HIGHMEM)
#define GFP_DMA __GFP_DMA

#endif
