// SPDX-License-Identifier: MIT
// Adding, removing, counting and showing roots. Paths are canonicalised and examined
// before the lock is taken; the duplicate test, the limit, the naming and the insertion
// are one step under it.
#include "server/roots.h"

#include <cstdio>
#include <cstring>

#include "server/results.h"
#include "server/vorn3s.h"
#include "util/strbuf.h"

static roots_table s_roots;

roots_table* roots_get() { return &s_roots; }

void root_basename(const char* path, char* out, int size) {
  const char* slash = std::strrchr(path, '/');
  const char* back = std::strrchr(path, '\\');
  const char* sep = slash > back ? slash : back;
  std::snprintf(out, static_cast<size_t>(size), "%s", sep ? sep + 1 : path);
}

static bool name_taken(const roots_table& t, const char* name) {
  for (int i = 0; i < t.count; i++) {
    const root_entry& e = t.entries[i];
    if (!e.removed && std::strcmp(e.name, name) == 0) return true;
  }
  return false;
}

int roots_add(const char* path) {
  if (!path || !*path) {
    set_error(VORN3S_EBADARG, "path required");
    return VORN3S_EBADARG;
  }
  if (std::strlen(path) > 1024) {
    set_error(VORN3S_EBADARG, "path too long");
    return VORN3S_EBADARG;
  }
  text_ptr canon(plat_realpath(path));
  if (!canon) {
    set_error(VORN3S_ENOTFOUND, "cannot resolve %s", path);
    return VORN3S_ENOTFOUND;
  }
  plat_statinfo st;
  if (plat_stat(canon.get(), &st, 1) != 0) {
    set_error(VORN3S_ENOTFOUND, "stat failed");
    return VORN3S_ENOTFOUND;
  }
  if (!st.is_dir && !st.is_file) {
    set_error(VORN3S_EBADARG, "not a file or folder");
    return VORN3S_EBADARG;
  }

  roots_table& t = s_roots;
  plat_guard g(t.lock);
  for (int i = 0; i < t.count; i++) {
    if (!t.entries[i].removed && std::strcmp(t.entries[i].path, canon.get()) == 0) {
      set_error(VORN3S_ECONFLICT, "root already added");
      return VORN3S_ECONFLICT;
    }
  }
  if (t.count == MAX_ROOTS) {
    set_error(VORN3S_ELIMIT, "too many roots");
    return VORN3S_ELIMIT;
  }
  // Display name: the base name, with a '~' appended while a live root has it already.
  char name[512 + 1];
  root_basename(canon.get(), name, 512);
  size_t len = std::strlen(name);
  while (name_taken(t, name) && len <= 508) {
    name[len++] = '~';
    name[len] = '\0';
  }
  char* name_copy = x_strdup(name);
  if (!name_copy) {
    set_error(VORN3S_ENOMEM, "out of memory");
    return VORN3S_ENOMEM;
  }
  const int index = t.count;
  root_entry& e = t.entries[index];
  e.name = name_copy;
  e.path = canon.release();
  e.is_file = st.is_file;
  e.removed = 0;
  t.count = index + 1;
  set_error(VORN3S_OK, "root %d added", index);
  return index;
}

void roots_snapshot_take(roots_table* t, roots_snapshot* out) {
  out->count = 0;
  plat_guard g(t->lock);
  for (int i = 0; i < t->count; i++) {
    const root_entry& e = t->entries[i];
    if (!e.removed) out->roots[out->count++] = root_view{i, e.name, e.path, e.is_file != 0};
  }
}

extern "C" int vorn3s_add_root(const char* path) noexcept {
  return export_guard(VORN3S_ENOMEM, [&] { return roots_add(path); });
}

extern "C" int vorn3s_remove_root(const char* path) noexcept {
  return export_guard(VORN3S_ENOMEM, [&] {
    text_ptr canon(plat_realpath(path ? path : ""));
    if (!canon) {
      set_error(VORN3S_ENOTFOUND, "cannot resolve");
      return VORN3S_ENOTFOUND;
    }
    bool found = false;
    {
      plat_guard g(s_roots.lock);
      for (int i = 0; i < s_roots.count && !found; i++) {
        root_entry& e = s_roots.entries[i];
        if (!e.removed && std::strcmp(e.path, canon.get()) == 0) {
          e.removed = 1;
          found = true;
        }
      }
    }
    if (!found) {
      set_error(VORN3S_ENOTFOUND, "not a root");
      return VORN3S_ENOTFOUND;
    }
    set_error(VORN3S_OK, "removed");
    return 0;
  });
}

extern "C" int vorn3s_root_count() noexcept {
  plat_guard g(s_roots.lock);
  int live = 0;
  for (int i = 0; i < s_roots.count; i++) live += s_roots.entries[i].removed ? 0 : 1;
  return live;
}

extern "C" const char* vorn3s_root_json(int index) noexcept {
  return export_guard("", [&]() -> const char* {
    strbuf sb;
    {
      plat_guard g(s_roots.lock);
      if (index < 0 || index >= s_roots.count || s_roots.entries[index].removed) {
        set_error(VORN3S_EBADARG, "bad index");
        return "";
      }
      const root_entry& e = s_roots.entries[index];
      sb_puts(&sb, "{\"Name\":");
      json_put_string(&sb, e.name);
      sb_puts(&sb, ",\"Path\":");
      json_put_string(&sb, e.path);
      sb_printf(&sb, ",\"Kind\":\"%s\"}", e.is_file ? "file" : "folder");
    }
    return result_store({sb_text(&sb), sb.len});
  });
}
