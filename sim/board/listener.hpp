// The listening side of the board's two servers (the control socket and the device socket): a
// SEQPACKET socket bound at a path in the root, and the wait for the next connection that a
// stop event can end.
#pragma once

#include <string>

namespace simboard {

// Listens on a new socket at `path` (what was there before is removed); the socket, or -1 with
// the reason in `error`.
int listen_at(const std::string& path, int backlog, std::string& error);

// Waits for the next connection on `listen_fd` (close-on-exec); -1 once `stop_fd` is readable
// or the wait fails.
int accept_next(int listen_fd, int stop_fd);

}  // namespace simboard
