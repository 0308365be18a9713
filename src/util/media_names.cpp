// SPDX-License-Identifier: MIT
// Extension tables and the name rules built on them.
#include "util/media_names.h"

#include <cctype>
#include <cstdio>
#include <cstring>

const char* const AUDIO_EXTS[] = {".wma", ".m4a", ".mp3", ".aac", ".flac", ".wav", ".opus", nullptr};

const char* const SUB_EXTS[] = {".aqt", ".jss", ".vtt",   ".ttml",  ".gsub", ".sub",  ".ttxt", ".txt",
                                ".pjs", ".psb", ".rt",    ".smi",   ".stl",  ".ssf",  ".srt",  ".ssa",
                                ".ass", ".idx", ".style", ".delay", ".lrc",  ".json", ".xml",  nullptr};

static bool equal_folded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

int iext_of(const char* name, const char* const* table) {
  const char* dot = std::strrchr(name, '.');
  if (!dot) return 0;
  for (; *table; table++) {
    if (equal_folded(dot, *table)) return 1;
  }
  return 0;
}

int content_type_for(const char* name, char* out, int size) {
  std::snprintf(out, static_cast<size_t>(size), "%s", iext_of(name, AUDIO_EXTS) ? "audio" : "video");
  return 0;
}

int is_subtitle_ext(const char* name) { return iext_of(name, SUB_EXTS); }

void stem_of(const char* name, char* out, int size) {
  const char* dot = std::strrchr(name, '.');
  size_t n = dot ? static_cast<size_t>(dot - name) : std::strlen(name);
  if (n > static_cast<size_t>(size - 1)) n = static_cast<size_t>(size - 1);
  std::memcpy(out, name, n);
  out[n] = '\0';
}

std::string_view file_type_of(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}
