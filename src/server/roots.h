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

struct roots_table {
  plat_mutex lock;  // guards every read and write of entries and count
  root_entry entries[MAX_ROOTS];
  int count = 0;  // slots ever used, removed ones included
};

// The process's table; the same pointer every session receives.
roots_table* roots_get();
// Adds a root; its index, or a negative code. Stores the outcome in the last-error record.
int roots_add(const char* path);
// Writes the text after the last "/" or "\" of `path` into `out`, cut to `size` - 1 bytes.
void root_basename(const char* path, char* out, int size);
