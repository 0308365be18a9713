// SPDX-License-Identifier: MIT
// The platform layer on Windows: the conversion between UTF-8 and UTF-16, files and
// folders (UTF-16 paths through the Win32 file services) and the two text rules, in the
// order of plat.h. Every text above the platform layer is UTF-8; it becomes UTF-16 here
// and nowhere else. Sockets, threads, time and the console live in plat_win32.cpp, local
// control connections in plat_win32_local.cpp.
#if !defined(_WIN32)
#error "plat_win32_files.cpp is the Windows implementation; build plat_posix_files.cpp elsewhere"
#endif

#include "plat/plat_win32.h"  // first: the system's headers, in the order they need

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "plat/plat.h"
#include "plat/read_at.h"

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

// ---- Long paths --------------------------------------------------------------------

// Win32 rewrites every path it is given in the usual form before the file system sees it:
// it trims trailing dots and blanks from names ("movie." opens "movie"), takes names such
// as CON or NUL.txt for devices, and refuses more than 259 characters. A path in the long
// form ("\\?\" and the absolute path) reaches the file system as it stands, so each file
// call below takes that form, made here: the name that a listing showed is then exactly
// the name that opens.

static bool is_wsep(wchar_t c) { return c == L'/' || c == L'\\'; }
static bool is_wletter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

static constexpr std::wstring_view LONG_PREFIX = L"\\\\?\\";
static constexpr std::wstring_view LONG_UNC_PREFIX = L"\\\\?\\UNC\\";
static constexpr std::wstring_view DEVICE_PREFIX = L"\\\\.\\";

// Appends the names of `rest` to `out`, which holds a root ending in "\": "." and empty
// names are dropped and ".." takes back the name before it, but never the root, as Win32
// itself reads them; one "\" goes between names. False when a name holds a colon, which
// would name a stream of a file.
static bool append_names(std::wstring* out, std::wstring_view rest) {
  const size_t root_len = out->size();
  size_t i = 0;
  while (i < rest.size()) {
    size_t end = i;
    while (end < rest.size() && !is_wsep(rest[end])) end++;
    const std::wstring_view name = rest.substr(i, end - i);
    i = end + 1;
    if (name.empty() || name == L".") continue;
    if (name == L"..") {
      if (out->size() > root_len) {
        out->resize(out->size() - 1);  // the "\" after the last name
        out->resize(out->find_last_of(L'\\') + 1);
      }
      continue;
    }
    if (name.find(L':') != std::wstring_view::npos) return false;
    out->append(name);
    out->push_back(L'\\');
  }
  if (out->size() > root_len) out->pop_back();  // no "\" after the last name
  return true;
}

// The process's current folder in its usual form (drive or share first).
static bool current_folder(std::wstring* out) {
  const DWORD n = GetCurrentDirectoryW(0, nullptr);
  if (n == 0) return false;
  out->assign(n, L'\0');
  const DWORD got = GetCurrentDirectoryW(n, out->data());
  if (got == 0 || got >= n) return false;
  out->resize(got);
  if (out->starts_with(LONG_UNC_PREFIX)) {
    out->replace(0, LONG_UNC_PREFIX.size(), L"\\\\");
  } else if (out->starts_with(LONG_PREFIX)) {
    out->erase(0, LONG_PREFIX.size());
  }
  return true;
}

