// SPDX-License-Identifier: MIT
// The platform layer on POSIX systems: local control connections over Unix-domain stream
// sockets, in the order of plat.h. The socket file is made reachable by its owner only
// from the moment it exists, and removed at the end only while it is still this one's.
#if defined(_WIN32)
#error "plat_posix_local.cpp is the POSIX implementation; build plat_win32_local.cpp on Windows"
#endif

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "plat/plat.h"

struct plat_local_listener {
  int fd = -1;
  std::string path;
  dev_t dev = 0;  // the socket file made, so that close removes no other file
  ino_t ino = 0;
};

struct plat_local_conn {
  int fd = -1;
};

// The address of `path`; false when it does not fit.
static bool address_of(const char* path, sockaddr_un* sa) {
  *sa = sockaddr_un{};
  sa->sun_family = AF_UNIX;
  const size_t n = std::strlen(path);
  if (n == 0 || n >= sizeof sa->sun_path) return false;
  std::memcpy(sa->sun_path, path, n);
  return true;
}

// Waits for `events` on `fd` until `deadline` (plat_now_ms); a signal does not shorten it.
// 1 when ready, 0 at the deadline, -1 on a failure.
static int wait_until(int fd, short events, uint64_t deadline) {
  for (;;) {
    const uint64_t now = plat_now_ms();
    const int left = now >= deadline ? 0 : static_cast<int>(deadline - now);
    pollfd p{fd, events, 0};
    const int r = poll(&p, 1, left);
    if (r > 0) return 1;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

// A connected non-blocking socket, or -1 with the reason in `*err`. A Unix-domain connect
// never waits: a full backlog fails it with EAGAIN.
static int connect_fd(const sockaddr_un& sa, int* err) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *err = errno;
    return -1;
  }
  int r;
  do {
    r = connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  } while (r != 0 && errno == EINTR);
  if (r == 0) return fd;
  *err = errno;
  close(fd);
  return -1;
}

// What lies at the path before we listen: 0 when nothing (or a socket no server answers
// on, which is removed), else the failure.
static int clear_the_way(const char* path, const sockaddr_un& sa) {
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT ? 0 : -1;
  if (!S_ISSOCK(st.st_mode)) return PLAT_LOCAL_NOT_SOCKET;
  int err = 0;
  const int probe = connect_fd(sa, &err);
  if (probe >= 0) {
    close(probe);
    return PLAT_LOCAL_IN_USE;
  }
  // A full backlog still means a server behind it; only a refusal means none.
  if (err == EAGAIN) return PLAT_LOCAL_IN_USE;
  if (err != ECONNREFUSED) return -1;
  return unlink(path) == 0 || errno == ENOENT ? 0 : -1;
}

// The group `name`'s id; false when there is no such group.
static bool group_id(const char* name, gid_t* gid) {
  std::vector<char> buf(16384);
  group g{};
  group* found = nullptr;
  if (getgrnam_r(name, &g, buf.data(), buf.size(), &found) != 0 || !found) return false;
  *gid = found->gr_gid;
  return true;
}

int plat_local_listen(const char* path, const char* group, plat_local_listener** out) {
  *out = nullptr;
  sockaddr_un sa;
  if (!path || !address_of(path, &sa)) return PLAT_LOCAL_TOO_LONG;
  gid_t gid = 0;
  if (group && !group_id(group, &gid)) return PLAT_LOCAL_GROUP;
  const int cleared = clear_the_way(path, sa);
  if (cleared != 0) return cleared;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // The socket file takes the process's umask: narrowed for the bind, so that no one else
  // can connect in the moment before its mode is set. The mask is the whole process's, so
  // callers listen before they start threads that make files.
  const mode_t old_mask = umask(0177);
  const int bound = bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
  const int bind_err = errno;
  umask(old_mask);
  if (bound != 0) {
    close(fd);
    return bind_err == EADDRINUSE ? PLAT_LOCAL_IN_USE : -1;
  }
  auto* l = new (std::nothrow) plat_local_listener;
  struct stat st;
  int result = -1;
  if (l && lstat(path, &st) == 0) {
    l->fd = fd;
    l->dev = st.st_dev;
    l->ino = st.st_ino;
    result = 0;
    if (group && (chown(path, static_cast<uid_t>(-1), gid) != 0 || chmod(path, 0660) != 0))
      result = PLAT_LOCAL_GROUP;
    if (result == 0 && listen(fd, 16) != 0) result = -1;
  }
  if (result == 0) {
    try {
      l->path = path;
    } catch (...) {
      result = -1;
    }
  }
  if (result != 0) {
    unlink(path);
    close(fd);
    delete l;
    return result;
  }
  *out = l;
  return 0;
}

