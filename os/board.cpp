// The os seam on the box itself: every function is the libc call, nothing else.
#include "os.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdlib>

namespace os {

void init() {}

int open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int close(int fd) { return ::close(fd); }
ssize_t read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
ssize_t write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
ssize_t writev(int fd, const struct iovec* iov, int count) { return ::writev(fd, iov, count); }
int ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int ioctl(int fd, unsigned long request, unsigned long arg) { return ::ioctl(fd, request, arg); }
void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int munmap(void* addr, size_t length) { return ::munmap(addr, length); }
int fcntl(int fd, int cmd, long arg) { return ::fcntl(fd, cmd, arg); }
off_t lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }
int fsync(int fd) { return ::fsync(fd); }
void sync() { ::sync(); }
FILE* fopen(const char* path, const char* mode) { return std::fopen(path, mode); }

int tcgetattr(int fd, struct termios* t) { return ::tcgetattr(fd, t); }
int tcsetattr(int fd, int optional_actions, const struct termios* t) {
    return ::tcsetattr(fd, optional_actions, t);
}
int tcflush(int fd, int queue_selector) { return ::tcflush(fd, queue_selector); }

int mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int statfs(const char* path, struct statfs* out) { return ::statfs(path, out); }
int stat(const char* path, struct stat* out) { return ::stat(path, out); }
int access(const char* path, int mode) { return ::access(path, mode); }
int unlink(const char* path) { return ::unlink(path); }
int rename(const char* from, const char* to) { return ::rename(from, to); }

int system(const char* command) { return std::system(command); }

int gettimeofday(struct timeval* tv) { return ::gettimeofday(tv, nullptr); }
int settimeofday(const struct timeval* tv) { return ::settimeofday(tv, nullptr); }

std::string host_path(const char* path) { return path; }

}  // namespace os
