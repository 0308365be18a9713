// SPDX-License-Identifier: MIT
// The text refusals side by side, so that their differences show, and the containment test.
#include "catalogue/containment.h"

#include <cstring>

#include "plat/plat.h"
#include "util/paths.h"

bool has_dotdot(const char* text) { return std::strstr(text, "..") != nullptr; }

bool has_dotdot_or_lead_sep(const char* text) { return has_dotdot(text) || is_path_sep(text[0]); }

bool has_dotdot_absolute_or_backslash(const char* text) {
  // The absolute-path rule already covers a leading separator and a drive letter.
  return has_dotdot(text) || plat_is_absolute(text) || std::strchr(text, '\\') != nullptr;
}

bool has_reserved_text(const char* text) { return plat_text_reserved(text) != 0; }

bool path_contained(const char* candidate, const char* root, bool root_is_file) {
  if (plat_path_under(candidate, root) != 1) return false;
  // Under a file lies nothing but the file itself; the lengths tell them apart without
  // repeating how the platform compares names.
  return !root_is_file || std::strlen(candidate) == std::strlen(root);
}