// `path` in the long form, into `out`. `depth` bounds the rounds through the current
// folder, which is itself a path in the usual form.
static bool long_form(std::wstring_view path, std::wstring* out, int depth = 0) {
  if (path.empty() || depth > 2) return false;
  if (path.starts_with(LONG_PREFIX) || path.starts_with(DEVICE_PREFIX)) {
    // Already a path the system takes as it stands: only a drive may hold a colon.
    std::wstring_view rest = path.substr(LONG_PREFIX.size());
    if (rest.size() >= 2 && is_wletter(rest[0]) && rest[1] == L':' && (rest.size() == 2 || is_wsep(rest[2])))
      rest.remove_prefix(2);
    if (rest.find(L':') != std::wstring_view::npos) return false;
    out->assign(path);
    return true;
  }
  if (path.size() >= 2 && is_wsep(path[0]) && is_wsep(path[1])) {
    // A share: \\server\share, both of which ".." never leaves.
    std::wstring_view rest = path.substr(2);
    const size_t s1 = rest.find_first_of(L"\\/");
    if (s1 == 0 || s1 == std::wstring_view::npos) return false;
    const std::wstring_view server = rest.substr(0, s1);
    rest.remove_prefix(s1 + 1);
    const size_t s2 = std::min(rest.find_first_of(L"\\/"), rest.size());
    const std::wstring_view share = rest.substr(0, s2);
    if (share.empty() || server.find(L':') != std::wstring_view::npos ||
        share.find(L':') != std::wstring_view::npos || server == L"." || server == L"..")
      return false;
    rest.remove_prefix(std::min(s2 + 1, rest.size()));
    out->assign(LONG_UNC_PREFIX);
    out->append(server);
    out->push_back(L'\\');
    out->append(share);
    out->push_back(L'\\');
    return append_names(out, rest);
  }
  if (path.size() >= 3 && is_wletter(path[0]) && path[1] == L':' && is_wsep(path[2])) {
    out->assign(LONG_PREFIX);
    out->append(path.substr(0, 2));
    out->push_back(L'\\');  // "\\?\C:" alone would name the volume, not its top folder
    return append_names(out, path.substr(3));
  }
  std::wstring base;
  if (path.size() >= 2 && is_wletter(path[0]) && path[1] == L':') {
    // Relative to that drive's current folder, which only the system knows.
    const wchar_t drive[3] = {path[0], L':', L'\0'};
    const DWORD n = GetFullPathNameW(drive, 0, nullptr, nullptr);
    if (n == 0) return false;
    base.assign(n, L'\0');
    const DWORD got = GetFullPathNameW(drive, n, base.data(), nullptr);
    if (got == 0 || got >= n) return false;
    base.resize(got);
    path.remove_prefix(2);
  } else {
    if (!current_folder(&base)) return false;
    if (is_wsep(path[0])) {
      // Below the top folder of the current folder's drive ("C:") or share.
      size_t top = 2;
      if (base.size() >= 2 && is_wsep(base[0]) && is_wsep(base[1])) {
        const size_t s1 = base.find_first_of(L"\\/", 2);
        const size_t s2 = s1 == std::wstring::npos ? s1 : base.find_first_of(L"\\/", s1 + 1);
        top = std::min(s2, base.size());
      }
      base.resize(std::min(top, base.size()));
      base.append(path);
      return long_form(base, out, depth + 1);
    }
  }
  base.push_back(L'\\');
  base.append(path);
  return long_form(base, out, depth + 1);
}

