// SPDX-License-Identifier: MIT
// The pure text rules of plat.h, shared by the implementation of every system: whether a
// path lies under a root, and whether a text is an absolute path.
#include "plat/path_text.h"

#include "plat/plat.h"

static bool is_sep(char c) { return c == '/' || c == '\\'; }

static char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int path_text_under(const char* path, const char* root, bool case_blind) {
  if (!path || !root) return 0;
  size_t len = 0;
  for (; root[len]; len++) {
    const bool same = case_blind ? ascii_lower(path[len]) == ascii_lower(root[len]) : path[len] == root[len];
    if (!same) return 0;
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
