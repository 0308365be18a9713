// SPDX-License-Identifier: MIT
// Timed transfer over a connected socket: each wait for the socket is bounded by a
// time-out in milliseconds. Every failure (time-out, peer closed, socket error, a string
// over max_string or holding a zero byte, no memory) is reported alike as -1; a caller
// that tells the operator why passes `why`, which then receives the cause.
#pragma once

#include <cstddef>

#include "plat/plat.h"

// Why a timed transfer failed.
enum class xfer_cause {
  none,
  timeout,     // a wait for the socket ran out
  closed,      // the peer ended the connection
  error,       // the socket failed, or there was no memory for a received string
  too_long,    // a text to send over max_string: nothing went out
  bad_string,  // a received string over max_string, or holding a zero byte
};

int sock_recv_exact(plat_socket sock, void* buf, size_t n, int timeout_ms, xfer_cause* why = nullptr);
// As sock_recv_exact, for bytes that are seldom there yet (the next action code, while the
// client still takes in the last reply): waits first instead of trying first.
int sock_recv_next(plat_socket sock, void* buf, size_t n, int timeout_ms, xfer_cause* why = nullptr);
int sock_send_all(plat_socket sock, const void* data, size_t n, int timeout_ms, xfer_cause* why = nullptr);
// Sends `text` as a length-prefixed string; null is the empty string. A text over
// max_string is refused before anything is sent.
int w_string(plat_socket sock, const char* text, int timeout_ms, xfer_cause* why = nullptr);
// Receives one string into a new malloc'ed text at `*out` (the caller frees it); `*out`
// is untouched on failure.
int read_string(plat_socket sock, char** out, int timeout_ms, xfer_cause* why = nullptr);
int sock_set_nodelay(plat_socket sock);
