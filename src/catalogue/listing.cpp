// SPDX-License-Identifier: MIT
// Listing records and folder listings, and the exported one-shot listing query.
#include "catalogue/listing.h"

#include <cstring>

#include "catalogue/containment.h"
#include "plat/plat.h"
#include "server/roots.h"
#include "server/results.h"
#include "server/vorn3s.h"
#include "util/media_names.h"
#include "util/paths.h"

void folder_json(strbuf* out, const char* name, const char* full_name, int has_sub) {
  sb_puts(out, "{\"Name\":");
  json_put_string(out, name);
  sb_puts(out, ",\"FullName\":");
  json_put_string(out, full_name);
  sb_printf(out, ",\"HasSubFolder\":%s}", has_sub ? "true" : "false");
}

void file_json(strbuf* out, const char* name, const char* file_type, const char* folder,
               const char* full_name) {
  char content_type[16];
  content_type_for(name, content_type, sizeof content_type);
  sb_puts(out, "{\"Name\":");
  json_put_string(out, name);
  sb_puts(out, ",\"ContentType\":");
  json_put_string(out, content_type);
  sb_puts(out, ",\"FileType\":");
  json_put_string(out, file_type);
  sb_puts(out, ",\"Folder\":");
  json_put_string(out, folder ? folder : "");
  sb_puts(out, ",\"FullName\":");
  json_put_string(out, full_name);
  sb_putc(out, '}');
}

// Owns a directory enumeration for the life of a scope.
namespace {
struct dir_owner {
  plat_dir* d;
  explicit dir_owner(const char* path) : d(plat_opendir(path)) {}
  ~dir_owner() { plat_closedir(d); }
  dir_owner(const dir_owner&) = delete;
  dir_owner& operator=(const dir_owner&) = delete;
};
}  // namespace

int has_sub_folder(const char* dir_path) {
  dir_owner dir(dir_path);
  if (!dir.d) return 0;
  while (const char* name = plat_readdir(dir.d)) {
    if (name[0] != '.') return 1;
  }
  return 0;
}

int has_any_entry(const char* dir_path) {
  dir_owner dir(dir_path);
  return dir.d && plat_readdir(dir.d) ? 1 : 0;
}

// Appends the record of every visible child of the kind asked for, each after a ","
// unless it is the first, in the order the system gives them. A child whose path or ID
// would not fit is left out rather than named by a cut text that could mean another
// entry. 0, or VORN3S_ELIMIT once `out` is longer than `limit`.
static int put_children(plat_dir* dir, const char* dir_path, const char* id_prefix, bool folders,
                        const char* folder, strbuf* out, size_t limit, bool* first) {
  const std::string_view prefix(id_prefix);
  while (const char* name = plat_readdir(dir)) {
    if (out->len > limit) return VORN3S_ELIMIT;
    if (name[0] == '.') continue;
    char child_path[PATH_CAP];
    char child_id[CHILD_ID_CAP];
    if (!path_join(child_path, sizeof child_path, {dir_path, "/", name})) continue;
    if (!path_join(child_id, sizeof child_id, {prefix, prefix.empty() ? "" : "/", name})) continue;
    plat_statinfo st;
    if (plat_stat(child_path, &st, 1) != 0) continue;
    if (folders ? !st.is_dir : !st.is_file) continue;
    if (!*first) sb_putc(out, ',');
    *first = false;
    if (folders) {
      folder_json(out, name, child_id, has_sub_folder(child_path));
    } else {
      file_json(out, name, file_type_of(name).data(), folder, child_id);
    }
  }
  return out->len > limit ? VORN3S_ELIMIT : 0;
}

static int list_children(const char* dir_path, const char* id_prefix, bool folders, const char* folder,
                         strbuf* out, size_t limit) {
  dir_owner dir(dir_path);
  if (!dir.d) return VORN3S_ENOTFOUND;
  sb_reset(out);
  sb_putc(out, '[');
  bool first = true;
  const int r = put_children(dir.d, dir_path, id_prefix, folders, folder, out, limit, &first);
  if (r != 0) return r;
  sb_putc(out, ']');
  return out->len > limit ? VORN3S_ELIMIT : 0;
}

int listing_folders_host(const char* dir_path, const char* id_prefix, strbuf* out, size_t limit) {
  return list_children(dir_path, id_prefix, true, nullptr, out, limit);
}

int listing_files_host(const char* dir_path, const char* id_prefix, const char* folder, strbuf* out,
                       size_t limit) {
  return list_children(dir_path, id_prefix, false, folder, out, limit);
}

