// SPDX-License-Identifier: MIT
// The subtitle scan shared by the Subtitle action and the subtitles query, and the
// exported query itself. A candidate is read only when the file it really is lies
// where its video's root allows: a link beside a video must not hand out other files.
#include "catalogue/subtitles.h"

#include <algorithm>
#include <cstring>

#include "catalogue/containment.h"
#include "catalogue/filearg.h"
#include "plat/plat.h"
#include "server/roots.h"
#include "server/results.h"
#include "server/settings.h"
#include "server/vorn3s.h"
#include "util/base64.h"
#include "util/media_names.h"
#include "util/paths.h"

const char* rel_of(const char* path, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (std::strncmp(path, prefix, n) == 0 && is_path_sep(path[n])) return path + n + 1;
  return path;
}

// A file root contains only its own file, yet the subtitles beside it go with it: for
// such a root the bound is the video's folder itself, not what lies below it.
static bool within_bound(const char* real, std::string_view video_folder, const subtitle_bound& bound) {
  if (bound.folder_only) return folder_part(real) == video_folder;
  return path_contained(real, bound.path, false);
}

namespace {
enum class taken { no, yes, stop };
}  // namespace

// Appends one record for a candidate that passed the name tests, when it is a file that
// really lies within the bound and its record can be used at all.
static taken put_candidate(const char* path, const char* name, std::string_view folder,
                           const subtitle_bound& bound, bool first, strbuf* out, size_t limit,
                           over_limit mode) {
  plat_statinfo st;
  if (plat_stat(path, &st, 1) != 0 || !st.is_file) return taken::no;
  if (st.size > static_cast<int64_t>(G_CFG.sub_max_bytes.load())) return taken::no;
  plat_file* file = plat_fopen_read(path);
  if (!file) return taken::no;
  taken result = taken::no;
  const text_ptr real(plat_file_realpath(file));
  if (real && within_bound(real.get(), folder, bound)) {
    strbuf head;
    if (!first) sb_putc(&head, ',');
    sb_puts(&head, "{\"Name\":");
    json_put_string(&head, name);
    sb_puts(&head, ",\"Base64\":\"");
    const auto size = static_cast<size_t>(st.size);
    const size_t record = head.len + base64_len(size) + 2;
    if (mode == over_limit::refused && out->len + record + 1 > limit) {
      result = taken::stop;  // with its closing "]" the reply could not go out: read nothing
    } else {
      size_t want = size;
      result = taken::yes;
      if (mode == over_limit::cut && out->len + record > limit) {
        // Only the start of this record is kept: read what its Base64 needs, no more.
        const size_t room = limit > out->len + head.len ? limit - out->len - head.len : 0;
        want = std::min(size, (room + 3) / 4 * 3);
        result = taken::stop;
      }
      auto* buf = static_cast<uint8_t*>(std::malloc(want + 1));
      const int64_t got = buf ? plat_fread_at(file, 0, buf, want) : -1;
      if (got >= 0) {
        sb_putn(out, head.buf, head.len);
        base64_put(out, buf, static_cast<size_t>(got));
        sb_puts(out, "\"}");
      } else {
        result = taken::no;
      }
      std::free(buf);
    }
  }
  plat_fclose(file);
  return result;
}

bool subtitle_scan(const char* video_path, const char* stem, const subtitle_bound& bound, strbuf* out,
                   size_t limit, over_limit mode) {
  sb_putc(out, '[');
  const std::string_view folder = folder_part(video_path);
  char folder_path[PATH_CAP];
  plat_dir* dir = (!folder.empty() && path_join(folder_path, sizeof folder_path, {folder}))
                      ? plat_opendir(folder_path)
                      : nullptr;
  bool complete = true;
  if (dir) {
    bool first = true;
    while (const char* name = plat_readdir(dir)) {
      if (!is_subtitle_ext(name) || !std::strstr(name, stem)) continue;
      char path[PATH_CAP];
      if (!path_join(path, sizeof path, {folder, name})) continue;
      const taken t = put_candidate(path, name, folder, bound, first, out, limit, mode);
      if (t == taken::stop) {
        complete = false;
        break;
      }
      if (t == taken::yes) first = false;
    }
    plat_closedir(dir);
  }
  if (complete) sb_putc(out, ']');
  return complete && out->len <= limit;
}

