// SPDX-License-Identifier: MIT
// The reply of a Read or SeekRead, streamed: the file's bytes from an offset, then zero
// bytes up to the count. A connection holds at most one chunk of the reply, whatever the
// count and whatever max_read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plat/plat.h"
#include "session/transfer.h"

inline constexpr size_t STREAM_CHUNK = 1024 * 1024;

// The one buffer a session streams through, kept from reply to reply and released with
// the session; it grows to the largest chunk asked for, at most STREAM_CHUNK bytes.
struct stream_buffer {
  uint8_t* data = nullptr;
  size_t cap = 0;

  stream_buffer() = default;
  ~stream_buffer();
  stream_buffer(const stream_buffer&) = delete;
  stream_buffer& operator=(const stream_buffer&) = delete;
};

// How the file's part travels. zero_copy and copy_once: straight from the file to the
// socket (see plat_send_way) where the system can, else as buffer; buffer: read into the
// session's buffer a chunk at a time and sent from there; best: copy_once for a long
// reply while other long replies are being sent, zero_copy otherwise.
enum class stream_way { best, zero_copy, copy_once, buffer };

// Sends exactly `count` bytes on `sock`: those of `file` from `offset` (none when `file`
// is null or `offset` negative), then zero bytes for what lies past the end of the file
// or behind the first failed read. Each wait is bounded by `timeout_ms`. `*file_bytes` is
// the number of the file's bytes sent. VORN3S_OK when all went out, VORN3S_ENET when a
// send failed (its cause in `why`, when given), VORN3S_ENOMEM when there was no memory
// for the buffer.
int stream_file_bytes(plat_socket sock, plat_file* file, int64_t offset, uint64_t count, stream_buffer* buf,
                      int timeout_ms, int64_t* file_bytes, stream_way way = stream_way::best,
                      xfer_cause* why = nullptr);
