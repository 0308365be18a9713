// SPDX-License-Identifier: MIT
// The session loop with the actions that need no catalogue: End, HandShake, Size, Seek,
// Read and SeekRead, and the counting of unknown codes.
#include "session/session.h"

#include <iterator>

#include "server/log_events.h"
#include "server/settings.h"
#include "server/vorn3s.h"
#include "session/stream.h"
#include "session/transfer.h"

static constexpr int32_t MAX_UNKNOWN_CODES = 15;

static constexpr const char* SESSION_END_NAMES[] = {
    "end",           "peer_closed",  "idle_timeout",    "read_timeout", "reply_too_long", "count_too_large",
    "unknown_codes", "bad_argument", "transfer_failed", "no_memory",
};
static_assert(std::size(SESSION_END_NAMES) == static_cast<size_t>(session_end::no_memory) + 1);

const char* session_end_name(session_end why) { return SESSION_END_NAMES[static_cast<size_t>(why)]; }

int send_json_reply(conn_state* cs, const strbuf& sb) {
  const char* text = sb.buf ? sb.buf : "[]";
  return w_string(cs->sock, text, cs->read_timeout_ms, &cs->cause) == 0 ? VORN3S_OK : VORN3S_ENET;
}

void close_open_file(conn_state* cs) {
  if (cs->file) client_set_file(cs->client, nullptr);
  plat_fclose(cs->file);
  cs->file = nullptr;
  cs->size = 0;
  cs->pos = 0;
}

void note_refused(const conn_state* cs, const char* action, std::string_view id) {
  log_refused(conn_number(cs), action, id);
}

static int act_handshake(conn_state* cs) {
  // The first one tells the log the byte order the connection settled on; more add nothing.
  if (!cs->handshake_logged) {
    cs->handshake_logged = true;
    log_handshake(conn_number(cs), cs->order == byte_order::little ? "little" : "big");
  }
  // Built in the session's own storage: the shared result buffer may be rewritten by
  // another thread at any moment.
  char text[128];
  handshake_format(text, sizeof text);
  return w_string(cs->sock, text, cs->read_timeout_ms, &cs->cause) == 0 ? VORN3S_OK : VORN3S_ENET;
}

static int act_size(conn_state* cs) {
  uint8_t reply[8];
  be64_put(reply, static_cast<uint64_t>(cs->file ? cs->size : 0));
  return sock_send_all(cs->sock, reply, sizeof reply, cs->read_timeout_ms, &cs->cause) == 0 ? VORN3S_OK
                                                                                            : VORN3S_ENET;
}

static int act_seek(conn_state* cs) {
  uint8_t arg[8];
  if (sock_recv_exact(cs->sock, arg, sizeof arg, cs->read_timeout_ms, &cs->cause) != 0) return VORN3S_ENET;
  cs->pos = be64_get(arg);  // any value: the reads past the end answer with zero bytes
  return 0;
}

// Answers a Read or SeekRead of `count` bytes at `offset`: the file's bytes, then zero
// bytes for whatever lies past its end or failed to be read. Moves pos by what was read.
static int send_file_bytes(conn_state* cs, uint32_t count, int64_t offset) {
  if (count > static_cast<uint32_t>(G_CFG.max_read.load())) {
    cs->found = session_end::count_too_large;
    return VORN3S_ELIMIT;
  }
  int64_t got = 0;
  const int r = stream_file_bytes(cs->sock, cs->file, offset, count, &cs->reply, cs->read_timeout_ms, &got,
                                  stream_way::best, &cs->cause);
  if (r != VORN3S_OK) return r;
  if (cs->file) cs->pos = offset + got;
  client_note_sent(cs->client, count);
  return VORN3S_OK;
}

static int act_read(conn_state* cs) {
  uint8_t arg[4];
  if (sock_recv_exact(cs->sock, arg, sizeof arg, cs->read_timeout_ms, &cs->cause) != 0) return VORN3S_ENET;
  return send_file_bytes(cs, be32_get(arg), cs->pos);
}

