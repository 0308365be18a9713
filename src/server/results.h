// SPDX-License-Identifier: MIT
// How the exported functions report: the last-error record that vorn3s_last_code and
// vorn3s_last_error read, the shared result buffer of the JSON queries, and the guard
// that keeps exceptions inside.
#pragma once

#include <cstddef>
#include <string_view>

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
