// SPDX-License-Identifier: MIT
// The table of live connections that the console lists: each connection thread registers
// an entry for the life of its session, and the session keeps it up to date. The counters
// a transfer touches are atomics written by their session alone, so the hot path takes no
// lock; only a change of the open file does.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "util/strbuf.h"

struct client_entry {
  // Set by clients_register, then only read.
  int number = 0;  // 1 for the first connection of the process, then counting up
  plat_peer peer;
  uint64_t connected_ms = 0;  // plat_now_ms() at registration
  // Written by the session's thread only; read by the console at any time.
  std::atomic<uint64_t> last_action_ms{0};
  std::atomic<uint64_t> bytes_sent{0};
  // Guarded by the clients lock.
  text_ptr file_id;  // ID of the open file, or null
  client_entry* prev = nullptr;
  client_entry* next = nullptr;
};

// One entry as the console shows it, copied out so that it stays valid after the session
// has gone.
struct client_row {
  int number = 0;
  plat_peer peer;
  uint64_t connected_s = 0;  // whole seconds since the connection was registered
  uint64_t idle_s = 0;       // whole seconds since its last action code arrived
  std::string file_id;       // empty when no file is open
  uint64_t bytes_sent = 0;   // bytes of Read and SeekRead replies sent
};

// Gives `e` the next number and the current time and links it at the end of the table.
// The entry must stay in place until clients_unregister; the connection thread calls both.
void clients_register(client_entry* e, const plat_peer& peer);
// Unlinks `e`; once this returns no other thread looks at it. Releases its file ID.
void clients_unregister(client_entry* e);

// The session's updates; each accepts a null entry (a session run without the table).
inline void client_note_action(client_entry* e) {
  if (e) e->last_action_ms.store(plat_now_ms(), std::memory_order_relaxed);
}
inline void client_note_sent(client_entry* e, uint64_t n) {
  // One writer: a plain add of the loaded value, cheaper than a locked read-modify-write.
  if (e) e->bytes_sent.store(e->bytes_sent.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
// Records the ID of the file now open (null when none); the text is copied.
void client_set_file(client_entry* e, const char* id);

// Copies every registered entry, in the order of their numbers, into `out`. 0, or
// VORN3S_ENOMEM when the copy could not be made (`out` then holds what was copied).
int clients_snapshot(std::vector<client_row>* out);
