// The browsing actions: Files and Folders show the top level of every root at once,
// OpenFolder lists a folder's files and SubFolders its sub-folders. What a client cannot
// see is answered with "[]"; only a failed transfer ends the session.
#include <cstring>

#include "catalogue/containment.h"
#include "catalogue/listing.h"
#include "catalogue/resolve.h"
#include "server/vorn3s.h"
#include "session/session.h"
#include "session/transfer.h"
#include "util/media_names.h"
#include "util/paths.h"

static const char* const EMPTY_ARRAY = "[]";

int act_files(conn_state* cs) {
  strbuf reply;
  sb_putc(&reply, '[');
  bool any = false;
  {
    // The whole walk, disk work included, holds the roots lock.
    roots_table* t = cs->roots;
    plat_guard g(t->lock);
    for (int i = 0; i < t->count; i++) {
      const root_entry& e = t->entries[i];
      if (e.removed) continue;
      if (e.is_file) {
        plat_statinfo st;
        if (plat_stat(e.path, &st, 1) != 0 || !st.is_file) continue;
        if (any) sb_putc(&reply, ',');
        file_json(&reply, e.name, file_type_of(e.name).data(), e.name, e.name);
        any = true;
        continue;
      }
      strbuf listing;
      if (listing_files_host(e.path, e.name, e.name, &listing) != 0 || listing.len <= 2) continue;
      if (any) sb_putc(&reply, ',');
      sb_putn(&reply, listing.buf + 1, listing.len - 2);  // without its brackets
      any = true;
    }
  }
  sb_putc(&reply, ']');
  return send_json_reply(cs, reply);
}

// The roots as folder records. With `probe`, a folder root's HasSubFolder says whether it
// holds any entry at all, looked up on disk under the lock; without, every folder root
// says true and the disk is not touched.
static void root_records(conn_state* cs, bool probe, strbuf* reply) {
  sb_putc(reply, '[');
  roots_table* t = cs->roots;
  plat_guard g(t->lock);
  bool first = true;
  for (int i = 0; i < t->count; i++) {
    const root_entry& e = t->entries[i];
    if (e.removed) continue;
    if (!first) sb_putc(reply, ',');
    first = false;
    folder_json(reply, e.name, e.name, e.is_file ? 0 : (probe ? has_any_entry(e.path) : 1));
  }
  sb_putc(reply, ']');
}

int act_folders(conn_state* cs) {
  strbuf reply;
  root_records(cs, true, &reply);
  return send_json_reply(cs, reply);
}

// Finds the folder an ID names: a bare root name straight from the table, anything else
// through resolution. False when there is none; else the owned path and the ID its
// children are named under.
static bool find_folder(conn_state* cs, const char* id, text_ptr* path, text_ptr* folder_id) {
  char root_name[ROOT_NAME_CAP];
  char rel[REL_CAP];
  if (id_split(id, root_name, rel) != 0) return false;
  if (!*rel) {
    roots_table* t = cs->roots;
    plat_guard g(t->lock);
    for (int i = 0; i < t->count; i++) {
      const root_entry& e = t->entries[i];
      if (e.removed || std::strcmp(e.name, root_name) != 0) continue;
      path->reset(x_strdup(e.path));
      folder_id->reset(x_strdup(root_name));
      return *path && *folder_id;
    }
  }
  char* resolved = nullptr;
  int index;
  if (resolve_id(cs->roots, id, 1, &resolved, &index) != 0) return false;
  path->reset(resolved);
  folder_id->reset(x_strdup(id));
  return *folder_id != nullptr;
}

// The steps OpenFolder and SubFolders share: receive the ID, find the folder, list it.
static int browse_folder(conn_state* cs, bool sub_folders) {
  char* received = nullptr;
  if (read_string(cs->sock, &received, cs->read_timeout_ms) != 0) return VORN3S_ENET;
  const text_ptr id(received);
  strbuf reply;
  text_ptr path, folder_id;
  if (!*id) {
    root_records(cs, false, &reply);
  } else if (!has_dotdot_or_lead_sep(id.get()) && find_folder(cs, id.get(), &path, &folder_id)) {
    int r;
    if (sub_folders) {
      plat_statinfo st;
      r = (plat_stat(path.get(), &st, 1) == 0 && st.is_dir)
              ? listing_folders_host(path.get(), folder_id.get(), &reply)
              : VORN3S_ENOTFOUND;
    } else {
      const char* slash = std::strrchr(folder_id.get(), '/');
      const char* folder_text = slash ? slash + 1 : folder_id.get();
      r = listing_files_host(path.get(), folder_id.get(), folder_text, &reply);
    }
    if (r != 0) sb_reset(&reply);
  }
  if (reply.len == 0) sb_puts(&reply, EMPTY_ARRAY);
  return send_json_reply(cs, reply);
}

int act_openfolder(conn_state* cs) { return browse_folder(cs, false); }

int act_subfolders(conn_state* cs) { return browse_folder(cs, true); }
