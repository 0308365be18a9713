// SPDX-License-Identifier: MIT
// The lines of the access log, one per event: the UTC time in ISO 8601 with
// milliseconds, then key=value fields, the first always "event". Texts that a client
// sent are quoted and escaped so that none can break a line or fake a field. Each call
// does nothing while no log is open; from any thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "plat/plat.h"

// Connection number `conn` accepted from `peer`.
void log_connect(int conn, const plat_peer& peer);
// The first HandShake of a connection, with its byte order ("big" or "little").
void log_handshake(int conn, const char* order);
// An OpenFile of `id`: with `code` 0 the file opened and its size, else why not (a
// negative result code).
void log_open(int conn, std::string_view id, int code, int64_t size);
// An ID that the containment rule refused, as the client sent it, in `action`.
void log_refused(int conn, const char* action, std::string_view id);
// A session's end: its cause (session_end_name), how long it lasted and the bytes of file
// data sent.
void log_end(int conn, const char* reason, uint64_t duration_ms, uint64_t bytes);
// A connection from `peer` closed at once because `limit` connections were being served.
void log_busy(const plat_peer& peer, int limit);
// No descriptor left for waiting connections; `closed` were closed unserved since the
// last such line.
void log_exhausted(uint64_t closed);

// Appends `text` to `out` (of `cap` bytes, `*len` used) as a quoted value: a quote and a
// backslash escaped with a backslash, every byte that is no printable ASCII and no part
// of a UTF-8 character from U+00A0 on written as \xNN. Stops before the text would not
// fit; the bytes of `text` taken.
size_t log_quote(char* out, size_t cap, size_t* len, std::string_view text);
