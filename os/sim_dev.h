// The device half of the simulated os seam: device files that simboard serves.
//
// The board lists its device nodes in "<root>/dev/.nodes", one line per node:
//     /dev/winbond0 c 240 0
// An open of a listed path becomes one SOCK_SEQPACKET connection to the board's device socket
// ($SIMBOARD_SOCKET); that socket's descriptor is the program's file descriptor, so closing it
// releases the device. Without a socket the board's devices are absent: opens fail with ENXIO.
//
// The file-system half (sim.cpp) asks is_device_path() on every open and owns() on every call
// that takes a descriptor, and hands those calls here.
#pragma once

#include <sys/types.h>

#include <string>

namespace os::simdev {

// Called once by os::init() with the board's root directory and device socket path ("" = none).
void init(const std::string& root, const std::string& socket_path);

// True when `box_path` (for example "/dev/winbond0") is a device node served by the board.
bool is_device_path(const std::string& box_path);

// Device file calls. Return values and errno as the libc calls they stand for.
int open(const std::string& box_path, int flags);
bool owns(int fd);
int close(int fd);
ssize_t read(int fd, void* buf, size_t count);
ssize_t write(int fd, const void* buf, size_t count);
int ioctl(int fd, unsigned long request, unsigned long arg);
void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int fcntl(int fd, int cmd, long arg);

// Asks the board to reboot (the shell command "reboot"). Returns -1 with ENXIO without a board.
int request_reboot();

}  // namespace os::simdev
