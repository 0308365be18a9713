// SPDX-License-Identifier: MIT
// The socket calls that tests make themselves, on their own sockets and on the layer's,
// with one shape on every system; only sockets.cpp includes the system's headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using test_fd = intptr_t;  // a socket of the system (a descriptor or a SOCKET)
inline constexpr test_fd NO_FD = -1;

// A TCP socket, not inherited by child processes, or NO_FD. Starts the socket library of
// the system first where it has one.
test_fd tcp_socket();
void close_fd(test_fd fd);  // NO_FD is ignored

bool connect_loopback(test_fd fd, int port);
// Binds to 127.0.0.1 on a free port and listens; the port, or 0.
int listen_loopback(test_fd fd);
// The port this end of a socket has, or -1.
int local_port_of(test_fd fd);

// Waits up to `timeout_ms` for something to read (data, the end, or an error): 1, 0 on
// a time-out, -1 on a failed wait.
int wait_readable(test_fd fd, int timeout_ms);
// One send or receive: bytes moved, 0 at the end (receive), -1 on failure. A send to a
// peer that has gone never raises a signal.
int64_t send_some(test_fd fd, const void* buf, size_t n);
int64_t recv_some(test_fd fd, void* buf, size_t n);
// Leaves a Unix-domain socket at `path` that nothing listens on, as a server that was
// killed leaves it behind. False where there is no such socket (Windows) or on failure.
bool leave_stale_local_socket(const std::string& path);

// True when the last failure was a reset of the connection by the peer.
bool last_error_was_reset();

// Closing then resets the connection instead of ending it in order.
bool set_linger_reset(test_fd fd);
bool set_buffer_sizes(test_fd fd, int send_bytes, int receive_bytes);  // 0 leaves one as it is
bool set_nodelay_on(test_fd fd);
// The TCP_NODELAY option: 1 on, 0 off, -1 when it cannot be read.
int nodelay_of(test_fd fd);

// For its scope, gives SIGPIPE its default action, which ends the process: a send that
// raised it would end the test program. Nothing on a system without the signal.
class sigpipe_default {
 public:
  sigpipe_default();
  ~sigpipe_default();
  sigpipe_default(const sigpipe_default&) = delete;
  sigpipe_default& operator=(const sigpipe_default&) = delete;

 private:
  void* old_ = nullptr;  // the action before, restored at the end of the scope
};
