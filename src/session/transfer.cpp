// SPDX-License-Identifier: MIT
// The four timed primitives every session byte passes through. The time-out bounds each
// single wait, not the whole transfer.
#include "session/transfer.h"

#include <cstdlib>
#include <cstring>

#include "server/settings.h"
#include "session/wire.h"

// One loop for both directions: move what the socket takes, and wait only when it would
// block. Trying first saves a wait call whenever the bytes or the room are already there,
// which for a player's back-to-back requests is nearly always.
template <class Move>
static int transfer_all(plat_socket sock, size_t n, int want, int timeout_ms, Move move) {
  size_t done = 0;
  while (done < n) {
    const int64_t r = move(done);
    if (r == -2) {
      if (plat_poll1(sock, want, timeout_ms) <= 0) return -1;
      continue;
    }
    if (r <= 0) return -1;  // closed by the peer, or an error
    done += static_cast<size_t>(r);
  }
  return 0;
}

int sock_recv_exact(plat_socket sock, void* buf, size_t n, int timeout_ms) {
  auto* p = static_cast<char*>(buf);
  return transfer_all(sock, n, PLAT_POLL_READ, timeout_ms,
                      [&](size_t done) { return plat_recv(sock, p + done, n - done); });
}

int sock_recv_next(plat_socket sock, void* buf, size_t n, int timeout_ms) {
  if (n == 0) return 0;
  if (plat_poll1(sock, PLAT_POLL_READ, timeout_ms) <= 0) return -1;
  return sock_recv_exact(sock, buf, n, timeout_ms);
}

int sock_send_all(plat_socket sock, const void* data, size_t n, int timeout_ms) {
  const auto* p = static_cast<const char*>(data);
  return transfer_all(sock, n, PLAT_POLL_WRITE, timeout_ms,
                      [&](size_t done) { return plat_send(sock, p + done, n - done); });
}

int w_string(plat_socket sock, const char* text, int timeout_ms) {
  uint8_t len[4] = {0, 0, 0, 0};
  if (!text) return sock_send_all(sock, len, 4, timeout_ms);
  const size_t n = std::strlen(text);
  if (n > static_cast<size_t>(G_CFG.max_string.load())) return -1;
  be32_put(len, static_cast<uint32_t>(n));
  if (sock_send_all(sock, len, 4, timeout_ms) != 0) return -1;
  return n == 0 ? 0 : sock_send_all(sock, text, n, timeout_ms);
}

int read_string(plat_socket sock, char** out, int timeout_ms) {
  uint8_t len_bytes[4];
  if (sock_recv_exact(sock, len_bytes, 4, timeout_ms) != 0) return -1;
  const uint32_t n = be32_get(len_bytes);
  if (n > static_cast<uint32_t>(G_CFG.max_string.load())) return -1;
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
  if (!text) return -1;
  if (n > 0 && (sock_recv_exact(sock, text, n, timeout_ms) != 0 || std::memchr(text, 0, n))) {
    std::free(text);
    return -1;
  }
  text[n] = '\0';
  *out = text;
  return 0;
}

int sock_set_nodelay(plat_socket sock) { return plat_set_nodelay(sock); }
