// SPDX-License-Identifier: MIT
// One client connection: its state and the action loop that serves it. Each session runs
// on its own connection thread and is the only user of its conn_state.
#pragma once

#include <cstdint>
#include <string_view>

#include "plat/plat.h"
#include "server/clients.h"
#include "server/roots.h"
#include "session/stream.h"
#include "session/transfer.h"
#include "session/wire.h"
#include "util/strbuf.h"

// Why a session ended, for whoever tells the operator.
enum class session_end {
  end,              // the client sent End
  peer_closed,      // the client ended the connection
  idle_timeout,     // no action code came within idle_timeout_ms
  read_timeout,     // an argument or a reply stalled for read_timeout_ms
  reply_too_long,   // a JSON reply over max_string
  count_too_large,  // a Read or SeekRead count over max_read
  unknown_codes,    // the sixteenth unknown action code since the last reset
  bad_argument,     // a string over max_string or holding a zero byte, or a Subtitle
                    // argument that names no file
  transfer_failed,  // the socket failed
  no_memory,        // no memory for a reply
};

// The name of a cause as logs write it: "end", "peer_closed", "idle_timeout", ...
const char* session_end_name(session_end why);

struct conn_state {
  plat_socket sock = PLAT_NO_SOCKET;  // borrowed; the caller closes it
  roots_table* roots = nullptr;
  byte_order order = byte_order::open;
  int32_t idle_timeout_ms = 0;  // copied at session start
  int32_t read_timeout_ms = 0;
  plat_file* file = nullptr;  // the open file, at most one
  int64_t size = 0;           // its size when it was opened
  int64_t pos = 0;            // where the next Read starts
  int32_t invalid_count = 0;  // unknown codes since the last reset
  stream_buffer reply;        // every Read and SeekRead streams through this one buffer
  bool handshake_logged = false;
  // Why the last transfer failed, and a cause an action found itself (none yet: end).
  xfer_cause cause = xfer_cause::none;
  session_end found = session_end::end;

  // The console's line for this connection, or null.
  client_entry* client = nullptr;
};

// Serves `sock` until the client ends the session or it fails: VORN3S_OK after End,
// VORN3S_ENET on a failed transfer, VORN3S_ENOMEM when a read buffer cannot be had,
// VORN3S_ELIMIT at a limit. Never closes sock. Keeps `client`, when given, up to date,
// and tells `why`, when given, the cause of the end.
int vorn3s_serve_conn(plat_socket sock, roots_table* roots, client_entry* client = nullptr,
                      session_end* why = nullptr);

// The actions of the catalogue. Each returns 0 when the loop goes on, or the session's
// result when it must end.
int act_files(conn_state* cs);
int act_folders(conn_state* cs);
int act_openfolder(conn_state* cs);
int act_subfolders(conn_state* cs);
int act_openfile(conn_state* cs);
int act_subtitle(conn_state* cs);

// Sends a built JSON reply as a string ("[]" when nothing could be built); VORN3S_OK or
// VORN3S_ENET.
int send_json_reply(conn_state* cs, const strbuf& sb);
// Closes the session's open file, if any, and forgets its size, position and ID.
void close_open_file(conn_state* cs);
// The connection's number in the console's table and the log, or 0 without a table.
inline int conn_number(const conn_state* cs) { return cs->client ? cs->client->number : 0; }
// Tells the log that the containment rule refused `id` (as the client sent it) in `action`.
void note_refused(const conn_state* cs, const char* action, std::string_view id);
