// SPDX-License-Identifier: MIT
// Text rules for paths that several subsystems share: joining into bounded buffers and
// taking components apart. Nothing here touches the file system.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string_view>

inline constexpr size_t PATH_CAP = 2048;  // a joined path: at most 2047 bytes

inline bool is_path_sep(char c) { return c == '/' || c == '\\'; }

// Writes the pieces one after another into `out` of `cap` bytes, terminated. False, with
// `out` emptied, when they do not fit: a path cut short would name another entry.
bool path_join(char* out, size_t cap, std::initializer_list<std::string_view> pieces);

// The final component: the text after the last "/" or "\", or the whole text. A suffix
// of `path`, so terminated when `path` is.
std::string_view final_component(std::string_view path);
// The folder part: up to and including the last "/" or "\", or "" when there is none.
std::string_view folder_part(std::string_view path);
