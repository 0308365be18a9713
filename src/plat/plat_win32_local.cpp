// SPDX-License-Identifier: MIT
// The platform layer on Windows: local control connections over named pipes, in the
// order of plat.h. Every wait is an overlapped operation with a bounded wait, cancelled
// when its time runs out. The pipe refuses remote clients, and its security lets only
// this process's user and the administrators open it.
#if !defined(_WIN32)
#error "plat_win32_local.cpp is the Windows implementation; build plat_posix_local.cpp elsewhere"
#endif

#include "plat/plat_win32.h"  // first: the system's headers, in the order they need

#include <sddl.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "plat/plat.h"

static constexpr wchar_t PIPE_PREFIX[] = L"\\\\.\\pipe\\";
static constexpr size_t PIPE_NAME_MAX = 256;  // the system's limit for a whole pipe name
static constexpr DWORD PIPE_BUFFER = 8192;

struct plat_local_listener {
  std::wstring name;
  PSECURITY_DESCRIPTOR security = nullptr;  // LocalFree'd
  HANDLE pending = INVALID_HANDLE_VALUE;    // the instance the next client connects to
  HANDLE event = nullptr;
  OVERLAPPED ov{};
  bool connecting = false;  // a ConnectNamedPipe on `pending` is under way
};

// One event for each direction: one thread may receive while another sends.
struct plat_local_conn {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE read_event = nullptr;
  HANDLE write_event = nullptr;
};

// A connection over `pipe`, or null (the pipe then still the caller's).
static plat_local_conn* new_conn(HANDLE pipe) {
  auto* c = new (std::nothrow) plat_local_conn;
  if (!c) return nullptr;
  c->read_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  c->write_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!c->read_event || !c->write_event) {
    if (c->read_event) CloseHandle(c->read_event);
    if (c->write_event) CloseHandle(c->write_event);
    delete c;
    return nullptr;
  }
  c->pipe = pipe;
  return c;
}

// The full pipe name for `path`; false when it is no UTF-8 or too long.
static bool pipe_name(const char* path, std::wstring* out) {
  const wide_text w = wide(path);
  if (!w || !*w.get()) return false;
  std::wstring name(w.get());
  if (name.compare(0, std::wcslen(PIPE_PREFIX), PIPE_PREFIX) != 0) name = PIPE_PREFIX + name;
  if (name.size() > PIPE_NAME_MAX) return false;
  *out = std::move(name);
  return true;
}

// A security descriptor that grants everything to this process's user and to the
// administrators and nothing to anyone else (a protected list, so nothing is inherited).
// Wine runs every program as one and the same user, so the tests under Wine show that the
// pipe is made with this list and opened by its own user, never that another is kept out.
static PSECURITY_DESCRIPTOR owner_only_security() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return nullptr;
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> info(size ? size : 1);
  LPWSTR sid = nullptr;
  const bool got = size && GetTokenInformation(token, TokenUser, info.data(), size, &size) &&
                   ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(info.data())->User.Sid, &sid);
  CloseHandle(token);
  if (!got) return nullptr;
  const std::wstring sddl = L"D:P(A;;GA;;;" + std::wstring(sid) + L")(A;;GA;;;BA)";
  LocalFree(sid);
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &sd, nullptr))
    return nullptr;
  return sd;
}

// One more instance of the pipe for the next client. The first must be the first of its
// name: a server already listening there makes it fail. Remote clients are refused here;
// Wine has no network pipes at all, so no test there can show that refusal.
static HANDLE new_instance(const plat_local_listener& l, bool first) {
  SECURITY_ATTRIBUTES sa{sizeof sa, l.security, FALSE};
  const DWORD open_mode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  const DWORD pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  return CreateNamedPipeW(l.name.c_str(), open_mode, pipe_mode, PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER,
                          PIPE_BUFFER, 0, &sa);
}

static void release(plat_local_listener* l) {
  if (l->pending != INVALID_HANDLE_VALUE) {
    if (l->connecting) {
      CancelIoEx(l->pending, &l->ov);
      DWORD n;
      GetOverlappedResult(l->pending, &l->ov, &n, TRUE);
    }
    CloseHandle(l->pending);
  }
  if (l->event) CloseHandle(l->event);
  if (l->security) LocalFree(l->security);
  delete l;
}

int plat_local_listen(const char* path, const char* group, plat_local_listener** out) {
  *out = nullptr;
  // Windows has no group of the socket's kind; access beyond this user is the
  // administrators', always.
  if (group) return PLAT_LOCAL_GROUP;
  auto* l = new (std::nothrow) plat_local_listener;
  if (!l) return -1;
  try {
    if (!path || !pipe_name(path, &l->name)) {
      release(l);
      return PLAT_LOCAL_TOO_LONG;
    }
  } catch (...) {
    release(l);
    return -1;
  }
  l->security = owner_only_security();
  l->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!l->security || !l->event) {
    release(l);
    return -1;
  }
  // The first instance of a name fails where another server has the name already. Wine
  // (as Debian 12 has it) creates it all the same, so ask first whether the name exists:
  // a wait for a free instance succeeds, or times out while all are busy, only then.
  if (WaitNamedPipeW(l->name.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT) {
    release(l);
    return PLAT_LOCAL_IN_USE;
  }
  l->pending = new_instance(*l, true);
  if (l->pending == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    release(l);
    return (err == ERROR_ACCESS_DENIED || err == ERROR_PIPE_BUSY) ? PLAT_LOCAL_IN_USE : -1;
  }
  *out = l;
  return 0;
}

