// SPDX-License-Identifier: MIT
// The platform layer on Windows: the conversion between UTF-8 and UTF-16, files and
// folders (UTF-16 paths through the Win32 file services) and the two text rules, in the
// order of plat.h. Every text above the platform layer is UTF-8; it becomes UTF-16 here
// and nowhere else. Sockets, threads, time and the console live in plat_win32.cpp, local
// control connections in plat_win32_local.cpp.
#if !defined(_WIN32)
#error "plat_win32_files.cpp is the Windows implementation; build plat_posix_files.cpp elsewhere"
#endif

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10: GetFinalPathNameByHandleW
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "plat/path_text.h"
#include "plat/plat.h"
#include "plat/plat_win32.h"

// ---- UTF-8 and UTF-16 ----------------------------------------------------------------

// A whole terminated UTF-8 text as a new UTF-16 text, or null. Bytes that are not UTF-8
// fail the conversion instead of turning into U+FFFD: such a text names no entry, and a
// replacement character could name another one.
wide_text wide(const char* text) {
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
char* narrow_n(const wchar_t* text, int len) {
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

char* narrow(const wchar_t* text) { return narrow_n(text, -1); }

// ---- Files and folders -------------------------------------------------------------

struct plat_dir {
  HANDLE find = INVALID_HANDLE_VALUE;  // INVALID_HANDLE_VALUE: an empty enumeration
  WIN32_FIND_DATAW entry{};
  bool held = false;  // `entry` has not been handed out yet
  char* name = nullptr;
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

struct plat_out_file {
  HANDLE h = INVALID_HANDLE_VALUE;
  bool owned = true;  // false for standard error, which stays open
};

plat_out_file* plat_append_open(const char* path) {
  const wide_text w = wide(path);
  if (!w || !*w.get()) return nullptr;
  // Appending only, so that every write lands at the end whoever else writes; shared for
  // deleting too, so that the file can be renamed away while the server writes to it.
  const HANDLE h =
      CreateFileW(w.get(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  auto* f = new (std::nothrow) plat_out_file{h, true};
  if (!f) CloseHandle(h);
  return f;
}

plat_out_file* plat_stderr_file() {
  const HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
  return new (std::nothrow) plat_out_file{h, false};
}

int plat_append_write(plat_out_file* file, const void* bytes, size_t n) {
  const char* at = static_cast<const char*>(bytes);
  while (n > 0) {
    const DWORD want = n > (1u << 30) ? (1u << 30) : static_cast<DWORD>(n);
    DWORD wrote = 0;
    if (!WriteFile(file->h, at, want, &wrote, nullptr) || wrote == 0) return -1;
    at += wrote;
    n -= wrote;
  }
  return 0;
}

void plat_append_close(plat_out_file* file) {
  if (!file) return;
  if (file->owned) CloseHandle(file->h);
  delete file;
}

char plat_path_sep() { return '\\'; }

int plat_path_under(const char* path, const char* root) {
  // Blind to the case of ASCII letters, as Windows file systems compare names:
  // "c:\media\x" lies under "C:\Media".
  return path_text_under(path, root, true);
}