int listing_root_files(const roots_snapshot& roots, strbuf* out, size_t limit) {
  sb_putc(out, '[');
  bool first = true;
  for (int i = 0; i < roots.count; i++) {
    const root_view& r = roots.roots[i];
    if (out->len > limit) return VORN3S_ELIMIT;
    if (r.is_file) {
      // A file root whose file is gone is left out.
      plat_statinfo st;
      if (plat_stat(r.path, &st, 1) != 0 || !st.is_file) continue;
      if (!first) sb_putc(out, ',');
      first = false;
      file_json(out, r.name, file_type_of(r.name).data(), r.name, r.name);
      continue;
    }
    dir_owner dir(r.path);
    if (!dir.d) continue;
    const int e = put_children(dir.d, r.path, r.name, false, r.name, out, limit, &first);
    if (e != 0) return e;
  }
  sb_putc(out, ']');
  return out->len > limit ? VORN3S_ELIMIT : 0;
}

void listing_root_folders(const roots_snapshot& roots, root_probe probe, strbuf* out) {
  sb_putc(out, '[');
  for (int i = 0; i < roots.count; i++) {
    const root_view& r = roots.roots[i];
    if (i > 0) sb_putc(out, ',');
    int has_sub = 0;
    if (!r.is_file) {
      switch (probe) {
        case root_probe::none: has_sub = 1; break;
        case root_probe::any_entry: has_sub = has_any_entry(r.path); break;
        case root_probe::visible_entry: has_sub = has_sub_folder(r.path); break;
      }
    }
    folder_json(out, r.name, r.name, has_sub);
  }
  sb_putc(out, ']');
}

// With `root` the path of a live root: every live root as a folder record, HasSubFolder
// by the listing rule. False, with nothing appended, for any other `root`.
static bool list_roots_if_registered(const char* root, strbuf* out) {
  roots_snapshot roots;
  roots_snapshot_take(roots_get(), &roots);
  for (int i = 0; i < roots.count; i++) {
    if (std::strcmp(roots.roots[i].path, root) == 0) {
      listing_root_folders(roots, root_probe::visible_entry, out);
      return true;
    }
  }
  return false;
}

static const char* listing_query(const char* root, const char* id, int files) {
  if (!root || !*root) {
    set_error(VORN3S_EBADARG, "root_path");
    return "";
  }
  char base[256];
  root_basename(root, base, sizeof base);
  strbuf sb;
  if (id && *id) {
    if (has_dotdot_or_lead_sep(id) || has_reserved_text(id)) {
      // "(D3)" is fixed text that callers and scripts see and match, not a reference.
      set_error(VORN3S_EESCAPE, "refused (D3)");
      return "";
    }
    char joined[PATH_CAP];
    text_ptr canon;
    if (path_join(joined, sizeof joined, {root, "/", id})) canon.reset(plat_realpath(joined));
    if (!canon) {
      set_error(VORN3S_ENOTFOUND, "no entry");
      return "";
    }
    plat_statinfo st;
    if (plat_stat(canon.get(), &st, 1) != 0) {
      set_error(VORN3S_ENOTFOUND, "stat");
      return "";
    }
    if (st.is_file) {
      const std::string_view name = final_component(canon.get());
      sb_puts(&sb, "{\"Name\":");
      json_put_string(&sb, name.data());
      // This record says "video" whatever the extension, unlike the folder listings:
      // callers of the query read it that way, so it stays fixed.
      sb_puts(&sb, ",\"ContentType\":\"video\",\"FileType\":");
      json_put_string(&sb, file_type_of(name).data());
      sb_puts(&sb, ",\"Folder\":");
      json_put_string(&sb, base);
      sb_puts(&sb, ",\"FullName\":");
      json_put_string(&sb, id);
      sb_putc(&sb, '}');
    } else {
      // What passes the result buffer's size is cut off anyway.
      const int r = files ? listing_files_host(canon.get(), id, base, &sb, RESULT_CAP - 1)
                          : listing_folders_host(canon.get(), id, &sb, RESULT_CAP - 1);
      if (r == VORN3S_ENOTFOUND) {
        set_error(VORN3S_ENOTFOUND, "opendir");
        return "";
      }
    }
  } else if (!list_roots_if_registered(root, &sb)) {
    plat_statinfo st;
    if (plat_stat(root, &st, 1) != 0 || !st.is_dir) {
      set_error(VORN3S_ENOTFOUND, "no entry");
      return "";
    }
    if (listing_folders_host(root, "", &sb, RESULT_CAP - 1) == VORN3S_ENOTFOUND) {
      set_error(VORN3S_ENOTFOUND, "opendir");
      return "";
    }
  }
  const char* text = result_store(sb.buf ? std::string_view(sb.buf, sb.len) : "[]");
  set_error(VORN3S_OK, "ok");
  return text;
}

extern "C" const char* vorn3s_listing_json(const char* root, const char* id, int files) noexcept {
  return export_guard("", [&] { return listing_query(root, id, files); });
}
