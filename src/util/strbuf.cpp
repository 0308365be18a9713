// SPDX-License-Identifier: MIT
// The string builder: doubling growth from 256 bytes, printf-style appends that stay on
// the stack for short pieces, and the JSON string escape table.
#include "util/strbuf.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

strbuf::~strbuf() { sb_free(this); }

void sb_init(strbuf* sb) {
  sb->buf = nullptr;
  sb->len = 0;
  sb->cap = 0;
}

void sb_free(strbuf* sb) {
  std::free(sb->buf);
  sb_init(sb);
}

int sb_putn(strbuf* sb, const void* bytes, size_t n) {
  // The growth target is len + n + 2; a size that cannot even be counted must fail here,
  // or the sum would wrap and the copy would run past the storage.
  if (n > SIZE_MAX - 2 - sb->len) return -1;
  const size_t need = sb->len + n + 1;
  if (sb->cap < need) {
    // Grow to one byte more than needed, by doubling from 256.
    size_t cap = sb->cap ? sb->cap : 256;
    while (cap < need + 1) {
      if (cap > SIZE_MAX / 2) return -1;
      cap *= 2;
    }
    void* grown = std::realloc(sb->buf, cap);
    if (!grown) return -1;
    sb->buf = static_cast<char*>(grown);
    sb->cap = cap;
  }
  if (n) std::memcpy(sb->buf + sb->len, bytes, n);
  sb->len += n;
  sb->buf[sb->len] = '\0';
  return 0;
}

int sb_putc(strbuf* sb, int c) {
  const char b = static_cast<char>(c & 0xFF);
  return sb_putn(sb, &b, 1);
}

int sb_puts(strbuf* sb, const char* text) {
  if (!text) return 0;
  return sb_putn(sb, text, std::strlen(text));
}

int sb_printf(strbuf* sb, const char* format, ...) {
  char local[256];
  va_list ap;
  va_start(ap, format);
  const int full = std::vsnprintf(local, sizeof local, format, ap);
  va_end(ap);
  if (full < 0) return -1;
  const auto len = static_cast<size_t>(full);
  if (len < sizeof local) return sb_putn(sb, local, len);
  // The piece did not fit on the stack: format once more into a block of its size.
  char* block = static_cast<char*>(std::malloc(len + 1));
  if (!block) return -1;
  va_start(ap, format);
  std::vsnprintf(block, len + 1, format, ap);
  va_end(ap);
  const int r = sb_putn(sb, block, len);
  std::free(block);
  return r;
}

void sb_reset(strbuf* sb) {
  sb->len = 0;
  if (sb->buf) sb->buf[0] = '\0';
}

int json_put_string(strbuf* sb, const char* text) {
  if (!text) return sb_putn(sb, "\"\"", 2);
  if (sb_putc(sb, '"') != 0) return -1;
  // Runs of bytes that need no escape are appended in one piece.
  const char* run = text;
  for (const char* p = text;; p++) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    if (p > run && sb_putn(sb, run, static_cast<size_t>(p - run)) != 0) return -1;
    run = p + 1;
    if (c == 0) break;
    char esc[7] = {'\\', 0, 0, 0, 0, 0, 0};
    size_t n = 2;
    switch (c) {
      case '"': esc[1] = '"'; break;
      case '\\': esc[1] = '\\'; break;
      case '\n': esc[1] = 'n'; break;
      case '\r': esc[1] = 'r'; break;
      case '\t': esc[1] = 't'; break;
      case '\b': esc[1] = 'b'; break;
      case '\f': esc[1] = 'f'; break;
      default: std::snprintf(esc, sizeof esc, "\\u%04x", c); n = 6;
    }
    if (sb_putn(sb, esc, n) != 0) return -1;
  }
  return sb_putc(sb, '"');
}

char* x_strdup(const char* text) {
  if (!text) return nullptr;
  const size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(n));
  if (copy) std::memcpy(copy, text, n);
  return copy;
}
