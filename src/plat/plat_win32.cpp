// SPDX-License-Identifier: MIT
// The platform layer on Windows. Sections follow plat.h: files and folders (UTF-16 paths
// through the Win32 file services), the two text rules, sockets (Winsock 2), threads and
// time, the console and the program's arguments. Every text above this file is UTF-8;
// the conversion to and from UTF-16 happens here and nowhere else.
#if !defined(_WIN32)
#error "plat_win32.cpp is the Windows implementation; build plat_posix.cpp elsewhere"
#endif

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10: WSAPoll, GetFinalPathNameByHandleW, condition variables
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "plat/path_text.h"
#include "plat/plat.h"
#include "plat/plat_win32.h"

// ---- UTF-8 and UTF-16 ----------------------------------------------------------------

namespace {
struct free_deleter {
  void operator()(void* p) const { std::free(p); }
};
using wide_text = std::unique_ptr<wchar_t[], free_deleter>;
}  // namespace

// A whole terminated UTF-8 text as a new UTF-16 text, or null. Bytes that are not UTF-8
// fail the conversion instead of turning into U+FFFD: such a text names no entry, and a
// replacement character could name another one.
static wide_text wide(const char* text) {
  if (!text) return nullptr;
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return nullptr;
  wide_text w(static_cast<wchar_t*>(std::malloc(static_cast<size_t>(n) * sizeof(wchar_t))));
  if (!w || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, w.get(), n) != n) return nullptr;
  return w;
}

// `len` UTF-16 units (-1: up to and including the terminator) as a new terminated UTF-8
// text that the caller frees, or null. An unpaired surrogate, which a Windows name may
// hold, fails: its UTF-8 form would name nothing when it came back.
static char* narrow_n(const wchar_t* text, int len) {
  if (len == 0) return static_cast<char*>(std::calloc(1, 1));
  const int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, len, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return nullptr;
  const size_t size = static_cast<size_t>(n) + (len < 0 ? 0 : 1);
  char* out = static_cast<char*>(std::malloc(size));
  if (!out) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, len, out, n, nullptr, nullptr) != n) {
    std::free(out);
    return nullptr;
  }
  out[size - 1] = '\0';
  return out;
}

static char* narrow(const wchar_t* text) { return narrow_n(text, -1); }

// ---- Files and folders -------------------------------------------------------------

struct plat_dir {
  HANDLE find = INVALID_HANDLE_VALUE;  // INVALID_HANDLE_VALUE: an empty enumeration
  WIN32_FIND_DATAW entry{};
  bool held = false;  // `entry` has not been handed out yet
  char* name = nullptr;
};

struct plat_file {
  HANDLE h = INVALID_HANDLE_VALUE;
};

static constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens an entry for attribute and name queries only; folders open too.
static HANDLE open_for_query(const wchar_t* path, bool follow) {
  DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
  if (!follow) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
  return CreateFileW(path, 0, SHARE_ALL, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Whole seconds since 1970 from the system's 100-nanosecond ticks since 1601.
static int64_t unix_seconds(const FILETIME& t) {
  const uint64_t ticks = (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000u) - INT64_C(11644473600);
}

int plat_stat(const char* path, plat_statinfo* out, int follow) {
  *out = plat_statinfo{};
  if (!path || !*path) return -1;
  const wide_text w = wide(path);
  if (!w) return -1;
  const DWORD attrs = GetFileAttributesW(w.get());
  if (attrs == INVALID_FILE_ATTRIBUTES) return -1;
  out->is_link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
  out->is_hidden = (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) ? 1 : 0;
  const HANDLE h = open_for_query(w.get(), follow != 0);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(h, &info);
  // A device (a legacy name such as NUL in any folder) opens but is neither a folder nor
  // a file on a disk.
  const bool on_disk = GetFileType(h) == FILE_TYPE_DISK;
  CloseHandle(h);
  if (!ok || !on_disk) return -1;
  out->is_dir = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  out->is_file = out->is_dir ? 0 : 1;
  out->size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  out->mtime = unix_seconds(info.ftLastWriteTime);
  return 0;
}

char* plat_win32_usual_path(const wchar_t* final) {
  static constexpr wchar_t UNC[] = L"\\\\?\\UNC\\";
  static constexpr wchar_t LONG[] = L"\\\\?\\";
  if (std::wcsncmp(final, UNC, 8) == 0) {
    // "\\?\UNC\server\share" -> "\\server\share": two backslashes, then the rest.
    char* rest = narrow(final + 8);
    if (!rest) return nullptr;
    const size_t len = std::strlen(rest);
    char* out = static_cast<char*>(std::malloc(len + 3));
    if (out) {
      out[0] = out[1] = '\\';
      std::memcpy(out + 2, rest, len + 1);
    }
    std::free(rest);
    return out;
  }
  if (std::wcsncmp(final, LONG, 4) == 0) return narrow(final + 4);
  return narrow(final);
}

// The final path of an open entry in its usual form. The buffer lives on the stack of the
// calling thread (64 KiB; every thread has 1 MiB).
static char* final_path(HANDLE h) {
  wchar_t buf[32767];
  const DWORD n = GetFinalPathNameByHandleW(h, buf, 32767, 0);
  if (n == 0 || n > 32766) return nullptr;
  return plat_win32_usual_path(buf);
}

char* plat_realpath(const char* path) {
  if (!path || !*path) return nullptr;
  const wide_text w = wide(path);
  if (!w) return nullptr;
  const HANDLE h = open_for_query(w.get(), true);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  char* real = final_path(h);
  CloseHandle(h);
  return real;
}

static bool is_sep(char c) { return c == '/' || c == '\\'; }

plat_dir* plat_opendir(const char* path) {
  if (!path) return nullptr;
  // The search pattern: the folder's entries are "*" inside it.
  const size_t len = std::strlen(path);
  const bool bare = len == 0 || is_sep(path[len - 1]);
  std::unique_ptr<char[]> pattern(new (std::nothrow) char[len + 3]);
  if (!pattern) return nullptr;
  std::memcpy(pattern.get(), path, len);
  std::memcpy(pattern.get() + len, bare ? "*" : "\\*", bare ? 2 : 3);
  const wide_text w = wide(pattern.get());
  if (!w) return nullptr;
  auto* dir = new (std::nothrow) plat_dir;
  if (!dir) return nullptr;
  dir->find = FindFirstFileW(w.get(), &dir->entry);
  if (dir->find == INVALID_HANDLE_VALUE) {
    // A drive's top folder has no "." or "..": when it is empty the search finds nothing
    // at all, yet the folder is there.
    const DWORD err = GetLastError();
    const wide_text folder = wide(*path ? path : ".");
    const DWORD attrs = folder ? GetFileAttributesW(folder.get()) : INVALID_FILE_ATTRIBUTES;
    if (err == ERROR_FILE_NOT_FOUND && attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY))
      return dir;
    delete dir;
    return nullptr;
  }
  dir->held = true;
  return dir;
}

const char* plat_readdir(plat_dir* dir) {
  if (!dir || dir->find == INVALID_HANDLE_VALUE) return nullptr;
  for (;;) {
    if (!dir->held && !FindNextFileW(dir->find, &dir->entry)) {
      FindClose(dir->find);
      dir->find = INVALID_HANDLE_VALUE;  // further calls give null as well
      return nullptr;
    }
    dir->held = false;
    const wchar_t* n = dir->entry.cFileName;
    if (std::wcscmp(n, L".") == 0 || std::wcscmp(n, L"..") == 0) continue;
    std::free(dir->name);
    dir->name = narrow(n);
    if (dir->name) return dir->name;  // a name that cannot become UTF-8 is skipped
  }
}

void plat_closedir(plat_dir* dir) {
  if (!dir) return;
  if (dir->find != INVALID_HANDLE_VALUE) FindClose(dir->find);
  std::free(dir->name);
  delete dir;
}

plat_file* plat_fopen_read(const char* path) {
  if (!path || !*path) return nullptr;
  const wide_text w = wide(path);
  if (!w) return nullptr;
  // Full sharing: a file being served can still be written, renamed or deleted.
  const HANDLE h = CreateFileW(w.get(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  // Only a file on a disk: a device or a pipe name could otherwise stall a read.
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    CloseHandle(h);
    return nullptr;
  }
  auto* f = new (std::nothrow) plat_file;
  if (!f) {
    CloseHandle(h);
    return nullptr;
  }
  f->h = h;
  return f;
}

int64_t plat_fread_at(plat_file* file, uint64_t offset, void* buf, size_t n) {
  if (!file || file->h == INVALID_HANDLE_VALUE) return -1;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return 0;
  // Continue short reads, as on every system: the reply is zero-filled past what we read.
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    const uint64_t at = offset + done;
    if (at > static_cast<uint64_t>(INT64_MAX)) break;
    uint64_t want = n - done;
    if (want > 0xFFFFFFFFu) want = 0xFFFFFFFFu;
    // No file reaches past the largest offset, so the bytes beyond it are past the end.
    const uint64_t room = static_cast<uint64_t>(INT64_MAX) - at;
    if (want > room) want = room;
    if (want == 0) break;
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(file->h, p + done, static_cast<DWORD>(want), &got, &ov)) {
      if (GetLastError() == ERROR_HANDLE_EOF) break;  // at or past the end
      return done > 0 ? static_cast<int64_t>(done) : -1;
    }
    if (got == 0) break;
    done += got;
  }
  return static_cast<int64_t>(done);
}

