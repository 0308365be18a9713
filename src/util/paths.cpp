// SPDX-License-Identifier: MIT
// Bounded path joining and component splitting.
#include "util/paths.h"

#include <cstring>

bool path_join(char* out, size_t cap, std::initializer_list<std::string_view> pieces) {
  if (cap == 0) return false;
  size_t total = 0;
  for (std::string_view piece : pieces) total += piece.size();
  if (total >= cap) {
    out[0] = '\0';
    return false;
  }
  char* p = out;
  for (std::string_view piece : pieces) {
    if (piece.empty()) continue;
    std::memcpy(p, piece.data(), piece.size());
    p += piece.size();
  }
  *p = '\0';
  return true;
}

std::string_view final_component(std::string_view path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

std::string_view folder_part(std::string_view path) {
  const size_t sep = path.find_last_of("/\\");
  return sep == std::string_view::npos ? std::string_view{} : path.substr(0, sep + 1);
}