static int act_seekread(conn_state* cs) {
  uint8_t arg[12];
  if (sock_recv_exact(cs->sock, arg, sizeof arg, cs->read_timeout_ms, &cs->cause) != 0) return VORN3S_ENET;
  return send_file_bytes(cs, be32_get(arg), be64_get(arg + 4));
}

// Runs one known action; 0 to go on, else the session's result.
static int run_action(conn_state* cs, int32_t code) {
  switch (code) {
    case ACT_HANDSHAKE: return act_handshake(cs);
    case ACT_SIZE: return act_size(cs);
    case ACT_READ: return act_read(cs);
    case ACT_FILES: return act_files(cs);
    case ACT_OPENFILE: return act_openfile(cs);
    case ACT_FOLDERS: return act_folders(cs);
    case ACT_OPENFOLDER: return act_openfolder(cs);
    case ACT_SEEK: return act_seek(cs);
    case ACT_SUBTITLE: return act_subtitle(cs);
    case ACT_SUBFOLDERS: return act_subfolders(cs);
    case ACT_SEEKREAD: return act_seekread(cs);
    default: break;
  }
  // Unknown: nothing is read after it and nothing is sent; the sixteenth ends the session.
  if (++cs->invalid_count <= MAX_UNKNOWN_CODES) return VORN3S_OK;
  cs->found = session_end::unknown_codes;
  return VORN3S_ELIMIT;
}

static bool resets_unknown_count(int32_t code) {
  return code == ACT_SEEK || code == ACT_SUBTITLE || code == ACT_SUBFOLDERS || code == ACT_SEEKREAD;
}

namespace {
// Closes the open file on every way out of the session.
struct open_file_closer {
  conn_state& cs;
  ~open_file_closer() { plat_fclose(cs.file); }
};
}  // namespace

// The cause of a session that ended with `result`; `waiting` when it ended waiting for
// an action code.
static session_end cause_of(const conn_state& cs, int result, bool waiting) {
  if (result == VORN3S_OK) return session_end::end;
  if (result == VORN3S_ENOMEM) return session_end::no_memory;
  if (result != VORN3S_ENET || cs.found != session_end::end) return cs.found;
  switch (cs.cause) {
    case xfer_cause::timeout: return waiting ? session_end::idle_timeout : session_end::read_timeout;
    case xfer_cause::closed: return session_end::peer_closed;
    case xfer_cause::too_long: return session_end::reply_too_long;
    case xfer_cause::error: return session_end::transfer_failed;
    case xfer_cause::bad_string:
    case xfer_cause::none: break;
  }
  return session_end::bad_argument;
}

int vorn3s_serve_conn(plat_socket sock, roots_table* roots, client_entry* client, session_end* why) {
  conn_state cs;
  open_file_closer closer{cs};
  cs.sock = sock;
  cs.roots = roots;
  cs.client = client;
  cs.order = order_from_setting(G_CFG.action_byteorder.load());
  cs.idle_timeout_ms = G_CFG.idle_timeout_ms.load();
  cs.read_timeout_ms = G_CFG.read_timeout_ms.load();
  (void)sock_set_nodelay(sock);

  int result;
  bool waiting = false;
  for (;;) {
    uint8_t code_bytes[4];
    if (sock_recv_next(sock, code_bytes, sizeof code_bytes, cs.idle_timeout_ms, &cs.cause) != 0) {
      result = VORN3S_ENET;
      waiting = true;
      break;
    }
    client_note_action(client);
    const int32_t code = decode_action(code_bytes, &cs.order);
    if (code == ACT_END) {
      result = 0;
      break;
    }
    const int r = run_action(&cs, code);
    if (r != 0) {
      result = r;
      break;
    }
    if (resets_unknown_count(code)) cs.invalid_count = 0;
  }
  if (why) *why = cause_of(cs, result, waiting);
  return result;
}
