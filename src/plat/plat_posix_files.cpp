// SPDX-License-Identifier: MIT
// The platform layer on POSIX systems (Linux first): files and folders, files appended
// to, and the two text rules, in the order of plat.h. Every wrapper is one system service
// with the result convention of plat.h; interrupted calls are retried. Sockets, threads,
// time and the console live in plat_posix.cpp.
#if defined(_WIN32)
#error "plat_posix_files.cpp is the POSIX implementation; build plat_win32_files.cpp on Windows"
#endif

#include "plat/plat.h"
#include "plat/plat_posix.h"
#include "plat/read_at.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

// ---- Files and folders -------------------------------------------------------------

struct plat_dir {
  DIR* d = nullptr;
};

static int32_t is_hidden_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* base = slash ? slash + 1 : path;
  return base[0] == '.' ? 1 : 0;
}

int plat_stat(const char* path, plat_statinfo* out, int follow) {
  *out = plat_statinfo{};
  if (!path) return -1;
  struct stat st;
  if (lstat(path, &st) != 0) return -1;
  out->is_link = S_ISLNK(st.st_mode) ? 1 : 0;
  out->is_hidden = is_hidden_name(path);
  if (follow && out->is_link && stat(path, &st) != 0) return -1;
  out->is_dir = S_ISDIR(st.st_mode) ? 1 : 0;
  out->is_file = S_ISREG(st.st_mode) ? 1 : 0;
  out->size = static_cast<int64_t>(st.st_size);
  out->mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
  return 0;
}

char* plat_realpath(const char* path) {
  if (!path || !*path) return nullptr;
  return realpath(path, nullptr);  // malloc'ed, as plat.h promises
}

// Names are bytes on this system; only valid UTF-8 may travel upward, because a listing
// holding any other name would be invalid JSON for every client that receives it.
static bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) {
      i++;
      continue;
    }
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07u;
    } else
      return false;
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; k++) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0u) != 0x80u) return false;
      cp = (cp << 6) | (cc & 0x3Fu);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

plat_dir* plat_opendir(const char* path) {
  if (!path) return nullptr;
  DIR* d = opendir(*path ? path : ".");
  if (!d) return nullptr;
  auto* dir = new (std::nothrow) plat_dir;
  if (!dir) {
    closedir(d);
    return nullptr;
  }
  dir->d = d;
  return dir;
}

const char* plat_readdir(plat_dir* dir) {
  if (!dir || !dir->d) return nullptr;
  for (;;) {
    const struct dirent* e = readdir(dir->d);
    if (!e) return nullptr;
    const char* n = e->d_name;
    if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
    if (!valid_utf8(n)) continue;
    return n;  // lives in the DIR until the next readdir or closedir
  }
}

void plat_closedir(plat_dir* dir) {
  if (!dir) return;
  if (dir->d) closedir(dir->d);
  delete dir;
}

plat_file* plat_fopen_read(const char* path) {
  if (!path || !*path) return nullptr;
  // O_NONBLOCK so that a FIFO or a device can never hold the thread in open(); the
  // handle is then checked to be a regular file, which closes the gap between a stat
  // and the open.
  int fd;
  do {
    fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return nullptr;
  }
  auto* f = new (std::nothrow) plat_file;
  if (!f) {
    close(fd);
    return nullptr;
  }
  f->fd = fd;
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return f;
}

int64_t plat_fread_at(plat_file* file, uint64_t offset, void* buf, size_t n) {
  if (!file || file->fd < 0) return -1;
  return read_at_fully(offset, buf, n, static_cast<uint64_t>(SSIZE_MAX),
                       [&](uint64_t at, char* dst, size_t want) {
                         for (;;) {
                           const ssize_t r = pread(file->fd, dst, want, static_cast<off_t>(at));
                           if (r >= 0 || errno != EINTR) return static_cast<int64_t>(r < 0 ? -1 : r);
                         }
                       });
}

void plat_fclose(plat_file* file) {
  if (!file) return;
  // Never retry close(): after EINTR the descriptor may already be released and reused.
  if (file->fd >= 0) close(file->fd);
  if (file->view) munmap(file->view, file->view_len);
  delete file;
}

char* plat_file_realpath(plat_file* file) {
  if (!file || file->fd < 0) return nullptr;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", file->fd);
  return realpath(link, nullptr);
}

struct plat_out_file {
  int fd = -1;
  bool owned = true;  // false for standard error, which stays open
};

plat_out_file* plat_append_open(const char* path) {
  if (!path || !*path) return nullptr;
  int fd;
  // Not blocking in the open: a FIFO that no one reads fails at once instead of waiting
  // for a reader. The writes then block, as they do on a file.
  do {
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  auto* f = new (std::nothrow) plat_out_file{fd, true};
  if (!f) close(fd);
  return f;
}

plat_out_file* plat_stderr_file() { return new (std::nothrow) plat_out_file{STDERR_FILENO, false}; }

int plat_append_write(plat_out_file* file, const void* bytes, size_t n) {
  const char* at = static_cast<const char*>(bytes);
  while (n > 0) {
    const ssize_t r = write(file->fd, at, n);
    if (r > 0) {
      at += r;
      n -= static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    return -1;
  }
  return 0;
}

void plat_append_close(plat_out_file* file) {
  if (!file) return;
  // Not retried on EINTR: the descriptor may already be gone, and its number reused.
  if (file->owned) close(file->fd);
  delete file;
}

char plat_path_sep() { return '/'; }

// Every byte but "/" and the terminator may be part of a name here.
int plat_text_reserved(const char*) { return 0; }
