// SPDX-License-Identifier: MIT
// The settings record that every part of the server reads, set by key and value.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

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
  std::atomic<int32_t> max_connections{512};  // read by the listener at each accept
  plat_mutex platform_lock;
  char platform[PLATFORM_CAP] = "quorvane-c";
};

extern settings G_CFG;

// Copies the platform name into `out` (PLATFORM_CAP bytes), consistent as a whole.
void cfg_platform(char* out);
// Writes the handshake JSON into `out` of `size` bytes; its length, as snprintf gives it.
int handshake_format(char* out, size_t size);
