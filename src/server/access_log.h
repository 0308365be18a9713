// SPDX-License-Identifier: MIT
// The access log: lines that sessions and the listener hand over, queued in memory and
// written by one writer thread, so that no session ever waits for the disk. A full queue
// or a failed write loses lines and counts them; it never holds anyone up.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// Opens the log at `path`, appending ("-": standard error), and starts its writer. 0;
// VORN3S_ECONFLICT when a log is open; VORN3S_ENOTFOUND when the file cannot be opened;
// VORN3S_ENET when the writer cannot start. On the controlling thread.
int access_log_open(const char* path);
// Writes what is queued, waiting up to `wait_ms` for the writer, and closes the log.
void access_log_close(int wait_ms = 2000);
// Opens the same path again, as after a rotation renamed the file away: every line handed
// over from now on goes to the new file, the lines before it to the old one. 0 (also for
// standard error, which is not reopened); VORN3S_ECONFLICT when no log is open;
// VORN3S_ENOTFOUND when the path cannot be opened, the old file then staying in use.
int access_log_reopen();

// True while a log is open; events are only formatted then.
extern std::atomic<bool> g_access_log_on;
inline bool access_log_on() { return g_access_log_on.load(std::memory_order_relaxed); }

// Hands over one whole line, its line feed included; from any thread. Never waits for
// the writer.
void access_log_put(std::string_view line);

struct access_log_status {
  std::string path;   // as given to access_log_open; empty when no log is open
  uint64_t lost = 0;  // lines that could not be queued or written
};
// The log's path and its count of lost lines.
access_log_status access_log_state();
