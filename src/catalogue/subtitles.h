// SPDX-License-Identifier: MIT
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

// What becomes of a subtitle array longer than its limit: the session cannot send it at
// all, the query keeps its first bytes.
enum class over_limit { refused, cut };

// Appends the subtitle array for the video at canonical `video_path` to `out`: "[" and
// "]" around one record per candidate in directory order; "[]" when there is none. True
// when the whole array is no longer than `limit`. Each candidate's record length follows
// from its size, so no byte is read that cannot be used: with `refused` the scan stops,
// returning false, before a record that would make the array too long; with `cut` it
// reads only the bytes whose Base64 still falls within the first `limit` bytes, builds
// the text exactly as the whole array would begin, and returns false.
bool subtitle_scan(const char* video_path, const char* stem, const subtitle_bound& bound, strbuf* out,
                   size_t limit = SIZE_MAX, over_limit mode = over_limit::refused);

// The part of `path` after `prefix` and one separator when `path` begins with them;
// otherwise `path` itself. A position inside `path`.
const char* rel_of(const char* path, const char* prefix);
