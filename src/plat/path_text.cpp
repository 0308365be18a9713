// SPDX-License-Identifier: MIT
// The pure text rules of plat.h, the same on every system: whether a path lies under a
// root, and whether a text is an absolute path.
#include "plat/plat.h"

static bool is_sep(char c) { return c == '/' || c == '\\'; }

// Byte for byte, on every system: both paths are final paths as the file system gives
// them, with the case of every name as it is stored, so a path truly under the root
// begins with the root's very text. A comparison blind to case would let a neighbour
// whose name differs only in case ("/srv/media" beside "/srv/Media") pass for the root
// wherever names do tell case apart: always on Linux, and on Windows in folders that are
// case-sensitive and on shares that are.
int plat_path_under(const char* path, const char* root) {
  if (!path || !root) return 0;
  size_t len = 0;
  for (; root[len]; len++) {
    if (path[len] != root[len]) return 0;
  }
  const char next = path[len];
  if (next == '\0' || is_sep(next)) return 1;
  if (len == 0) return 0;
  return is_sep(root[len - 1]) ? 1 : 0;
}

static bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int plat_is_absolute(const char* text) {
  if (!text || !*text) return 0;
  if (is_sep(text[0])) return 1;
  return (is_ascii_letter(text[0]) && text[1] == ':') ? 1 : 0;
}
