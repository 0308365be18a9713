// SPDX-License-Identifier: MIT
// The last-error record and the result buffer, with the two exported functions that read
// the record.
#include "server/results.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "server/vorn3s.h"

static std::atomic<int> s_error_code{0};
static char s_error[1024];
static char s_result[RESULT_CAP];

void set_error(int code, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(s_error, sizeof s_error, format, ap);
  va_end(ap);
  s_error_code.store(code);
}

const char* result_store(std::string_view text) {
  const size_t n = text.size() < RESULT_CAP - 1 ? text.size() : RESULT_CAP - 1;
  std::memmove(s_result, text.data(), n);
  s_result[n] = '\0';
  return s_result;
}

extern "C" int vorn3s_last_code() noexcept { return s_error_code.load(); }

extern "C" const char* vorn3s_last_error() noexcept { return s_error; }
