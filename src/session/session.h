// SPDX-License-Identifier: MIT
// One client connection: its state and the action loop that serves it. Each session runs
// on its own connection thread and is the only user of its conn_state.
#pragma once

#include <cstdint>

#include "plat/plat.h"
#include "server/clients.h"
#include "server/roots.h"
#include "session/stream.h"
#include "session/wire.h"
#include "util/strbuf.h"

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

  // The console's line for this connection, or null.
  client_entry* client = nullptr;
};

// Serves `sock` until the client ends the session or it fails: VORN3S_OK after End,
// VORN3S_ENET on a failed transfer, VORN3S_ENOMEM when a read buffer cannot be had,
// VORN3S_ELIMIT at a limit. Never closes sock. Keeps `client`, when given, up to date.
int vorn3s_serve_conn(plat_socket sock, roots_table* roots, client_entry* client = nullptr);

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
