// SPDX-License-Identifier: MIT
// Base64 as the subtitle records carry it: RFC 4648, padded, no line breaks.
#pragma once

#include <cstddef>

#include "util/strbuf.h"

// The length of the Base64 of `n` bytes: four characters for every three, padding
// included.
constexpr size_t base64_len(size_t n) { return (n + 2) / 3 * 4; }

// Appends the Base64 of `n` bytes to `out`.
void base64_put(strbuf* out, const void* bytes, size_t n);
