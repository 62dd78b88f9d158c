// The os seam: the only way `recorder` and `volcheck` reach devices, the SD card, the flash,
// the system clock and the shell.
//
// Two implementations are chosen at build time:
//   board.cpp  each function is the libc call and nothing else (what runs on the box);
//   sim*.cpp   the client of the simulated board: paths under /mnt and /dev are mapped into the
//              board's root directory, the board's device files are served by simboard over a
//              socket, the system clock is an offset kept by the board, and shell commands get
//              their paths rewritten ("reboot" becomes a request to the board).
//
// Everything else (threads, mutexes, signals, timers, printf to the console) is used directly.
// Paths given to these functions are always the box's own paths ("/mnt/mmcblk0p1/...").
#pragma once

#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <termios.h>

#include <cstdio>
#include <string>

namespace os {

// Must be called first in main(). On the simulated board it checks the board's environment
// (SIMBOARD_ROOT) and ends the program with a plain message when it is missing; it also makes
// stdout line-buffered so that console lines reach the board as they are printed. Calling it
// again re-reads the environment (tests point the seam at a fresh root that way).
void init();

// Files and devices.
int open(const char* path, int flags, mode_t mode = 0);
int close(int fd);
ssize_t read(int fd, void* buf, size_t count);
ssize_t write(int fd, const void* buf, size_t count);
// The buffers of `iov` in order, written with one call (writev(2)): a record's head and its
// payload without copying them together first.
ssize_t writev(int fd, const struct iovec* iov, int count);
int ioctl(int fd, unsigned long request, void* arg);
int ioctl(int fd, unsigned long request, unsigned long arg = 0);
void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int munmap(void* addr, size_t length);
int fcntl(int fd, int cmd, long arg = 0);
off_t lseek(int fd, off_t offset, int whence);
int ftruncate(int fd, off_t length);
int fsync(int fd);
void sync();
FILE* fopen(const char* path, const char* mode);

// Serial ports.
int tcgetattr(int fd, struct termios* t);
int tcsetattr(int fd, int optional_actions, const struct termios* t);
int tcflush(int fd, int queue_selector);

// File system.
int mkdir(const char* path, mode_t mode);
int statfs(const char* path, struct statfs* out);
int stat(const char* path, struct stat* out);
int access(const char* path, int mode);
int unlink(const char* path);
int rename(const char* from, const char* to);

// Shell.
int system(const char* command);

// System clock.
int gettimeofday(struct timeval* tv);
int settimeofday(const struct timeval* tv);

// The host path that a box path stands for (identity on the box). For diagnostics and tests.
std::string host_path(const char* path);

}  // namespace os
