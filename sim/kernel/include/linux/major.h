#ifndef _LINUX_MAJOR_H
#define _LINUX_MAJOR_H

#define UNNAMED_MAJOR 0
#define MEM_MAJOR 1
#define TTY_MAJOR 4
#define MISC_MAJOR 10
#define SOUND_MAJOR 14
#define I2C_MAJOR 89

#endif
