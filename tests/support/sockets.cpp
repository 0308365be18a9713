// SPDX-License-Identifier: MIT
#include "support/sockets.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <cerrno>
#include <csignal>
#endif

#if defined(_WIN32)
using sys_socket = SOCKET;
using opt_len = int;
static sys_socket sys(test_fd fd) { return static_cast<SOCKET>(fd); }
static bool interrupted() { return false; }
#else
using sys_socket = int;
using opt_len = socklen_t;
static sys_socket sys(test_fd fd) { return static_cast<int>(fd); }
static bool interrupted() { return errno == EINTR; }
#endif

test_fd tcp_socket() {
#if defined(_WIN32)
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return NO_FD;
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? NO_FD : static_cast<test_fd>(s);
#else
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? NO_FD : fd;
#endif
}

void close_fd(test_fd fd) {
  if (fd == NO_FD) return;
#if defined(_WIN32)
  closesocket(sys(fd));
#else
  close(sys(fd));
#endif
}

static sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  return sa;
}

bool connect_loopback(test_fd fd, int port) {
  const sockaddr_in sa = loopback(port);
  return connect(sys(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

int listen_loopback(test_fd fd) {
  sockaddr_in sa = loopback(0);
  opt_len len = sizeof sa;
  if (bind(sys(fd), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || listen(sys(fd), 1) != 0 ||
      getsockname(sys(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
    return 0;
  return ntohs(sa.sin_port);
}

int local_port_of(test_fd fd) {
  sockaddr_in sa{};
  opt_len len = sizeof sa;
  if (getsockname(sys(fd), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

int wait_readable(test_fd fd, int timeout_ms) {
#if defined(_WIN32)
  WSAPOLLFD p{sys(fd), POLLRDNORM, 0};
  const int r = WSAPoll(&p, 1, timeout_ms);
#else
  pollfd p{sys(fd), POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, timeout_ms);
  } while (r < 0 && errno == EINTR);
#endif
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

int64_t send_some(test_fd fd, const void* buf, size_t n) {
  for (;;) {
#if defined(_WIN32)
    const int r = send(sys(fd), static_cast<const char*>(buf), static_cast<int>(n), 0);
#else
    const ssize_t r = send(sys(fd), buf, n, MSG_NOSIGNAL);
#endif
    if (r < 0 && interrupted()) continue;
    return r < 0 ? -1 : r;
  }
}

int64_t recv_some(test_fd fd, void* buf, size_t n) {
  for (;;) {
#if defined(_WIN32)
    const int r = recv(sys(fd), static_cast<char*>(buf), static_cast<int>(n), 0);
#else
    const ssize_t r = recv(sys(fd), buf, n, 0);
#endif
    if (r < 0 && interrupted()) continue;
    return r < 0 ? -1 : r;
  }
}

bool last_error_was_reset() {
#if defined(_WIN32)
  return WSAGetLastError() == WSAECONNRESET;
#else
  return errno == ECONNRESET;
#endif
}

template <typename T>
static bool set_opt(test_fd fd, int level, int name, const T& value) {
  return setsockopt(sys(fd), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool set_linger_reset(test_fd fd) {
  const linger hard{1, 0};
  return set_opt(fd, SOL_SOCKET, SO_LINGER, hard);
}

bool set_buffer_sizes(test_fd fd, int send_bytes, int receive_bytes) {
  bool ok = true;
  if (send_bytes > 0) ok &= set_opt(fd, SOL_SOCKET, SO_SNDBUF, send_bytes);
  if (receive_bytes > 0) ok &= set_opt(fd, SOL_SOCKET, SO_RCVBUF, receive_bytes);
  return ok;
}

bool set_nodelay_on(test_fd fd) { return set_opt(fd, IPPROTO_TCP, TCP_NODELAY, 1); }

int nodelay_of(test_fd fd) {
  int v = 0;
  opt_len len = sizeof v;
  if (getsockopt(sys(fd), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&v), &len) != 0) return -1;
  return v != 0 ? 1 : 0;
}

#if defined(_WIN32)
sigpipe_default::sigpipe_default() {}
sigpipe_default::~sigpipe_default() {}
#else
sigpipe_default::sigpipe_default() {
  using action = struct sigaction;
  auto* old = new action{};
  action dfl{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGPIPE, &dfl, old);
  old_ = old;
}

sigpipe_default::~sigpipe_default() {
  auto* old = static_cast<struct sigaction*>(old_);
  sigaction(SIGPIPE, old, nullptr);
  delete old;
}
#endif

bool leave_stale_local_socket(const std::string& path) {
#if defined(_WIN32)
  (void)path;
  return false;
#else
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  if (path.size() >= sizeof sa.sun_path) return false;
  std::memcpy(sa.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool made = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && listen(fd, 1) == 0;
  close(fd);  // the file stays; no one answers on it any more
  return made;
#endif
}
