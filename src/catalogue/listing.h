// Folder and file records, and the listings of one folder built from them. The FullName
// of every record is an ID a client may send back.
#pragma once

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
// `id_prefix`/name. 0, or VORN3S_ENOTFOUND when the folder cannot be opened (`out` left as it was).
// Take no lock.
int listing_folders_host(const char* dir_path, const char* id_prefix, strbuf* out);
int listing_files_host(const char* dir_path, const char* id_prefix, const char* folder, strbuf* out);
