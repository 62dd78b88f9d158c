#ifndef __LINUX_UACCESS_H__
#define __LINUX_UACCESS_H__
#include <asm/uaccess.h>
#endif
