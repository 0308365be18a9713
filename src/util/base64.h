// Base64 as the subtitle records carry it: RFC 4648, padded, no line breaks.
#pragma once

#include <cstddef>

#include "util/strbuf.h"

// Appends the Base64 of `n` bytes to `out`.
void base64_put(strbuf* out, const void* bytes, size_t n);
