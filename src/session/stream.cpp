// SPDX-License-Identifier: MIT
// Streams a file reply in up to three parts: the file's bytes straight from the file to
// the socket where the system can; else (or for what it would not send) read a chunk
// into the session's buffer, send it, next; then zero bytes for whatever the file did not
// fill.
#include "session/stream.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "server/vorn3s.h"
#include "session/transfer.h"

// Page-aligned: the kernel copied file bytes into a buffer that was only 16-byte aligned
// (as malloc gives) at a fifth of the speed.
static constexpr std::align_val_t BUFFER_ALIGN{4096};

// Never written: every session sends its zero fill from here, so a long run of zeros
// costs no memory of its own.
static uint8_t s_zeros[64 * 1024];

stream_buffer::~stream_buffer() {
  if (data) ::operator delete(data, BUFFER_ALIGN);
}

// Makes the buffer hold at least `n` bytes (n <= STREAM_CHUNK); false when it cannot.
static bool reserve(stream_buffer* buf, size_t n) {
  if (buf->cap >= n) return true;
  // The old contents need not survive, so release first rather than copy them over.
  if (buf->data) ::operator delete(buf->data, BUFFER_ALIGN);
  buf->data = static_cast<uint8_t*>(::operator new(n, BUFFER_ALIGN, std::nothrow));
  buf->cap = buf->data ? n : 0;
  return buf->data != nullptr;
}

namespace {
enum class file_part { more, done, failed };
}

// Sends the file's bytes from offset + *sent without copying them through the session,
// until `count` is reached (done), the file ends (done), or the system will not (more:
// the caller reads and sends the rest). failed when a wait for the socket failed.
static file_part send_from_file(plat_socket sock, plat_file* file, int64_t offset, uint64_t count,
                                plat_send_way how, int timeout_ms, uint64_t* sent, xfer_cause* why) {
  while (*sent < count) {
    const int64_t r = plat_send_file(sock, file, static_cast<uint64_t>(offset) + *sent,
                                     static_cast<size_t>(count - *sent), timeout_ms, how);
    if (r == 0) return file_part::done;
    if (r == PLAT_TIMED_OUT) {
      if (why) *why = xfer_cause::timeout;
      return file_part::failed;
    }
    if (r == -1) return file_part::more;
    if (r == -2) {
      const int ready = plat_poll1(sock, PLAT_POLL_WRITE, timeout_ms);
      if (ready <= 0) {
        if (why) *why = ready == 0 ? xfer_cause::timeout : xfer_cause::error;
        return file_part::failed;
      }
      continue;
    }
    *sent += static_cast<uint64_t>(r);
  }
  return file_part::done;
}

namespace {
// Counts the long replies (more than one chunk) being sent at this moment, over every
// session, for as long as one lives.
std::atomic<int> s_long_replies{0};

struct long_reply_mark {
  bool counted;
  explicit long_reply_mark(bool is_long) : counted(is_long) {
    if (counted) s_long_replies.fetch_add(1, std::memory_order_relaxed);
  }
  ~long_reply_mark() {
    if (counted) s_long_replies.fetch_sub(1, std::memory_order_relaxed);
  }
  long_reply_mark(const long_reply_mark&) = delete;
  long_reply_mark& operator=(const long_reply_mark&) = delete;
};
}  // namespace

// Measured on loopback, 4 MiB replies: a lone one went fastest zero-copy, its reader
// copying on a core of its own; with several at once, copying each byte once here so that
// the readers copy from the cache served four connections near the loopback limit, a
// third faster and with less CPU per byte. Short replies go zero-copy either way.
static plat_send_way send_way_for(stream_way way, bool is_long) {
  if (way == stream_way::copy_once) return plat_send_way::copy_once;
  if (way == stream_way::best && is_long && s_long_replies.load(std::memory_order_relaxed) > 1)
    return plat_send_way::copy_once;
  return plat_send_way::zero_copy;
}

int stream_file_bytes(plat_socket sock, plat_file* file, int64_t offset, uint64_t count, stream_buffer* buf,
                      int timeout_ms, int64_t* file_bytes, stream_way way, xfer_cause* why) {
  uint64_t sent = 0;
  *file_bytes = 0;
  bool reading = file != nullptr && offset >= 0 && count > 0;
  const long_reply_mark mark(reading && count > STREAM_CHUNK);
  if (reading && way != stream_way::buffer) {
    const file_part p =
        send_from_file(sock, file, offset, count, send_way_for(way, mark.counted), timeout_ms, &sent, why);
    if (p == file_part::failed) return VORN3S_ENET;
    reading = p == file_part::more;
  }
  // Read and send: a failed or short read ends the file's part, so that the position
  // moves only by what was really read and the rest of the reply is zeros.
  while (reading && sent < count) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count - sent, STREAM_CHUNK));
    if (!reserve(buf, n)) return VORN3S_ENOMEM;
    const int64_t r = plat_fread_at(file, static_cast<uint64_t>(offset) + sent, buf->data, n);
    const size_t got = r > 0 ? static_cast<size_t>(r) : 0;
    if (sock_send_all(sock, buf->data, got, timeout_ms, why) != 0) return VORN3S_ENET;
    sent += got;
    reading = got == n;
  }
  *file_bytes = static_cast<int64_t>(sent);
  while (sent < count) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count - sent, sizeof s_zeros));
    if (sock_send_all(sock, s_zeros, n, timeout_ms, why) != 0) return VORN3S_ENET;
    sent += n;
  }
  return VORN3S_OK;
}
