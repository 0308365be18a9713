// SPDX-License-Identifier: MIT
// The browsing actions: Files and Folders show the top level of every root at once,
// OpenFolder lists a folder's files and SubFolders its sub-folders. What a client cannot
// see is answered with "[]"; only a failed transfer ends the session.
#include <cstring>

#include "catalogue/containment.h"
#include "catalogue/listing.h"
#include "catalogue/resolve.h"
#include "server/settings.h"
#include "server/vorn3s.h"
#include "session/session.h"
#include "session/transfer.h"

static const char* const EMPTY_ARRAY = "[]";

// A reply longer than max_string cannot be sent and ends the session: the walks stop
// as soon as the text is that long.
static size_t reply_limit() { return static_cast<size_t>(G_CFG.max_string.load()); }

int act_files(conn_state* cs) {
  roots_snapshot roots;
  roots_snapshot_take(cs->roots, &roots);
  strbuf reply;
  if (listing_root_files(roots, &reply, reply_limit()) != 0) {
    cs->found = session_end::reply_too_long;
    return VORN3S_ENET;
  }
  return send_json_reply(cs, reply);
}

int act_folders(conn_state* cs) {
  roots_snapshot roots;
  roots_snapshot_take(cs->roots, &roots);
  strbuf reply;
  listing_root_folders(roots, root_probe::any_entry, &reply);
  return send_json_reply(cs, reply);
}

// Finds the folder an ID names: a bare root name straight from the table, anything else
// through resolution. 0 with the owned path and the ID its children are named under;
// else why there is none (VORN3S_EESCAPE: the containment rule refused the ID).
static int find_folder(conn_state* cs, const char* id, text_ptr* path, text_ptr* folder_id) {
  char root_name[ROOT_NAME_CAP];
  char rel[REL_CAP];
  if (id_split(id, root_name, rel) != 0) return VORN3S_EBADARG;
  if (!*rel) {
    roots_snapshot roots;
    roots_snapshot_take(cs->roots, &roots);
    for (int i = 0; i < roots.count; i++) {
      if (std::strcmp(roots.roots[i].name, root_name) != 0) continue;
      path->reset(x_strdup(roots.roots[i].path));
      folder_id->reset(x_strdup(root_name));
      return *path && *folder_id ? 0 : VORN3S_ENOMEM;
    }
  }
  char* resolved = nullptr;
  int index;
  const int r = resolve_id(cs->roots, id, 1, &resolved, &index);
  if (r != 0) return r;
  path->reset(resolved);
  folder_id->reset(x_strdup(id));
  return *folder_id ? 0 : VORN3S_ENOMEM;
}

// Lists the folder that `path` is, its children named under `folder_id`, into `reply`.
// 0, VORN3S_ELIMIT when the listing is longer than a reply may be, or another failure.
static int list_folder(const text_ptr& path, const text_ptr& folder_id, bool sub_folders, strbuf* reply) {
  if (sub_folders) {
    plat_statinfo st;
    if (plat_stat(path.get(), &st, 1) != 0 || !st.is_dir) return VORN3S_ENOTFOUND;
    return listing_folders_host(path.get(), folder_id.get(), reply, reply_limit());
  }
  const char* slash = std::strrchr(folder_id.get(), '/');
  const char* folder_text = slash ? slash + 1 : folder_id.get();
  return listing_files_host(path.get(), folder_id.get(), folder_text, reply, reply_limit());
}

// The steps OpenFolder and SubFolders share: receive the ID, find the folder, list it.
static int browse_folder(conn_state* cs, bool sub_folders) {
  char* received = nullptr;
  if (read_string(cs->sock, &received, cs->read_timeout_ms, &cs->cause) != 0) return VORN3S_ENET;
  const text_ptr id(received);
  strbuf reply;
  text_ptr path, folder_id;
  const char* action = sub_folders ? "SubFolders" : "OpenFolder";
  if (!*id) {
    roots_snapshot roots;
    roots_snapshot_take(cs->roots, &roots);
    listing_root_folders(roots, root_probe::none, &reply);
  } else if (has_dotdot_or_lead_sep(id.get())) {
    note_refused(cs, action, id.get());
  } else if (const int found = find_folder(cs, id.get(), &path, &folder_id); found != 0) {
    if (found == VORN3S_EESCAPE) note_refused(cs, action, id.get());
  } else {
    const int r = list_folder(path, folder_id, sub_folders, &reply);
    if (r == VORN3S_ELIMIT) {
      cs->found = session_end::reply_too_long;
      return VORN3S_ENET;
    }
    if (r != 0) sb_reset(&reply);
  }
  if (reply.len == 0) sb_puts(&reply, EMPTY_ARRAY);
  return send_json_reply(cs, reply);
}

int act_openfolder(conn_state* cs) { return browse_folder(cs, false); }

int act_subfolders(conn_state* cs) { return browse_folder(cs, true); }
