// SPDX-License-Identifier: MIT
// What a file name says about itself: audio or video, subtitle or not, and its stem.
// Text rules only; nothing here touches the file system.
#pragma once

#include <string_view>

// Extension tables: lowercase, each with its dot, ended by a null entry.
extern const char* const AUDIO_EXTS[];
extern const char* const SUB_EXTS[];

// 1 when the name's extension (from its last dot) is in `table`, ignoring ASCII case.
int iext_of(const char* name, const char* const* table);
// Writes "audio" or "video" into `out`, bounded by `size`; returns 0.
int content_type_for(const char* name, char* out, int size);
int is_subtitle_ext(const char* name);
// Writes the name before its last dot (the whole name without one) into `out`, cut to
// `size` - 1 bytes.
void stem_of(const char* name, char* out, int size);

// The file type that listings show: the name's last "." and what follows, or "". A
// suffix of `name`, so terminated when `name` is.
std::string_view file_type_of(std::string_view name);
