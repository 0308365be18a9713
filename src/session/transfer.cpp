// SPDX-License-Identifier: MIT
// The four timed primitives every session byte passes through. The time-out bounds each
// single wait, not the whole transfer.
#include "session/transfer.h"

#include <cstdlib>
#include <cstring>

#include "server/settings.h"
#include "session/wire.h"

// Fails with `cause`, told to the caller when it asked.
static int fail(xfer_cause* why, xfer_cause cause) {
  if (why) *why = cause;
  return -1;
}

// Waits for `want`; 0 when the socket is ready, else the failure.
static int wait_for(plat_socket sock, int want, int timeout_ms, xfer_cause* why) {
  const int r = plat_poll1(sock, want, timeout_ms);
  if (r > 0) return 0;
  return fail(why, r == 0 ? xfer_cause::timeout : xfer_cause::error);
}

// One loop for both directions: move what the socket takes, and wait only when it would
// block. Trying first saves a wait call whenever the bytes or the room are already there,
// which for a player's back-to-back requests is nearly always.
template <class Move>
static int transfer_all(plat_socket sock, size_t n, int want, int timeout_ms, xfer_cause* why, Move move) {
  size_t done = 0;
  while (done < n) {
    const int64_t r = move(done);
    if (r == -2) {
      if (wait_for(sock, want, timeout_ms, why) != 0) return -1;
      continue;
    }
    if (r == 0) return fail(why, xfer_cause::closed);
    if (r < 0) return fail(why, xfer_cause::error);
    done += static_cast<size_t>(r);
  }
  return 0;
}

int sock_recv_exact(plat_socket sock, void* buf, size_t n, int timeout_ms, xfer_cause* why) {
  auto* p = static_cast<char*>(buf);
  return transfer_all(sock, n, PLAT_POLL_READ, timeout_ms, why,
                      [&](size_t done) { return plat_recv(sock, p + done, n - done); });
}

int sock_recv_next(plat_socket sock, void* buf, size_t n, int timeout_ms, xfer_cause* why) {
  if (n == 0) return 0;
  if (wait_for(sock, PLAT_POLL_READ, timeout_ms, why) != 0) return -1;
  return sock_recv_exact(sock, buf, n, timeout_ms, why);
}

int sock_send_all(plat_socket sock, const void* data, size_t n, int timeout_ms, xfer_cause* why) {
  const auto* p = static_cast<const char*>(data);
  return transfer_all(sock, n, PLAT_POLL_WRITE, timeout_ms, why,
                      [&](size_t done) { return plat_send(sock, p + done, n - done); });
}

int w_string(plat_socket sock, const char* text, int timeout_ms, xfer_cause* why) {
  uint8_t len[4] = {0, 0, 0, 0};
  if (!text) return sock_send_all(sock, len, 4, timeout_ms, why);
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(G_CFG.max_string.load())) return fail(why, xfer_cause::too_long);
  be32_put(len, static_cast<uint32_t>(n));
  if (sock_send_all(sock, len, 4, timeout_ms, why) != 0) return -1;
  return n == 0 ? 0 : sock_send_all(sock, text, n, timeout_ms, why);
}

int read_string(plat_socket sock, char** out, int timeout_ms, xfer_cause* why) {
  uint8_t len_bytes[4];
  if (sock_recv_exact(sock, len_bytes, 4, timeout_ms, why) != 0) return -1;
  const uint32_t n = be32_get(len_bytes);
  if (n > static_cast<uint32_t>(G_CFG.max_string.load())) return fail(why, xfer_cause::bad_string);
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
  if (!text) return fail(why, xfer_cause::error);
  if (n > 0 && sock_recv_exact(sock, text, n, timeout_ms, why) != 0) {
    std::free(text);
    return -1;
  }
  if (n > 0 && std::memchr(text, 0, n)) {
    std::free(text);
    return fail(why, xfer_cause::bad_string);
  }
  text[n] = '\0';
  *out = text;
  return 0;
}

int sock_set_nodelay(plat_socket sock) { return plat_set_nodelay(sock); }
