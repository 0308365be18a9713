// SPDX-License-Identifier: MIT
// Finding the file a file argument designates: by ID (A), by folder and name (B), or by
// name at the top of every root (C). The fallbacks nest one level only.
#include "catalogue/find_file.h"

#include <cstring>
#include <string_view>

#include "catalogue/containment.h"
#include "catalogue/resolve.h"
#include "server/vorn3s.h"
#include "util/strbuf.h"

static bool empty(const char* s) { return !s || !*s; }

// The name a file root answers to: the text after its last "/", and only when it has
// none after its last "\". A canonical path here always holds "/", so a backslash in
// the file's own name stays part of that name.
static std::string_view file_root_name(std::string_view path) {
  size_t sep = path.rfind('/');
  if (sep == std::string_view::npos) sep = path.rfind('\\');
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

// C: `name` joined to each folder root, or compared with the final component of each
// file root, over the roots as one look into the table saw them.
static int find_by_name(roots_table* roots, const char* name, char** out_path, int* out_index) {
  if (empty(name)) return VORN3S_ENOTFOUND;
  if (has_reserved_text(name)) return VORN3S_EESCAPE;
  roots_snapshot live;
  roots_snapshot_take(roots, &live);
  for (int i = 0; i < live.count; i++) {
    const root_view& r = live.roots[i];
    text_ptr found;
    if (r.is_file) {
      plat_statinfo st;
      if (plat_stat(r.path, &st, 1) != 0 || !st.is_file) continue;
      std::string_view base = file_root_name(r.path);
      if (base.size() > 511) base = base.substr(0, 511);
      if (base != name) continue;
      found.reset(x_strdup(r.path));
    } else {
      strbuf joined;
      sb_puts(&joined, r.path);
      sb_putc(&joined, '/');
      if (sb_puts(&joined, name) != 0 || !joined.buf) continue;
      found.reset(plat_realpath(joined.buf));
      if (found && !path_contained(found.get(), r.path, false)) found.reset();
    }
    if (found) {
      *out_path = found.release();
      *out_index = r.index;
      return 0;
    }
  }
  return VORN3S_ENOTFOUND;
}

// B's own step: the ID folder/name, file wanted. 0, VORN3S_ENOTFOUND when it does not
// resolve, VORN3S_ENOMEM when the ID cannot be built.
static int find_by_folder_id(roots_table* roots, const char* folder, const char* name, char** out_path,
                             int* out_index) {
  strbuf id;
  sb_puts(&id, folder);
  sb_putc(&id, '/');
  if (sb_puts(&id, name) != 0 || !id.buf) return VORN3S_ENOMEM;
  return resolve_id(roots, id.buf, 0, out_path, out_index) == 0 ? VORN3S_OK : VORN3S_ENOTFOUND;
}

int resolve_openfile(roots_table* roots, const filearg* fa, char** out_path, int* out_index) {
  *out_index = -1;
  if (empty(fa->full_name)) {
    if (!empty(fa->folder)) {
      if (empty(fa->name)) return VORN3S_ENOTFOUND;
      const int r = find_by_folder_id(roots, fa->folder, fa->name, out_path, out_index);
      if (r == 0 || r == VORN3S_ENOMEM) return r;
    }
    return find_by_name(roots, fa->name, out_path, out_index);
  }
  const int r = resolve_id(roots, fa->full_name, 0, out_path, out_index);
  if (r == 0) return 0;
  // A full ID that does not resolve is final; a bare name may still be found by its
  // folder and name, then by its name alone.
  if (std::strchr(fa->full_name, '/') || empty(fa->name)) return r;
  if (!empty(fa->folder) && find_by_folder_id(roots, fa->folder, fa->name, out_path, out_index) == 0)
    return 0;
  return find_by_name(roots, fa->name, out_path, out_index);
}
