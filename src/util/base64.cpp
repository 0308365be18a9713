// SPDX-License-Identifier: MIT
// Base64 encoding, appended a kilobyte at a time rather than four characters at a time.
#include "util/base64.h"

#include <cstdint>

static constexpr char BASE64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void base64_put(strbuf* out, const void* bytes, size_t n) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  char chunk[4 * 256];
  size_t used = 0;
  for (size_t i = 0; i < n; i += 3) {
    const size_t left = n - i;
    const uint32_t v = static_cast<uint32_t>(p[i]) << 16 |
                       (left > 1 ? static_cast<uint32_t>(p[i + 1]) << 8 : 0u) |
                       (left > 2 ? static_cast<uint32_t>(p[i + 2]) : 0u);
    chunk[used++] = BASE64_ALPHABET[(v >> 18) & 63];
    chunk[used++] = BASE64_ALPHABET[(v >> 12) & 63];
    chunk[used++] = left > 1 ? BASE64_ALPHABET[(v >> 6) & 63] : '=';
    chunk[used++] = left > 2 ? BASE64_ALPHABET[v & 63] : '=';
    if (used == sizeof chunk) {
      sb_putn(out, chunk, used);
      used = 0;
    }
  }
  sb_putn(out, chunk, used);
}
