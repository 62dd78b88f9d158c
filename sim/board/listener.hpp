// The listening side of the board's two servers (the control socket and the device socket): a
// SEQPACKET socket bound at a path in the root, and the wait for the next connection that a
// stop event can end.
#pragma once

#include <sys/socket.h>

#include <string>

namespace simboard {

// Listens on a new socket at `path` (what was there before is removed), which only its owner may
// connect to (0600); the socket, or -1 with the reason in `error`.
int listen_at(const std::string& path, int backlog, std::string& error);

// The credentials of the process at the other end of `sock` (as they were when it connected),
// and whether it runs as the board's own user: a peer of another user is refused, whatever the
// socket's permissions. False also when the credentials cannot be read.
bool peer_is_own_user(int sock, ucred& peer);

// Waits for the next connection on `listen_fd` (close-on-exec); -1 once `stop_fd` is readable
// or the wait fails.
int accept_next(int listen_fd, int stop_fd);

}  // namespace simboard
