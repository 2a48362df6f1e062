// vexctl's side of a control socket: every transfer is bounded by a deadline.
#pragma once

#include "unique_fd.h"
#include "vexctl.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexctl {

// Waits until fd is ready for `events` or the deadline passes.
io_result wait_ready(int fd, short events, const deadline &d);

// The socket is non-blocking: a transfer that would block waits for the
// socket within the deadline; a wait that fails ends the transfer with its
// result (IO_TIMEOUT or IO_LOST), any other failure is IO_LOST.
io_result write_all(int fd, const uint8_t *buf, size_t len, const deadline &d);
io_result read_all(int fd, uint8_t *buf, size_t len, const deadline &d);

// Connects without blocking past the deadline: a listener whose backlog is
// full refuses with EAGAIN until the daemon accepts someone.
io_result open_socket(const char *path, const deadline &d, unique_fd *out);

// Sends one request and reads its response; `status` and `text` hold the
// response when the result is IO_OK.
io_result transact(int fd, int16_t code, const uint8_t *payload, size_t len, int16_t *status,
                   std::string *text, const deadline &d);

// Sends a file (or stdin) as trace-write frames of at most one full payload each.
int stream(int sock, const char *socket_path, const command &c, const char *file, double timeout);

// Pings one socket: the exit code it stands for, with a line about it.
int ping_socket(const char *label, const char *path, double timeout);

// Pings both sockets beside `socket_path` (only that one when it was chosen
// and is neither of them): the exit status of `status`.
int status_all(const char *socket_path, bool chosen, double timeout);

}  // namespace vexctl
