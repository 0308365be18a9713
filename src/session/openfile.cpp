// SPDX-License-Identifier: MIT
// OpenFile makes a file the session's open file; Subtitle answers with the subtitle files
// beside it. Both take a file argument and find the file among the live roots.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "catalogue/containment.h"
#include "catalogue/filearg.h"
#include "catalogue/find_file.h"
#include "catalogue/subtitles.h"
#include "server/access_log.h"
#include "server/log_events.h"
#include "server/settings.h"
#include "server/vorn3s.h"
#include "session/session.h"
#include "session/transfer.h"
#include "util/media_names.h"
#include "util/paths.h"

namespace {
// One file argument: the text that arrived, what it says and the file it names.
struct file_request {
  text_ptr text;  // kept only while it did not parse
  bool parsed = false;
  filearg fa;
  text_ptr path;   // the file found
  int index = -1;  // the root it lies in
};
}  // namespace

// The ID the client asked for, as it sent it: FullName, else Folder and Name, else Name;
// the whole argument when it did not parse.
static std::string requested_id(const file_request& req) {
  const filearg& fa = req.fa;
  if (!req.parsed) return req.text ? req.text.get() : "";
  if (fa.full_name && *fa.full_name) return fa.full_name;
  std::string id;
  if (fa.folder && *fa.folder) id.append(fa.folder).append("/");
  if (fa.name) id.append(fa.name);
  return id;
}

// Receives and parses the file argument, then resolves it. 0 with the file found;
// VORN3S_ENET when the argument did not arrive; else why it names no file, with a refusal
// by the containment rule told to the log.
static int receive_file_arg(conn_state* cs, const char* action, file_request* req) {
  char* received = nullptr;
  if (read_string(cs->sock, &received, cs->read_timeout_ms, &cs->cause) != 0) return VORN3S_ENET;
  req->text.reset(received);
  if (parse_file_arg(received, &req->fa) != 0) return VORN3S_EBADARG;
  req->parsed = true;
  req->text.reset();  // up to max_string bytes, no longer needed
  char* found = nullptr;
  const int r = resolve_openfile(cs->roots, &req->fa, &found, &req->index);
  if (r == VORN3S_EESCAPE && access_log_on()) note_refused(cs, action, requested_id(*req));
  if (r != 0) return r == VORN3S_ENET ? VORN3S_ENOTFOUND : r;
  req->path.reset(found);
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

// Opens the file `req` found as the session's open file: 0, or why it cannot be.
static int open_found(conn_state* cs, const file_request& req, int64_t* size) {
  plat_statinfo st;
  if (plat_stat(req.path.get(), &st, 1) != 0 || !st.is_file) return VORN3S_ENOTFOUND;
  plat_file* file = plat_fopen_read(req.path.get());
  if (!file) return VORN3S_ENOTFOUND;
  // The path was checked when it was resolved; check the file really opened as well, so
  // that a link swapped in meanwhile cannot lead out of the root.
  bool root_is_file;
  text_ptr root_name;
  const text_ptr root = root_of(cs, req.index, &root_is_file, &root_name);
  const text_ptr real(plat_file_realpath(file));
  if (!root || !real) {
    plat_fclose(file);
    return VORN3S_ENOMEM;
  }
  if (!path_contained(real.get(), root.get(), root_is_file)) {
    plat_fclose(file);
    if (access_log_on()) note_refused(cs, "OpenFile", requested_id(req));
    return VORN3S_EESCAPE;
  }
  cs->file = file;
  cs->size = st.size;
  cs->pos = 0;
  *size = st.size;
  note_open_file(cs, root_name.get(), root.get(), real.get());
  return 0;
}

int act_openfile(conn_state* cs) {
  file_request req;
  int r = receive_file_arg(cs, "OpenFile", &req);
  if (r == VORN3S_ENET) return r;
  // Whatever the outcome, the file open before is closed once an argument has arrived.
  close_open_file(cs);
  int64_t size = 0;
  if (r == 0) r = open_found(cs, req, &size);
  if (access_log_on()) log_open(conn_number(cs), requested_id(req), r, size);
  return 0;  // the client learns the outcome from Size alone
}

int act_subtitle(conn_state* cs) {
  file_request req;
  if (receive_file_arg(cs, "Subtitle", &req) != 0) return VORN3S_ENET;
  const filearg& fa = req.fa;
  const text_ptr& path = req.path;
  char stem[512];
  const char* source = (fa.name && *fa.name) ? fa.name : final_component(path.get()).data();
  stem_of(source, stem, sizeof stem);
  bool root_is_file;
  const text_ptr root = root_of(cs, req.index, &root_is_file);
  strbuf reply;
  // A reply over max_string cannot be sent: stop building it as soon as it is that long.
  if (root && !subtitle_scan(path.get(), stem, subtitle_bound{root.get(), root_is_file}, &reply,
                             static_cast<size_t>(G_CFG.max_string.load()))) {
    cs->found = session_end::reply_too_long;
    return VORN3S_ENET;
  }
  return send_json_reply(cs, reply);
}
