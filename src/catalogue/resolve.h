// SPDX-License-Identifier: MIT
// Identifiers: a root's display name, optionally "/" and a path relative to that root;
// the only way clients name folders and files. Resolution turns one into the canonical
// path of an existing entry inside a registered root, or refuses it.
#pragma once

#include "server/roots.h"

inline constexpr size_t ROOT_NAME_CAP = 256;  // at most 255 bytes of root name
inline constexpr size_t REL_CAP = 1024;       // at most 1023 bytes of relative path
inline constexpr size_t ID_MAX = 1200;        // bytes in a whole ID

// Splits `id` at its first "/" into `root_name` (ROOT_NAME_CAP bytes) and `rel` (REL_CAP
// bytes). 0, or -1 for an empty ID or a part too long for its buffer.
int id_split(const char* id, char* root_name, char* rel);

// Resolves `id` among the live roots, the named root first, then every other in table
// order. `want_dir` non-zero asks for a folder, zero for a regular file. 0 with an owned
// canonical path in `*out_path` (the caller frees it) and the root's index; else
// VORN3S_EBADARG, VORN3S_ENOTFOUND, VORN3S_ELIMIT or VORN3S_EESCAPE with
// `*out_path` null and `*out_index` -1. Runs on connection threads.
int resolve_id(roots_table* roots, const char* id, int want_dir, char** out_path, int* out_index);
