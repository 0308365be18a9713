// SPDX-License-Identifier: MIT
// The platform layer on Windows: sockets (Winsock 2), threads and time, the console and
// the program's arguments, in the order of plat.h. Files and folders, and the conversion
// between UTF-8 and UTF-16, live in plat_win32_files.cpp, local control connections in
// plat_win32_local.cpp.
#if !defined(_WIN32)
#error "plat_win32.cpp is the Windows implementation; build plat_posix.cpp elsewhere"
#endif

#include "plat/plat_win32.h"  // first: the system's headers, in the order they need

#include <ws2tcpip.h>
#include <mswsock.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "plat/plat.h"

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
  // Overlapped, as the connections it accepts are then too: TransmitFile waits for them.
  const SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_NO_HANDLE_INHERIT | WSA_FLAG_OVERLAPPED);
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

// TransmitFile is an extension of the socket provider, asked for by its identifier rather
// than imported from a library of its own; every socket of ours has the same provider.
static LPFN_TRANSMITFILE transmit_file_of(SOCKET s) {
  static std::atomic<LPFN_TRANSMITFILE> s_transmit{nullptr};
  LPFN_TRANSMITFILE fn = s_transmit.load();
  if (fn) return fn;
  GUID id = WSAID_TRANSMITFILE;
  DWORD got = 0;
  if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &fn, sizeof fn, &got, nullptr,
               nullptr) != 0)
    return nullptr;
  s_transmit.store(fn);
  return fn;
}

// The most one TransmitFile is asked for. It cannot be told not to block, so a send waits
// for its completion, and short pieces keep each wait short; they also take their turn
// sooner where client editions of Windows run only two such sends at once and queue the
// rest (which Wine does not show).
static constexpr size_t TRANSMIT_PIECE = 64 * 1024;

// True when the connection has failed (the peer reset it, say), as a wait reports it.
static bool connection_failed(SOCKET s) {
  WSAPOLLFD p{};
  p.fd = s;
  p.events = POLLWRNORM;
  return WSAPoll(&p, 1, 0) == SOCKET_ERROR || (p.revents & (POLLERR | POLLNVAL)) != 0;
}

// Waits for a send under way to complete: 0; -1 when the connection fails meanwhile;
// PLAT_TIMED_OUT after `timeout_ms`. The connection is looked at between short waits:
// Wine leaves a send to a peer that has reset the connection pending until cancelled,
// where Windows ends it with the error.
static int wait_for_send(SOCKET s, HANDLE done, int timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD slice = static_cast<DWORD>(std::min<ULONGLONG>(deadline > now ? deadline - now : 0, 100));
    if (WaitForSingleObject(done, slice) == WAIT_OBJECT_0) return 0;
    if (connection_failed(s)) return -1;
    if (GetTickCount64() >= deadline) return PLAT_TIMED_OUT;
  }
}

int64_t plat_send_file(plat_socket s, plat_file* file, uint64_t offset, size_t n, int timeout_ms,
                       plat_send_way) {
  if (!file || file->h == INVALID_HANDLE_VALUE || offset > static_cast<uint64_t>(INT64_MAX)) return -1;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file->h, &size)) return -1;
  if (offset >= static_cast<uint64_t>(size.QuadPart)) return 0;
  n = static_cast<size_t>(
      std::min<uint64_t>({n, static_cast<uint64_t>(size.QuadPart) - offset, TRANSMIT_PIECE}));
  if (n == 0) return 0;
  // A socket with no room is the caller's to wait for, as with every other send.
  const int ready = plat_poll1(s, PLAT_POLL_WRITE, 0);
  if (ready < 0 || connection_failed(sock_of(s))) return -1;
  if (ready == 0) return -2;
  const LPFN_TRANSMITFILE transmit = transmit_file_of(sock_of(s));
  if (!transmit) return -1;
  if (!file->sent) file->sent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!file->sent) return -1;
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  ov.hEvent = file->sent;
  ResetEvent(file->sent);
  if (!transmit(sock_of(s), file->h, static_cast<DWORD>(n), 0, &ov, nullptr, 0)) {
    const int err = WSAGetLastError();
    if (err != WSA_IO_PENDING) return -1;
    const int r = wait_for_send(sock_of(s), file->sent, timeout_ms);
    if (r != 0) {
      // The record may go only once the system has done with it.
      CancelIoEx(reinterpret_cast<HANDLE>(sock_of(s)), &ov);
      DWORD ignored = 0, flags = 0;
      WSAGetOverlappedResult(sock_of(s), &ov, &ignored, TRUE, &flags);
      return r;
    }
  }
  DWORD sent = 0, flags = 0;
  if (!WSAGetOverlappedResult(sock_of(s), &ov, &sent, FALSE, &flags)) return -1;
  return sent;  // 0 when the file has shrunk below the offset meanwhile
}

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

// Windows asks a program to reopen nothing: a log is renamed away and reopened on the
// console's word alone.
void plat_on_reopen(void (*)(int)) {}

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
