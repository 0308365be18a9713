// SPDX-License-Identifier: MIT
// What the Windows platform layer offers beyond plat.h: its rule for the text of a final
// path, on its own so that its tests can give it every form. Windows only.
#pragma once

// A path as GetFinalPathNameByHandleW gives it, in its usual form and in UTF-8: without
// the long-path prefix ("\\?\C:\x" becomes "C:\x") and a network path as two backslashes,
// server and share ("\\?\UNC\server\share" becomes "\\server\share"); any other text
// stays whole. Newly allocated with malloc (the caller frees it), or null when the text
// is not whole UTF-16.
char* plat_win32_usual_path(const wchar_t* final);
