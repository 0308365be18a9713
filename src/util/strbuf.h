// SPDX-License-Identifier: MIT
// The growable text buffer every JSON reply is built in, the JSON string writer, and the
// one text-duplication operation. Appends return 0, or -1 when memory runs out; a failed
// append leaves the buffer exactly as it was.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

struct strbuf {
  char* buf = nullptr;  // null until the first append; else always terminated
  size_t len = 0;       // bytes of text, terminator not counted
  size_t cap = 0;       // bytes allocated at buf

  strbuf() = default;
  ~strbuf();  // releases the storage, as sb_free does
  strbuf(const strbuf&) = delete;
  strbuf& operator=(const strbuf&) = delete;
};

void sb_init(strbuf* sb);
void sb_free(strbuf* sb);
int sb_putc(strbuf* sb, int c);
int sb_putn(strbuf* sb, const void* bytes, size_t n);
int sb_puts(strbuf* sb, const char* text);  // null appends nothing
int sb_printf(strbuf* sb, const char* format, ...) __attribute__((format(printf, 2, 3)));
void sb_reset(strbuf* sb);  // empties the text, keeps the storage
// The text, or "" while nothing is allocated.
inline const char* sb_text(const strbuf* sb) { return sb->buf ? sb->buf : ""; }

// Appends `text` as a JSON string literal with its quotes; null is written as "".
int json_put_string(strbuf* sb, const char* text);

// A malloc'ed copy of `text` that the caller frees; null for null or when memory ran out.
char* x_strdup(const char* text);

// Owns a malloc'ed text for the life of a scope.
struct c_free {
  void operator()(void* p) const { std::free(p); }
};
using text_ptr = std::unique_ptr<char, c_free>;