void plat_fclose(plat_file* file) {
  if (!file) return;
  if (file->h != INVALID_HANDLE_VALUE) CloseHandle(file->h);
  delete file;
}

char* plat_file_realpath(plat_file* file) {
  if (!file || file->h == INVALID_HANDLE_VALUE) return nullptr;
  return final_path(file->h);
}

char plat_path_sep() { return '\\'; }

int plat_path_under(const char* path, const char* root) {
  // Blind to the case of ASCII letters, as Windows file systems compare names:
  // "c:\media\x" lies under "C:\Media".
  return path_text_under(path, root, true);
}

// ---- Sockets -----------------------------------------------------------------------

static SOCKET sock_of(plat_socket s) { return static_cast<SOCKET>(s); }

static std::atomic<int> s_wsa_ok{0};

int plat_net_init() {
  if (s_wsa_ok.load()) return 0;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return -1;  // a later call tries again
  s_wsa_ok.store(1);  // never shut down: the library lives as long as the process
  return 0;
}

void plat_sock_close(plat_socket s) {
  if (s == PLAT_NO_SOCKET) return;
  closesocket(sock_of(s));
}

int plat_poll1(plat_socket s, int want, int timeout_ms) {
  if (s == PLAT_NO_SOCKET) return -1;
  WSAPOLLFD p{};
  p.fd = sock_of(s);
  if (want & PLAT_POLL_READ) p.events |= POLLRDNORM;
  if (want & PLAT_POLL_WRITE) p.events |= POLLWRNORM;
  const int r = WSAPoll(&p, 1, timeout_ms);
  // A value that is no socket is never ready, whether the system says so in the result
  // (POLLNVAL) or by failing the wait.
  if (r == SOCKET_ERROR) return WSAGetLastError() == WSAENOTSOCK ? 0 : -1;
  if (r == 0) return 0;
  // A hang-up or an error reads as readable: the receive, send or accept that follows
  // reports it. An invalid socket alone (POLLNVAL) is never ready.
  int ready = 0;
  if (p.revents & (POLLRDNORM | POLLHUP | POLLERR)) ready |= PLAT_POLL_READ;
  if (p.revents & POLLWRNORM) ready |= PLAT_POLL_WRITE;
  return ready;
}

int plat_ipv4_parse(const char* text) {
  if (!text) return 0;
  IN_ADDR a;
  return inet_pton(AF_INET, text, &a) == 1 ? 1 : 0;
}

static bool set_nonblocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

int plat_tcp_listen(const char* ip, int port, plat_socket* out) {
  *out = PLAT_NO_SOCKET;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<u_short>(port));
  if (!ip || inet_pton(AF_INET, ip, &sa.sin_addr) != 1) return -2;
  // Not inherited by programs a host starts: they must not keep the port open.
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  // Here SO_REUSEADDR would let another program bind the very port we listen on and take
  // our connections; exclusive use refuses that, and a bind of a port in use fails.
  const BOOL on = TRUE;
  (void)setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  // Non-blocking: a connection that vanishes between the wait and the accept must not
  // hold the listener in accept().
  if (!set_nonblocking(s) || bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(s, 16) != 0) {
    closesocket(s);
    return -2;
  }
  *out = static_cast<plat_socket>(s);
  return 0;
}