// Hands the connected instance to a new connection and makes the next instance.
static int take_connected(plat_local_listener* l, plat_local_conn** out) {
  plat_local_conn* c = new_conn(l->pending);
  if (!c) {
    DisconnectNamedPipe(l->pending);
    return -1;
  }
  l->pending = new_instance(*l, false);
  *out = c;
  return 1;
}

int plat_local_accept(plat_local_listener* l, int timeout_ms, plat_local_conn** out) {
  *out = nullptr;
  if (l->pending == INVALID_HANDLE_VALUE) {
    l->pending = new_instance(*l, false);
    if (l->pending == INVALID_HANDLE_VALUE) return -1;
  }
  if (!l->connecting) {
    l->ov = OVERLAPPED{};
    ResetEvent(l->event);
    l->ov.hEvent = l->event;
    if (!ConnectNamedPipe(l->pending, &l->ov)) {
      const DWORD err = GetLastError();
      if (err == ERROR_PIPE_CONNECTED) return take_connected(l, out);
      if (err == ERROR_NO_DATA) {  // a client came and went already
        DisconnectNamedPipe(l->pending);
        return 0;
      }
      if (err != ERROR_IO_PENDING) return -1;
    }
    l->connecting = true;
  }
  const DWORD w = WaitForSingleObject(l->event, static_cast<DWORD>(timeout_ms < 0 ? 0 : timeout_ms));
  if (w == WAIT_TIMEOUT) return 0;
  if (w != WAIT_OBJECT_0) return -1;
  l->connecting = false;
  DWORD n;
  if (!GetOverlappedResult(l->pending, &l->ov, &n, FALSE)) {
    DisconnectNamedPipe(l->pending);
    return 0;
  }
  return take_connected(l, out);
}

void plat_local_listen_close(plat_local_listener* l) {
  if (l) release(l);  // a pipe leaves nothing behind in the file system
}

int plat_local_connect(const char* path, int timeout_ms, plat_local_conn** out) {
  *out = nullptr;
  std::wstring name;
  try {
    if (!path || !pipe_name(path, &name)) return PLAT_LOCAL_TOO_LONG;
  } catch (...) {
    return -1;
  }
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
  HANDLE pipe;
  for (;;) {
    // Identification only: the server may learn who connects, never act as this user.
    pipe = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND) return PLAT_LOCAL_ABSENT;
    if (err == ERROR_ACCESS_DENIED) return PLAT_LOCAL_DENIED;
    const ULONGLONG now = GetTickCount64();
    if (err != ERROR_PIPE_BUSY || now >= deadline) return err == ERROR_PIPE_BUSY ? PLAT_LOCAL_IN_USE : -1;
    // Every instance is taken: the server makes the next one as it accepts.
    WaitNamedPipeW(name.c_str(), static_cast<DWORD>(deadline - now));
  }
  plat_local_conn* c = new_conn(pipe);
  if (!c) {
    CloseHandle(pipe);
    return -1;
  }
  *out = c;
  return 0;
}

// Waits for an overlapped operation begun on `c` until `deadline`, cancelling it then.
// The bytes it moved; -2 when it was cancelled with nothing moved; 0 when the peer has
// gone; -1 on a failure.
static int64_t finish(plat_local_conn* c, OVERLAPPED* ov, ULONGLONG deadline) {
  const ULONGLONG now = GetTickCount64();
  const DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
  if (WaitForSingleObject(ov->hEvent, left) == WAIT_TIMEOUT) CancelIoEx(c->pipe, ov);
  DWORD moved = 0;
  if (GetOverlappedResult(c->pipe, ov, &moved, TRUE)) return moved;
  const DWORD err = GetLastError();
  if (err == ERROR_OPERATION_ABORTED) return -2;
  return (err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) ? 0 : -1;
}

int64_t plat_local_recv(plat_local_conn* c, void* buf, size_t n, int timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
  const DWORD want = n > PIPE_BUFFER * 16 ? PIPE_BUFFER * 16 : static_cast<DWORD>(n);
  OVERLAPPED ov{};
  ResetEvent(c->read_event);
  ov.hEvent = c->read_event;
  if (!ReadFile(c->pipe, buf, want, nullptr, &ov)) {
    const DWORD err = GetLastError();
    if (err == ERROR_BROKEN_PIPE || err == ERROR_PIPE_NOT_CONNECTED) return 0;
    if (err != ERROR_IO_PENDING) return -1;
  }
  return finish(c, &ov, deadline);
}

int plat_local_send(plat_local_conn* c, const void* buf, size_t n, int timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
  const char* at = static_cast<const char*>(buf);
  while (n > 0) {
    const DWORD want = n > PIPE_BUFFER * 16 ? PIPE_BUFFER * 16 : static_cast<DWORD>(n);
    OVERLAPPED ov{};
    ResetEvent(c->write_event);
    ov.hEvent = c->write_event;
    if (!WriteFile(c->pipe, at, want, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) return -1;
    const int64_t r = finish(c, &ov, deadline);
    if (r <= 0) return -1;
    at += r;
    n -= static_cast<size_t>(r);
  }
  return 0;
}

void plat_local_close(plat_local_conn* c) {
  if (!c) return;
  CloseHandle(c->pipe);
  CloseHandle(c->read_event);
  CloseHandle(c->write_event);
  delete c;
}