int plat_local_accept(plat_local_listener* listener, int timeout_ms, plat_local_conn** out) {
  *out = nullptr;
  const int ready = wait_until(listener->fd, POLLIN, plat_now_ms() + static_cast<uint64_t>(timeout_ms));
  if (ready <= 0) return ready;
  int fd;
  do {
    fd = accept4(listener->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return (errno == EAGAIN || errno == ECONNABORTED) ? 0 : -1;
  auto* c = new (std::nothrow) plat_local_conn{fd};
  if (!c) {
    close(fd);
    return -1;
  }
  *out = c;
  return 1;
}

void plat_local_listen_close(plat_local_listener* listener) {
  if (!listener) return;
  // A later server may have replaced a socket that someone removed; leave that one be.
  struct stat st;
  if (lstat(listener->path.c_str(), &st) == 0 && st.st_dev == listener->dev && st.st_ino == listener->ino)
    unlink(listener->path.c_str());
  close(listener->fd);
  delete listener;
}

int plat_local_connect(const char* path, int timeout_ms, plat_local_conn** out) {
  *out = nullptr;
  sockaddr_un sa;
  if (!path || !address_of(path, &sa)) return PLAT_LOCAL_TOO_LONG;
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  int err = 0;
  int fd = connect_fd(sa, &err);
  // The server's backlog is full: it takes connections as it can, so try again a while.
  while (fd < 0 && err == EAGAIN && plat_now_ms() < deadline) {
    plat_sleep_ms(10);
    fd = connect_fd(sa, &err);
  }
  if (fd < 0) {
    if (err == ENOENT || err == ECONNREFUSED) return PLAT_LOCAL_ABSENT;
    if (err == EACCES || err == EPERM) return PLAT_LOCAL_DENIED;
    if (err == ENOTSOCK) return PLAT_LOCAL_NOT_SOCKET;
    return err == EAGAIN ? PLAT_LOCAL_IN_USE : -1;
  }
  auto* c = new (std::nothrow) plat_local_conn{fd};
  if (!c) {
    close(fd);
    return -1;
  }
  *out = c;
  return 0;
}

int64_t plat_local_recv(plat_local_conn* conn, void* buf, size_t n, int timeout_ms) {
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    const ssize_t r = recv(conn->fd, buf, n, MSG_DONTWAIT);
    if (r >= 0) return r;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno == ECONNRESET ? 0 : -1;
    const int ready = wait_until(conn->fd, POLLIN, deadline);
    if (ready < 0) return -1;
    if (ready == 0) return -2;
  }
}

int plat_local_send(plat_local_conn* conn, const void* buf, size_t n, int timeout_ms) {
  const uint64_t deadline = plat_now_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
  const char* at = static_cast<const char*>(buf);
  while (n > 0) {
    // MSG_NOSIGNAL: a client that has gone must never end the server with SIGPIPE.
    const ssize_t r = send(conn->fd, at, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r > 0) {
      at += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (wait_until(conn->fd, POLLOUT, deadline) <= 0) return -1;
  }
  return 0;
}

void plat_local_close(plat_local_conn* conn) {
  if (!conn) return;
  close(conn->fd);
  delete conn;
}