int plat_sock_port(plat_socket s) {
  if (s == PLAT_NO_SOCKET) return -1;
  sockaddr_in sa{};
  int len = sizeof sa;
  if (getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

int plat_accept_conn(plat_socket listener, plat_socket* out, plat_peer* peer) {
  *out = PLAT_NO_SOCKET;
  sockaddr_in sa{};
  int len = sizeof sa;
  const SOCKET s = accept(sock_of(listener), reinterpret_cast<sockaddr*>(&sa), &len);
  if (s == INVALID_SOCKET) {
    // These leave the connection in the queue, so the listening socket stays readable: a
    // caller that simply waited again would spin.
    const int err = WSAGetLastError();
    return err == WSAEMFILE || err == WSAENOBUFS ? PLAT_EXHAUSTED : -1;
  }
  if (!set_nonblocking(s)) {
    closesocket(s);
    return -1;
  }
  if (peer) {
    *peer = plat_peer{};
    if (len >= static_cast<int>(sizeof sa) && sa.sin_family == AF_INET) {
      peer->ipv4 = ntohl(sa.sin_addr.s_addr);
      peer->port = ntohs(sa.sin_port);
    }
  }
  *out = static_cast<plat_socket>(s);
  return 0;
}

// The reserve is an unbound socket: what runs out first on Windows is socket handles and
// buffer space, and giving one socket back frees both for the accept that follows.
struct plat_reserve {
  SOCKET s = INVALID_SOCKET;
};

plat_reserve* plat_reserve_take() {
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return nullptr;
  auto* r = new (std::nothrow) plat_reserve{s};
  if (!r) closesocket(s);
  return r;
}

void plat_reserve_release(plat_reserve* r) {
  if (!r) return;
  closesocket(r->s);
  delete r;
}

void plat_sock_shutdown(plat_socket s) {
  // Windows wakes no wait on a listening socket short of closing it; the listener's
  // wait of at most 200 ms then bounds how long a stop takes.
  if (s != PLAT_NO_SOCKET) shutdown(sock_of(s), SD_BOTH);
}

int64_t plat_recv(plat_socket s, void* buf, size_t n) {
  const int want = n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
  const int r = recv(sock_of(s), static_cast<char*>(buf), want, 0);
  if (r >= 0) return r;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

int64_t plat_send(plat_socket s, const void* buf, size_t n) {
  const int want = n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
  const int r = send(sock_of(s), static_cast<const char*>(buf), want, 0);
  if (r >= 0) return r;
  return WSAGetLastError() == WSAEWOULDBLOCK ? -2 : -1;
}

// TransmitFile does not fit a non-blocking socket whose every wait is bounded by the
// caller; the session reads and sends the bytes itself instead.
int64_t plat_send_file(plat_socket, plat_file*, uint64_t, size_t, plat_send_way) { return -1; }

int plat_set_nodelay(plat_socket s) {
  const BOOL on = TRUE;
  return setsockopt(sock_of(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0
             ? 0
             : -1;
}

// ---- Threads and time --------------------------------------------------------------

struct plat_thread_rec {
  HANDLE h = nullptr;
};

namespace {
struct start_rec {
  int (*fn)(void*);
  void* arg;
};
}  // namespace

static DWORD WINAPI tramp(LPVOID p) {
  const start_rec rec = *static_cast<start_rec*>(p);
  delete static_cast<start_rec*>(p);
  (void)rec.fn(rec.arg);
  return 0;
}

int plat_thread_start(plat_thread* out, int (*fn)(void*), void* arg) {
  auto* rec = new (std::nothrow) start_rec{fn, arg};
  auto* h = new (std::nothrow) plat_thread_rec;
  if (rec && h) {
    // 1 MiB of stack reserved: deep call chains keep 64 KiB path buffers on it.
    h->h = CreateThread(nullptr, 1024 * 1024, tramp, rec, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (h->h) {
      *out = h;
      return 0;
    }
  }
  delete rec;
  delete h;
  return -1;
}

void plat_thread_join(plat_thread h) {
  if (!h) return;
  WaitForSingleObject(h->h, INFINITE);
  CloseHandle(h->h);
  delete h;
}

void plat_thread_detach(plat_thread h) {
  if (!h) return;
  CloseHandle(h->h);
  delete h;
}

uint64_t plat_now_ms() { return GetTickCount64(); }

void plat_sleep_ms(int ms) {
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

// ---- Console -----------------------------------------------------------------------

// Standard input is read by a thread of its own, blocking in ReadFile or ReadConsoleW,
// and handed over under a lock. A console handle is signalled by every input event (a
// mouse move, a change of focus), so waiting on the handle says nothing about a line;
// waiting on this hand-over never outlasts its time-out, whatever the input is.
namespace {
struct stdin_feed {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  char data[8192];
  size_t have = 0;     // bytes in `data` not yet taken
  bool ended = false;  // the input is at its end or failed
  bool woken = false;  // an interrupt arrived; the next wait returns at once
};
}  // namespace

static stdin_feed s_feed;
static INIT_ONCE s_feed_once = INIT_ONCE_STATIC_INIT;

// Puts `n` bytes into the feed, waiting while the reader of the feed has not taken the
// earlier ones; `end` marks the end of the input.
static void feed_put(const char* bytes, size_t n, bool end) {
  AcquireSRWLockExclusive(&s_feed.lock);
  while (n > 0) {
    while (s_feed.have == sizeof s_feed.data)
      SleepConditionVariableSRW(&s_feed.changed, &s_feed.lock, INFINITE, 0);
    const size_t room = sizeof s_feed.data - s_feed.have;
    const size_t k = n < room ? n : room;
    std::memcpy(s_feed.data + s_feed.have, bytes, k);
    s_feed.have += k;
    bytes += k;
    n -= k;
    WakeAllConditionVariable(&s_feed.changed);
  }
  if (end) s_feed.ended = true;
  WakeAllConditionVariable(&s_feed.changed);
  ReleaseSRWLockExclusive(&s_feed.lock);
}

// A console: lines as the console edits them, in UTF-16, passed on as UTF-8. A line that
// begins with Ctrl-Z is the end of the input, as the C runtime has it.
static void read_console(HANDLE in) {
  wchar_t units[1024];
  wchar_t carry = 0;  // a high surrogate whose partner comes with the next read
  for (;;) {
    DWORD got = 0;
    size_t start = 0;
    if (carry) units[start++] = carry;
    carry = 0;
    if (!ReadConsoleW(in, units + start, static_cast<DWORD>(1024 - start), &got, nullptr)) {
      if (GetLastError() == ERROR_OPERATION_ABORTED) continue;  // Ctrl-C ended the read
      break;
    }
    size_t total = start + got;
    if (got == 0) {
      Sleep(10);  // an interrupted read gives nothing; never spin on it
      if (start) carry = units[0];
      continue;
    }
    if (units[0] == 0x1A) break;
    if (units[total - 1] >= 0xD800 && units[total - 1] <= 0xDBFF) carry = units[--total];
    char* text = narrow_n(units, static_cast<int>(total));
    if (text) {
      feed_put(text, std::strlen(text), false);
      std::free(text);
    }
  }
  feed_put(nullptr, 0, true);
}

// A pipe, a file or the null device: bytes as they come.
static void read_bytes(HANDLE in) {
  char chunk[4096];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
    feed_put(chunk, got, false);
  }
  feed_put(nullptr, 0, true);
}

static DWORD WINAPI stdin_thread(LPVOID) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (in == nullptr || in == INVALID_HANDLE_VALUE)
    feed_put(nullptr, 0, true);
  else if (GetConsoleMode(in, &mode))
    read_console(in);
  else
    read_bytes(in);
  return 0;
}

static BOOL CALLBACK start_feed(PINIT_ONCE, PVOID, PVOID*) {
  const HANDLE t = CreateThread(nullptr, 0, stdin_thread, nullptr, 0, nullptr);
  if (!t) {
    feed_put(nullptr, 0, true);
    return TRUE;
  }
  CloseHandle(t);  // runs until the input ends, or with the process
  return TRUE;
}

int plat_stdin_read(char* buf, int cap, int timeout_ms) {
  InitOnceExecuteOnce(&s_feed_once, start_feed, nullptr, nullptr);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
  AcquireSRWLockExclusive(&s_feed.lock);
  while (s_feed.have == 0 && !s_feed.ended && !s_feed.woken) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    SleepConditionVariableSRW(&s_feed.changed, &s_feed.lock, static_cast<DWORD>(deadline - now), 0);
  }
  int result = 0;
  if (s_feed.have > 0 && cap > 0) {
    const size_t k = s_feed.have < static_cast<size_t>(cap) ? s_feed.have : static_cast<size_t>(cap);
    std::memcpy(buf, s_feed.data, k);
    std::memmove(s_feed.data, s_feed.data + k, s_feed.have - k);
    s_feed.have -= k;
    result = static_cast<int>(k);
    WakeAllConditionVariable(&s_feed.changed);
  } else if (s_feed.ended && s_feed.have == 0) {
    result = -1;
  }
  s_feed.woken = false;
  ReleaseSRWLockExclusive(&s_feed.lock);
  return result;
}

static std::atomic<void (*)(int)> s_on_interrupt{nullptr};

// Runs on a thread that the system starts for the event.
static BOOL WINAPI console_event(DWORD event) {
  int sig;
  if (event == CTRL_C_EVENT)
    sig = SIGINT;
  else if (event == CTRL_BREAK_EVENT)
    sig = SIGBREAK;
  else
    return FALSE;  // closing the console, logging off, shutting down: the default ending
  if (void (*handler)(int) = s_on_interrupt.load()) handler(sig);
  AcquireSRWLockExclusive(&s_feed.lock);
  s_feed.woken = true;  // a wait for a line returns now, and the flag is seen
  WakeAllConditionVariable(&s_feed.changed);
  ReleaseSRWLockExclusive(&s_feed.lock);
  return TRUE;
}

void plat_on_interrupt(void (*handler)(int)) {
  s_on_interrupt.store(handler);
  // A program started in a process group of its own ignores Ctrl-C until it asks for it.
  SetConsoleCtrlHandler(nullptr, FALSE);
  SetConsoleCtrlHandler(console_event, TRUE);
}

// ---- The program's arguments -------------------------------------------------------

static UINT s_console_out_cp = 0;  // the console's code page before ours, 0: untouched

static void restore_console_cp() {
  // What is still buffered goes out while the console still reads UTF-8.
  std::fflush(stdout);
  std::fflush(stderr);
  if (s_console_out_cp) SetConsoleOutputCP(s_console_out_cp);
}

// A stream on a console passes its bytes unchanged (the C runtime would otherwise convert
// them from the ANSI code page, and the console ends lines by itself) and hands whole
// buffers over, so that no character is split between two writes; the program flushes
// every line it means to show.
static bool bytes_to_console(FILE* stream, DWORD which) {
  DWORD mode;
  if (!GetConsoleMode(GetStdHandle(which), &mode)) return false;
  _setmode(_fileno(stream), _O_BINARY);
  std::setvbuf(stream, nullptr, _IOFBF, 1 << 14);
  return true;
}

void plat_main_args(int* argc, char*** argv) {
  // The console shows our UTF-8 output as UTF-8, and gets its own code page back at exit.
  const bool out = bytes_to_console(stdout, STD_OUTPUT_HANDLE);
  const bool err = bytes_to_console(stderr, STD_ERROR_HANDLE);
  if (out || err) {
    const UINT before = GetConsoleOutputCP();
    if (before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
      s_console_out_cp = before;
      std::atexit(restore_console_cp);
    }
  }
  // main received the arguments in the ANSI code page, which cannot hold every name;
  // the system's UTF-16 command line can.
  int n = 0;
  wchar_t** wargs = CommandLineToArgvW(GetCommandLineW(), &n);
  if (!wargs) return;
  auto** args = static_cast<char**>(std::calloc(static_cast<size_t>(n) + 1, sizeof(char*)));
  bool ok = args != nullptr;
  for (int i = 0; ok && i < n; i++) {
    args[i] = narrow(wargs[i]);
    ok = args[i] != nullptr;
  }
  LocalFree(wargs);
  if (!ok) return;  // an argument that is not whole UTF-16: keep what main received
  *argc = n;
  *argv = args;  // kept for the life of the process
}
