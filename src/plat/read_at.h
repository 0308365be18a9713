// SPDX-License-Identifier: MIT
// The positioned read that both systems' file services build plat_fread_at on: one rule
// for short reads and for the largest offset, around the system's own read call.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to `n` bytes at `offset` into `buf` through `read_once(at, dst, want)`, which
// reads at most `want` bytes (never more than `max_once`) at `at` and gives the bytes
// read, 0 at the end of the file, or -1 on an error. Bytes read, or -1 when the first
// read failed. Short reads are continued: the reply is zero-filled past what was read, so
// a short read in mid-file would send the player silence instead of its data.
template <class ReadOnce>
int64_t read_at_fully(uint64_t offset, void* buf, size_t n, uint64_t max_once, ReadOnce read_once) {
  constexpr uint64_t LAST = static_cast<uint64_t>(INT64_MAX);
  if (offset > LAST) return 0;
  auto* p = static_cast<char*>(buf);
  size_t done = 0;
  while (done < n) {
    const uint64_t at = offset + done;
    if (at > LAST) break;
    uint64_t want = n - done;
    if (want > max_once) want = max_once;
    // No file reaches past the largest offset, so the bytes beyond it are past the end,
    // not an error (the systems refuse a range whose end passes it).
    if (want > LAST - at) want = LAST - at;
    if (want == 0) break;
    const int64_t r = read_once(at, p + done, static_cast<size_t>(want));
    if (r < 0) return done > 0 ? static_cast<int64_t>(done) : -1;
    if (r == 0) break;
    done += static_cast<size_t>(r);
  }
  return static_cast<int64_t>(done);
}
