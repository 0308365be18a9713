// SPDX-License-Identifier: MIT
// The whole session loop on one end of a socket pair: the input is everything a client
// sends, then the client stops sending; the loop answers until it ends. Whatever the
// bytes, nothing sent back comes from outside the roots, and the session always ends.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "fuzz_tree.h"
#include "server/roots.h"
#include "session/session.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz_tree_get();
  return 0;
}

// libFuzzer's own timer interrupts waits with a signal now and then; such a wait is
// simply made again.

// Sends all of `data` on a blocking socket.
static bool send_all(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Waits until `fd` is readable, up to `timeout_ms` in all.
static bool readable_within(int fd, int timeout_ms) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r == 1) return true;
    if (r < 0 && errno != EINTR) return false;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_tree_get();
  int fds[2];
  oracle(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair failed");
  const int client = fds[0], server = fds[1];
  // The input is at most a few kilobytes, which the pair holds before anyone reads: all of
  // it is there, then the end of the client's sending.
  oracle(send_all(client, data, size), "the input does not fit the socket pair");
  shutdown(client, SHUT_WR);

  std::thread session([server] {
    (void)vorn3s_serve_conn(static_cast<plat_socket>(server), roots_get());
    close(server);
  });
  std::string reply;
  char buf[65536];
  for (;;) {
    // The session's own time-outs are one second each; far longer means it hangs.
    oracle(readable_within(client, 20000), "the session neither answers nor ends");
    const ssize_t n = recv(client, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  session.join();
  close(client);
  oracle(nothing_from_outside(reply, std::string_view(reinterpret_cast<const char*>(data), size)),
         "the session sent what lies outside the roots");
  return 0;
}
