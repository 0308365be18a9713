// Subtitle discovery: the subtitle files beside a video whose names contain the video's
// stem, returned with their contents in Base64.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/strbuf.h"

// Where a subtitle file may really lie (links resolved) to be read: under `path`, or,
// with `folder_only`, directly in the video's own folder.
struct subtitle_bound {
  const char* path = nullptr;
  bool folder_only = false;
};

// Appends the subtitle array for the video at canonical `video_path` to `out`: "[" and
// "]" around one record per candidate in directory order; "[]" when there is none.
// Stops early, returning false, once the text is longer than `limit`: a reply that long
// cannot be used whole, and reading on would only hold more files in memory.
bool subtitle_scan(const char* video_path, const char* stem, const subtitle_bound& bound, strbuf* out,
                   size_t limit = SIZE_MAX);

// The part of `path` after `prefix` and one separator when `path` begins with them;
// otherwise `path` itself. A position inside `path`.
const char* rel_of(const char* path, const char* prefix);
