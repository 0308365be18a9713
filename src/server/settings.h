// Process-wide state shared by every part of the server: the settings record, the
// last-error record and the result buffer of the exported JSON queries.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "plat/plat.h"

inline constexpr int PLATFORM_CAP = 64;  // 63 bytes of name and the terminator

// Session threads read the integers while the controlling thread changes them, so each
// is atomic; the platform name is copied out under its lock, never read in place.
struct settings {
  std::atomic<int32_t> action_byteorder{0};  // 0 auto, 1 big, 2 little
  std::atomic<int32_t> idle_timeout_ms{120000};
  std::atomic<int32_t> read_timeout_ms{30000};
  std::atomic<int32_t> max_string{65536};
  std::atomic<int32_t> max_read{4194304};
  std::atomic<int32_t> sub_max_bytes{8388608};
  plat_mutex platform_lock;
  char platform[PLATFORM_CAP] = "quorvane-c";
};

extern settings G_CFG;

// Copies the platform name into `out` (PLATFORM_CAP bytes), consistent as a whole.
void cfg_platform(char* out);
// Writes the handshake JSON into `out` of `size` bytes; its length, as snprintf gives it.
int handshake_format(char* out, size_t size);

// Stores a result code and its message (cut to 1023 bytes) in the last-error record.
void set_error(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));

inline constexpr size_t RESULT_CAP = 262144;  // the result buffer: 262143 bytes of text

// Copies `text` into the shared result buffer, cut to 262143 bytes, and returns it.
const char* result_store(std::string_view text);

// Runs the body of an exported function so that no exception can leave it: whatever
// escapes (it should be nothing) becomes `fallback`.
template <class R, class F>
R export_guard(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}
