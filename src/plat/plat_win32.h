// SPDX-License-Identifier: MIT
// What the Windows files of the platform layer share beyond plat.h: the conversion
// between UTF-8 and UTF-16, the record of an open file, and the rule for the text of a
// final path (on its own so that its tests can give it every form). Windows only. It
// includes the system's headers itself, Winsock before the rest as Winsock needs.
#pragma once

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
#include <windows.h>

#include <cstdlib>
#include <memory>

struct wide_free {
  void operator()(void* p) const { std::free(p); }
};
using wide_text = std::unique_ptr<wchar_t[], wide_free>;

// A whole terminated UTF-8 text as a new UTF-16 text, or null when it is not UTF-8.
wide_text wide(const char* text);
// `len` UTF-16 units (-1: up to and including the terminator) as a new terminated UTF-8
// text that the caller frees, or null when they are not whole UTF-16.
char* narrow_n(const wchar_t* text, int len);
char* narrow(const wchar_t* text);

struct plat_file {
  HANDLE h = INVALID_HANDLE_VALUE;
  wide_text path;         // the long form it was opened through, for naming it again
  HANDLE sent = nullptr;  // signalled when a send from the file completes; made at the first
};

// `path` (UTF-8) in the long form that Win32 passes on unchanged: "\\?\" and the absolute
// path with "\" between its names, "." and ".." taken out as Win32 would take them out,
// a share as "\\?\UNC\server\share"; a path already in that form or in the device
// namespace (\\.\) stays as it is. Null when the path is not UTF-8, a name in it holds a
// colon (a stream of a file), or it cannot be made absolute. Newly allocated.
wide_text plat_win32_long_path(const char* path);

// A path as GetFinalPathNameByHandleW gives it, in its usual form and in UTF-8: without
// the long-path prefix ("\\?\C:\x" becomes "C:\x") and a network path as two backslashes,
// server and share ("\\?\UNC\server\share" becomes "\\server\share"); any other text
// stays whole. Newly allocated with malloc (the caller frees it), or null when the text
// is not whole UTF-16.
char* plat_win32_usual_path(const wchar_t* final);
