// SPDX-License-Identifier: MIT
// OpenFile makes a file the session's open file; Subtitle answers with the subtitle files
// beside it. Both take a file argument and find the file among the live roots.
#include <algorithm>
#include <cstring>
#include <string_view>

#include "catalogue/containment.h"
#include "catalogue/filearg.h"
#include "catalogue/find_file.h"
#include "catalogue/subtitles.h"
#include "server/settings.h"
#include "server/vorn3s.h"
#include "session/session.h"
#include "session/transfer.h"
#include "util/media_names.h"
#include "util/paths.h"

// Receives and parses the file argument, then resolves it. 0 with the owned path and the
// root index; 1 when the argument arrived but names no file; VORN3S_ENET when it did not
// arrive.
static int receive_file_arg(conn_state* cs, filearg* fa, text_ptr* path, int* index) {
  char* received = nullptr;
  if (read_string(cs->sock, &received, cs->read_timeout_ms, &cs->cause) != 0) return VORN3S_ENET;
  const int parsed = parse_file_arg(received, fa);
  std::free(received);
  if (parsed != 0) return 1;
  char* found = nullptr;
  if (resolve_openfile(cs->roots, fa, &found, index) != 0) return 1;
  path->reset(found);
  return 0;
}

// The root a resolved path belongs to: a copy of its path and whether it is a file, and
// with `name` a copy of its display name.
static text_ptr root_of(conn_state* cs, int index, bool* is_file, text_ptr* name = nullptr) {
  plat_guard g(cs->roots->lock);
  const root_entry& e = cs->roots->entries[index];
  *is_file = e.is_file != 0;
  if (name) name->reset(x_strdup(e.name));
  return text_ptr(x_strdup(e.path));
}

// Tells the console's table which file is open, by the ID a listing would give it: the
// root's display name and the canonical path below the root.
static void note_open_file(conn_state* cs, const char* root_name, const char* root_path, const char* path) {
  if (!cs->client || !root_name) return;
  std::string_view rel(path);
  rel.remove_prefix(std::min(rel.size(), std::strlen(root_path)));
  while (!rel.empty() && is_path_sep(rel.front())) rel.remove_prefix(1);
  strbuf id;
  sb_puts(&id, root_name);
  if (!rel.empty()) {
    sb_putc(&id, '/');
    const size_t from = id.len;
    sb_putn(&id, rel.data(), rel.size());
    // An ID separates names with "/", whatever separator the system's paths use.
    for (size_t i = from; id.buf && i < id.len; i++) {
      if (id.buf[i] == plat_path_sep()) id.buf[i] = '/';
    }
  }
  client_set_file(cs->client, id.buf);
}

int act_openfile(conn_state* cs) {
  filearg fa;
  text_ptr path;
  int index = -1;
  const int r = receive_file_arg(cs, &fa, &path, &index);
  if (r < 0) return r;
  // Whatever the outcome, the file open before is closed once an argument has arrived.
  close_open_file(cs);
  if (r != 0) return 0;
  plat_statinfo st;
  if (plat_stat(path.get(), &st, 1) != 0 || !st.is_file) return 0;
  plat_file* file = plat_fopen_read(path.get());
  if (!file) return 0;
  // The path was checked when it was resolved; check the file really opened as well, so
  // that a link swapped in meanwhile cannot lead out of the root.
  bool root_is_file;
  text_ptr root_name;
  const text_ptr root = root_of(cs, index, &root_is_file, &root_name);
  const text_ptr real(plat_file_realpath(file));
  if (!root || !real || !path_contained(real.get(), root.get(), root_is_file)) {
    plat_fclose(file);
    return 0;
  }
  cs->file = file;
  cs->size = st.size;
  cs->pos = 0;
  note_open_file(cs, root_name.get(), root.get(), real.get());
  return 0;
}

int act_subtitle(conn_state* cs) {
  filearg fa;
  text_ptr path;
  int index = -1;
  if (receive_file_arg(cs, &fa, &path, &index) != 0) return VORN3S_ENET;
  char stem[512];
  const char* source = (fa.name && *fa.name) ? fa.name : final_component(path.get()).data();
  stem_of(source, stem, sizeof stem);
  bool root_is_file;
  const text_ptr root = root_of(cs, index, &root_is_file);
  strbuf reply;
  // A reply over max_string cannot be sent: stop building it as soon as it is that long.
  if (root && !subtitle_scan(path.get(), stem, subtitle_bound{root.get(), root_is_file}, &reply,
                             static_cast<size_t>(G_CFG.max_string.load()))) {
    cs->found = session_end::reply_too_long;
    return VORN3S_ENET;
  }
  return send_json_reply(cs, reply);
}
