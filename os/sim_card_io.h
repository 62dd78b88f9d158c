// The card half of the simulated os seam: I/O on the SD card's files, its capacity and state,
// and the journal of changes that were not flushed (layouts in sim_card.h and
// sim_card_journal.h). sim.cpp hands every call on a card path or a card descriptor here.
#pragma once

#include <sys/statfs.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <string>
#include <string_view>

namespace os::simcardio {

// Called by os::init() with the board's root directory: forgets the card state of an earlier
// root (mapping, journal, descriptors).
void init(const std::string& root);

// The card was changed behind the seam (files put on it by the PC, as a card reader would): its
// use is counted again at the next free-space query, as at a mount. The running count kept by
// every change through the seam and by the board serves the queries in between.
void recount();

// "/mnt/mmcblk0p1" and what lies under it.
bool is_card_path(std::string_view box);

// A card path's calls. `host` is the mapped path of `box`.
int open(std::string_view box, const std::string& host, int flags, mode_t mode);
int unlink(std::string_view box, const std::string& host);
int rename(std::string_view box_from, const std::string& host_from, std::string_view box_to,
           const std::string& host_to);
int mkdir(std::string_view box, const std::string& host, mode_t mode);
int statfs(const std::string& host_card, struct statfs* out);

// Descriptor calls: `handled` is set when `fd` is a card descriptor (and the call was made here).
ssize_t write(int fd, const void* buf, size_t count, bool& handled);
ssize_t writev(int fd, const struct iovec* iov, int count, bool& handled);
int ftruncate(int fd, off_t length, bool& handled);
int fsync(int fd, bool& handled);
// -1 with errno set when the card's state forbids a read of card descriptor `fd`.
int read_check(int fd);
// `fd` was seeked (its position is asked of the kernel again at its next write).
void seeked(int fd);
void closed(int fd);

void sync();

// Around a shell command that may change the card: what it changes is journaled like the
// program's own changes, and the card's use counted again afterwards.
class ShellChanges {
  public:
    explicit ShellChanges(std::string_view box_command);
    ~ShellChanges();
    ShellChanges(const ShellChanges&) = delete;
    ShellChanges& operator=(const ShellChanges&) = delete;

  private:
    bool active_ = false;
};

}  // namespace os::simcardio
