// SPDX-License-Identifier: MIT
// Resolution under the containment rule: identifiers against the roots table (resolve_id)
// and a relative path against one root given by path (vorn3s_resolve). Nothing a client
// sends may reach an entry outside every root: not by "..", an absolute form, or a link.
#include "catalogue/resolve.h"

#include <cstdio>
#include <cstring>

#include "catalogue/containment.h"
#include "server/results.h"
#include "server/vorn3s.h"
#include "util/paths.h"
#include "util/strbuf.h"

int id_split(const char* id, char* root_name, char* rel) {
  root_name[0] = '\0';
  rel[0] = '\0';
  if (!id || !*id) return -1;
  const std::string_view s(id);
  const size_t slash = s.find('/');
  const std::string_view name = s.substr(0, slash);
  if (name.size() >= ROOT_NAME_CAP) return -1;
  if (slash != std::string_view::npos) {
    const std::string_view r = s.substr(slash + 1);
    if (r.size() >= REL_CAP) return -1;
    std::memcpy(rel, r.data(), r.size());
    rel[r.size()] = '\0';
  }
  std::memcpy(root_name, name.data(), name.size());
  root_name[name.size()] = '\0';
  return 0;
}

static bool kind_wanted(const plat_statinfo& st, int want_dir) {
  return want_dir ? st.is_dir != 0 : st.is_file != 0;
}

// Tries one candidate root. 1 with `*out` set when it holds the entry; 0 to go on with
// the next candidate; a negative code to stop the search.
static int try_candidate(const char* root_path, bool root_is_file, const char* rel, int want_dir,
                         char** out) {
  plat_statinfo st;
  if (!*rel) {
    if (plat_stat(root_path, &st, 0) != 0 || !kind_wanted(st, want_dir)) return 0;
    *out = plat_realpath(root_path);
    return *out ? 1 : VORN3S_ENOTFOUND;
  }
  const std::string_view root(root_path);
  const bool bare = root.empty() || is_path_sep(root.back());
  char joined[PATH_CAP];
  if (!path_join(joined, sizeof joined, {root, bare ? "" : "/", rel})) return 0;
  text_ptr canon(plat_realpath(joined));
  if (!canon) return 0;
  // A link inside the root may point anywhere; only what stays under the root counts.
  if (!path_contained(canon.get(), root_path, root_is_file)) return 0;
  if (plat_stat(canon.get(), &st, 0) != 0 || !kind_wanted(st, want_dir)) return 0;
  *out = canon.release();
  return 1;
}

int resolve_id(roots_table* roots, const char* id, int want_dir, char** out_path, int* out_index) {
  *out_path = nullptr;
  *out_index = -1;
  if (!id || !*id) return VORN3S_EBADARG;
  if (std::strlen(id) > ID_MAX) return VORN3S_ELIMIT;
  if (has_dotdot_absolute_or_backslash(id) || has_reserved_text(id)) return VORN3S_EESCAPE;
  char root_name[ROOT_NAME_CAP];
  char rel[REL_CAP];
  if (id_split(id, root_name, rel) != 0) return VORN3S_EBADARG;

  // The named root first, then every other live root in table order, all as one look
  // into the table saw them.
  roots_snapshot live;
  roots_snapshot_take(roots, &live);
  int named = -1;
  for (int i = 0; i < live.count && named < 0; i++) {
    if (std::strcmp(live.roots[i].name, root_name) == 0) named = i;
  }
  int order[MAX_ROOTS];
  int n = 0;
  if (named >= 0) order[n++] = named;
  for (int i = 0; i < live.count; i++) {
    if (i != named) order[n++] = i;
  }
  if (n == 0) return VORN3S_ENOTFOUND;

  for (int k = 0; k < n; k++) {
    const root_view& r = live.roots[order[k]];
    char* found = nullptr;
    const int c = try_candidate(r.path, r.is_file, rel, want_dir, &found);
    if (c < 0) return c;
    if (c == 1) {
      *out_path = found;
      *out_index = r.index;
      return 0;
    }
  }
  return VORN3S_ENOTFOUND;
}

static int resolve_under(const char* root, const char* rel, char* out, int32_t out_size) {
  if (!out || out_size <= 0) {
    set_error(VORN3S_EBADARG, "out");
    return VORN3S_EBADARG;
  }
  out[0] = '\0';
  if (!root || !*root) {
    set_error(VORN3S_EBADARG, "root");
    return VORN3S_EBADARG;
  }
  text_ptr canon_root(plat_realpath(root));
  if (!canon_root) {
    set_error(VORN3S_ENOTFOUND, "root");
    return VORN3S_ENOTFOUND;
  }
  plat_statinfo st;
  if (plat_stat(canon_root.get(), &st, 1) != 0) {
    set_error(VORN3S_ENOTFOUND, "stat");
    return VORN3S_ENOTFOUND;
  }
  const bool root_is_file = st.is_file != 0;
  const char* found = canon_root.get();
  text_ptr canon;
  if (rel && *rel) {
    // "(D3)" in these messages is fixed text that clients and scripts see and match, not a
    // reference to anything in this code.
    if (has_dotdot_absolute_or_backslash(rel) || has_reserved_text(rel)) {
      set_error(VORN3S_EESCAPE, "refused (D3)");
      return VORN3S_EESCAPE;
    }
    if (std::strlen(rel) > ID_MAX) {
      set_error(VORN3S_ELIMIT, "too long");
      return VORN3S_ELIMIT;
    }
    char joined[PATH_CAP];
    if (path_join(joined, sizeof joined, {canon_root.get(), "/", rel})) canon.reset(plat_realpath(joined));
    if (!canon) {
      set_error(VORN3S_ENOTFOUND, "no entry");
      return VORN3S_ENOTFOUND;
    }
    // The link test looks at the last component itself; a trailing "/" would make the
    // system follow a link before it could be seen.
    char last[PATH_CAP];
    std::string_view bare(joined);
    while (bare.size() > 1 && bare.back() == '/') bare.remove_suffix(1);
    path_join(last, sizeof last, {bare});
    if (plat_stat(last, &st, 0) == 0 && st.is_link) {
      text_ptr target(plat_realpath(joined));
      if (!target || !path_contained(target.get(), canon_root.get(), root_is_file)) {
        set_error(VORN3S_EESCAPE, "refused (D3): link escapes the root");
        return VORN3S_EESCAPE;
      }
    }
    if (!path_contained(canon.get(), canon_root.get(), root_is_file)) {
      set_error(VORN3S_EESCAPE, "refused (D3)");
      return VORN3S_EESCAPE;
    }
    found = canon.get();
  }
  std::snprintf(out, static_cast<size_t>(out_size), "%s", found);
  set_error(VORN3S_OK, "resolved");
  return 0;
}

extern "C" int vorn3s_resolve(const char* root, const char* rel, char* out, int32_t out_size) noexcept {
  return export_guard(VORN3S_ENOMEM, [&] { return resolve_under(root, rel, out, out_size); });
}
