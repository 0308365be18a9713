// SPDX-License-Identifier: MIT
// Folder and file records, and the listings of one folder built from them. The FullName
// of every record is an ID a client may send back.
#pragma once

#include <cstdint>

#include "server/roots.h"
#include "util/strbuf.h"

inline constexpr size_t CHILD_ID_CAP = 1400;  // a child's ID: at most 1399 bytes

void folder_json(strbuf* out, const char* name, const char* full_name, int has_sub);
// The content type is derived from `name`; a null `folder` is written as "".
void file_json(strbuf* out, const char* name, const char* file_type, const char* folder,
               const char* full_name);

// 1 when the folder opens and holds an entry whose name does not begin with ".".
int has_sub_folder(const char* dir_path);
// 1 when the folder opens and holds any entry at all.
int has_any_entry(const char* dir_path);

// The sub-folders (or the files) of `dir_path` as a JSON array in `out`, children named
// `id_prefix`/name. 0, or VORN3S_ENOTFOUND when the folder cannot be opened (`out` left
// as it was), or VORN3S_ELIMIT when the text is longer than `limit`: they stop as soon as
// it is, leaving that much of it in `out`, since a reply that long is refused or cut and
// the rest would be wasted work. Take no lock.
int listing_folders_host(const char* dir_path, const char* id_prefix, strbuf* out, size_t limit = SIZE_MAX);
int listing_files_host(const char* dir_path, const char* id_prefix, const char* folder, strbuf* out,
                       size_t limit = SIZE_MAX);

// Appends the array of every root's files: a file root's own record, or the records of
// the files directly inside a folder root, roots in snapshot order. 0, or VORN3S_ELIMIT
// as above.
int listing_root_files(const roots_snapshot& roots, strbuf* out, size_t limit);

// How a folder root's HasSubFolder is found in the array of root records.
enum class root_probe {
  none,           // true, without looking at the disk
  any_entry,      // whether the folder holds any entry at all
  visible_entry,  // the listing rule: an entry whose name does not begin with "."
};
// Appends the roots as folder records, Name and FullName the display name; a file root's
// HasSubFolder is false.
void listing_root_folders(const roots_snapshot& roots, root_probe probe, strbuf* out);
