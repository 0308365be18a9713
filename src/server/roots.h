// SPDX-License-Identifier: MIT
// The roots table: the folders and single files clients may see, each with a display name
// unique among the live roots. Slots are appended and marked removed, never moved or
// reused, so an index stays valid for the life of the process.
#pragma once

#include "plat/plat.h"

inline constexpr int MAX_ROOTS = 64;

struct root_entry {
  char* name = nullptr;  // display name; written once, never freed
  char* path = nullptr;  // canonical path; written once, never freed
  int is_file = 0;
  int removed = 0;
};

// Threads and locks.
// - The roots lock guards `entries` and `count`: every read and every write of them, by
//   the controlling thread (add, remove, count, show) and by the sessions. It is held for
//   short looks only, never across a file-system call: a walk over the roots (Files,
//   Folders, the root records, the listing query, the file search by name, identifier
//   resolution) works on a snapshot taken under it and then released, so a slow or
//   stalled file system holds up only the request that touches it. An index read under
//   it stays valid after it is released, since slots are never moved or reused.
// - No code holds the roots lock and the server lock (G_SRV.lock) together, and none
//   takes a lock it already holds, so plain mutexes serve.
// - `s_conn_count` (listener.cpp) is the number of live connections, an atomic of its
//   own: the listener counts each connection in before its thread starts, and the thread
//   counts itself out as it ends, through vorn3s_conn_inc and vorn3s_conn_dec, which change
//   it under the server lock; it is read without a lock. Only the listener counts in, so
//   its test against max_connections holds until its own count.
// - The clients lock (clients.cpp) guards the table of live connections that the console
//   lists: linking and unlinking an entry, changing its open file's ID, and copying the
//   rows out. It is held for those steps alone, never with the roots lock or the server
//   lock; the counters a transfer updates are atomics outside it.
// - The last-error record (results.cpp) is written only by the controlling thread, through
//   the exported functions; sessions never write it.
struct roots_table {
  plat_mutex lock;  // the roots lock
  root_entry entries[MAX_ROOTS];
  int count = 0;  // slots ever used, removed ones included
};

// The process's table; the same pointer every session receives.
roots_table* roots_get();
// Adds a root; its index, or a negative code. Stores the outcome in the last-error record.
int roots_add(const char* path);
// Writes the text after the last "/" or "\" of `path` into `out`, cut to `size` - 1 bytes.
void root_basename(const char* path, char* out, int size);

// A live root as one look into the table saw it. `name` and `path` point into the table:
// a slot's texts are written before the slot is published under the lock and are never
// changed or freed, so they stay valid once the lock is released.
struct root_view {
  int index = -1;
  const char* name = nullptr;
  const char* path = nullptr;
  bool is_file = false;
};

// The live roots in table order, as they were at one moment.
struct roots_snapshot {
  root_view roots[MAX_ROOTS];
  int count = 0;
};

// Takes the snapshot of `t` under its lock, and nothing more: the walk that follows runs
// without the lock and sees the roots as they were at this look into the table.
void roots_snapshot_take(roots_table* t, roots_snapshot* out);