wide_text plat_win32_long_path(const char* path) {
  const wide_text w = wide(path);
  if (!w) return nullptr;
  try {
    std::wstring out;
    if (!long_form(w.get(), &out)) return nullptr;
    wide_text copy(static_cast<wchar_t*>(std::malloc((out.size() + 1) * sizeof(wchar_t))));
    if (copy) std::memcpy(copy.get(), out.c_str(), (out.size() + 1) * sizeof(wchar_t));
    return copy;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

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
  const wide_text w = plat_win32_long_path(path);
  if (!w) return -1;
  const DWORD attrs = GetFileAttributesW(w.get());
  if (attrs == INVALID_FILE_ATTRIBUTES) return -1;
  out->is_link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
  out->is_hidden = (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) ? 1 : 0;
  const HANDLE h = open_for_query(w.get(), follow != 0);
  if (h == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(h, &info);
  // A device (a path in the device namespace, \\.\NUL) opens but is neither a folder nor
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

// The final path of an open entry, in the long form the system gives it. The buffer
// lives on the stack of the calling thread (64 KiB; every thread has 1 MiB), and only
// for this call.
static bool system_final_path(HANDLE h, std::wstring* out) {
  wchar_t buf[32767];
  const DWORD n = GetFinalPathNameByHandleW(h, buf, 32767, 0);
  if (n == 0 || n > 32766) return false;
  out->assign(buf, n);
  return true;
}

// True when `path`, opened without following a link, is the very entry `h` has open.
static bool names_entry(const std::wstring& path, HANDLE h) {
  BY_HANDLE_FILE_INFORMATION want, got;
  if (!GetFileInformationByHandle(h, &want)) return false;
  const HANDLE other = open_for_query(path.c_str(), false);
  if (other == INVALID_HANDLE_VALUE) return false;
  const BOOL ok = GetFileInformationByHandle(other, &got);
  CloseHandle(other);
  return ok && got.dwVolumeSerialNumber == want.dwVolumeSerialNumber &&
         got.nFileIndexHigh == want.nFileIndexHigh && got.nFileIndexLow == want.nFileIndexLow;
}

static bool final_long_path(const std::wstring& path, std::wstring* out, int depth);

// How much of a long path is its root, up to and including the "\" after it: "\\?\C:\",
// "\\?\UNC\server\share\", or the prefix and the first name ("\\?\Volume{...}\").
static size_t root_length(std::wstring_view path) {
  size_t from = LONG_PREFIX.size();
  int names = 1;
  if (path.starts_with(LONG_UNC_PREFIX)) {
    from = LONG_UNC_PREFIX.size();
    names = 2;
  }
  for (size_t i = from; i < path.size(); i++) {
    if (path[i] == L'\\' && --names == 0) return i + 1;
  }
  return path.size() + 1;  // nothing below the root
}

// The final path of `h`, opened through `opened` (its long form, or empty when unknown),
// checked to name that very entry again: the containment rule compares these paths, so
// one that named another file would let that file pass for this one. Where the system's
// answer fails the check, the final path of the folder above and the name as it was
// opened are taken instead, when together they name the entry itself (never through a
// link). Wine gives "movie" for the final path of "movie.", which would open the other
// file; Windows itself names every entry as it is stored.
static bool checked_final_path(HANDLE h, const std::wstring& opened, std::wstring* out, int depth) {
  if (system_final_path(h, out) && names_entry(*out, h)) return true;
  const size_t sep = opened.find_last_of(L'\\');
  const size_t top = root_length(opened);
  if (depth > 64 || sep == std::wstring::npos || sep + 1 >= opened.size() || sep + 1 < top) return false;
  std::wstring folder;
  // The folder above, with the "\" that a drive's or a share's top folder needs.
  if (!final_long_path(opened.substr(0, sep + 1 == top ? top : sep), &folder, depth + 1)) return false;
  if (folder.back() != L'\\') folder.push_back(L'\\');
  folder.append(opened, sep + 1);
  if (!names_entry(folder, h)) return false;
  *out = std::move(folder);
  return true;
}

// The final path of the entry at `path` (long form), links followed.
static bool final_long_path(const std::wstring& path, std::wstring* out, int depth) {
  const HANDLE h = open_for_query(path.c_str(), true);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool ok = checked_final_path(h, path, out, depth);
  CloseHandle(h);
  return ok;
}

// The usual form of a final path, newly allocated, or null.
static char* usual_final(const std::wstring& final) { return plat_win32_usual_path(final.c_str()); }

char* plat_realpath(const char* path) {
  if (!path || !*path) return nullptr;
  const wide_text w = plat_win32_long_path(path);
  if (!w) return nullptr;
  try {
    std::wstring final;
    return final_long_path(w.get(), &final, 0) ? usual_final(final) : nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

plat_dir* plat_opendir(const char* path) {
  if (!path) return nullptr;
  const wide_text folder = plat_win32_long_path(*path ? path : ".");
  if (!folder) return nullptr;
  // The search pattern: the folder's entries are "*" inside it.
  const size_t len = std::wcslen(folder.get());
  const bool bare = folder[len - 1] == L'\\';  // a drive's top folder
  wide_text pattern(static_cast<wchar_t*>(std::malloc((len + 3) * sizeof(wchar_t))));
  if (!pattern) return nullptr;
  std::memcpy(pattern.get(), folder.get(), len * sizeof(wchar_t));
  std::memcpy(pattern.get() + len, bare ? L"*" : L"\\*", (bare ? 2 : 3) * sizeof(wchar_t));
  auto* dir = new (std::nothrow) plat_dir;
  if (!dir) return nullptr;
  dir->find = FindFirstFileW(pattern.get(), &dir->entry);
  if (dir->find == INVALID_HANDLE_VALUE) {
    // A drive's top folder has no "." or "..": when it is empty the search finds nothing
    // at all, yet the folder is there.
    const DWORD err = GetLastError();
    const DWORD attrs = GetFileAttributesW(folder.get());
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
  wide_text w = plat_win32_long_path(path);
  if (!w) return nullptr;
  // Full sharing: a file being served can still be written, renamed or deleted.
  const HANDLE h = CreateFileW(w.get(), GENERIC_READ, SHARE_ALL, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  // Only a file on a disk: a device or a pipe could otherwise stall a read.
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
  f->path = std::move(w);
  return f;
}

int64_t plat_fread_at(plat_file* file, uint64_t offset, void* buf, size_t n) {
  if (!file || file->h == INVALID_HANDLE_VALUE) return -1;
  return read_at_fully(offset, buf, n, 0xFFFFFFFFu, [&](uint64_t at, char* dst, size_t want) -> int64_t {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(at & 0xFFFFFFFFu);
    ov.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (ReadFile(file->h, dst, static_cast<DWORD>(want), &got, &ov)) return got;
    return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;  // at or past the end
  });
}

void plat_fclose(plat_file* file) {
  if (!file) return;
  if (file->h != INVALID_HANDLE_VALUE) CloseHandle(file->h);
  if (file->sent) CloseHandle(file->sent);
  delete file;
}

char* plat_file_realpath(plat_file* file) {
  if (!file || file->h == INVALID_HANDLE_VALUE) return nullptr;
  try {
    std::wstring final;
    return checked_final_path(file->h, file->path ? file->path.get() : L"", &final, 0) ? usual_final(final)
                                                                                       : nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
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

int plat_text_reserved(const char* text) { return text && std::strchr(text, ':') ? 1 : 0; }