static bool empty(const char* s) { return !s || !*s; }

// Builds the video's path under `root` from the file argument. 0, or the code with its
// message already stored.
static int video_path_of(const char* root, const filearg& fa, char* out) {
  char base[256];
  root_basename(root, base, sizeof base);
  bool fits;
  if (!empty(fa.full_name)) {
    if (has_dotdot_or_lead_sep(fa.full_name) || has_reserved_text(fa.full_name)) {
      set_error(VORN3S_EESCAPE, "refused");
      return VORN3S_EESCAPE;
    }
    fits = path_join(out, PATH_CAP, {root, "/", rel_of(fa.full_name, base)});
  } else if (!empty(fa.folder)) {
    if (empty(fa.name)) {
      set_error(VORN3S_EBADARG, "no name");
      return VORN3S_EBADARG;
    }
    if (has_dotdot(fa.folder) || has_reserved_text(fa.folder) || has_reserved_text(fa.name)) {
      set_error(VORN3S_EESCAPE, "refused");
      return VORN3S_EESCAPE;
    }
    fits = path_join(out, PATH_CAP, {root, "/", rel_of(fa.folder, base), "/", fa.name});
  } else {
    if (empty(fa.name)) {
      set_error(VORN3S_EBADARG, "no name");
      return VORN3S_EBADARG;
    }
    if (has_dotdot(fa.name) || has_reserved_text(fa.name)) {
      set_error(VORN3S_EESCAPE, "refused");
      return VORN3S_EESCAPE;
    }
    fits = path_join(out, PATH_CAP, {root, "/", fa.name});
  }
  if (!fits) {
    set_error(VORN3S_ENOTFOUND, "no entry");
    return VORN3S_ENOTFOUND;
  }
  return 0;
}

static const char* subtitles_query(const char* root, const char* filejson) {
  if (empty(root) || empty(filejson)) {
    set_error(VORN3S_EBADARG, "arg");
    return "";
  }
  text_ptr video;
  {
    filearg fa;
    if (parse_file_arg(filejson, &fa) != 0) {
      set_error(VORN3S_EBADARG, "json");
      return "";
    }
    char path[PATH_CAP];
    if (video_path_of(root, fa, path) != 0) return "";
    video.reset(plat_realpath(path));
  }
  if (!video) {
    set_error(VORN3S_ENOTFOUND, "no entry");
    return "";
  }
  plat_statinfo st;
  if (plat_stat(video.get(), &st, 1) != 0 || !st.is_file) {
    set_error(VORN3S_ENOTFOUND, "not a file");
    return "";
  }
  // The root as the caller gave it, not canonicalised; a file root has no entry to
  // join a name to, so only a folder root gets this far.
  if (!path_contained(video.get(), root, false)) {
    set_error(VORN3S_EESCAPE, "refused");
    return "";
  }
  char stem[512];
  stem_of(final_component(video.get()).data(), stem, sizeof stem);
  strbuf sb;
  // What passes the result buffer's size is cut off anyway.
  subtitle_scan(video.get(), stem, subtitle_bound{root, false}, &sb, RESULT_CAP - 1, over_limit::cut);
  const char* text = result_store(sb.buf ? std::string_view(sb.buf, sb.len) : "[]");
  set_error(VORN3S_OK, "ok");
  return text;
}

extern "C" const char* vorn3s_subtitles_json(const char* root, const char* filejson) noexcept {
  return export_guard("", [&] { return subtitles_query(root, filejson); });
}
