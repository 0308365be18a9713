// SPDX-License-Identifier: MIT
// Timed transfer over a connected socket: each wait for the socket is bounded by a
// time-out in milliseconds. Every failure (time-out, peer closed, socket error, a string
// over max_string or holding a zero byte, no memory) is reported alike as -1.
#pragma once

#include <cstddef>

#include "plat/plat.h"

int sock_recv_exact(plat_socket sock, void* buf, size_t n, int timeout_ms);
// As sock_recv_exact, for bytes that are seldom there yet (the next action code, while the
// client still takes in the last reply): waits first instead of trying first.
int sock_recv_next(plat_socket sock, void* buf, size_t n, int timeout_ms);
int sock_send_all(plat_socket sock, const void* data, size_t n, int timeout_ms);
// Sends `text` as a length-prefixed string; null is the empty string. A text over
// max_string is refused before anything is sent.
int w_string(plat_socket sock, const char* text, int timeout_ms);
// Receives one string into a new malloc'ed text at `*out` (the caller frees it); `*out`
// is untouched on failure.
int read_string(plat_socket sock, char** out, int timeout_ms);
int sock_set_nodelay(plat_socket sock);
