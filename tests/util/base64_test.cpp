// SPDX-License-Identifier: MIT
// Base64: the RFC 4648 vectors, and an input longer than one internal chunk.
#include <gtest/gtest.h>

#include <string>

#include "support/expected.h"
#include "support/fixture.h"
#include "util/base64.h"
#include "util/strbuf.h"

namespace {

// What base64_put appends for `bytes`.
std::string put_base64(const std::string& bytes) {
  strbuf sb;
  base64_put(&sb, bytes.data(), bytes.size());
  return sb_text(&sb);
}

}  // namespace

TEST(base64_put, rfc_4648_vectors) {
  struct vector_case {
    std::string in;
    const char* out;
  };
  const vector_case CASES[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"abc", "YWJj"},
      {std::string("\x00\xff\xfe", 3), "AP/+"},
      {std::string("\xfb\xff", 2), "+/8="},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(put_base64(c.in), c.out);
  }
}

TEST(base64_put, long_input_has_no_line_breaks) {
  // Longer than one internal chunk, and not a multiple of three.
  const std::string bytes = pattern_bytes(0, 3 * 1000 + 2);
  const std::string out = put_base64(bytes);
  ASSERT_EQ(out.size(), 4u * 1001);
  EXPECT_EQ(out.find('\n'), std::string::npos);
  EXPECT_EQ(out.substr(0, 8), base64(bytes.substr(0, 6)));
  EXPECT_EQ(out.substr(out.size() - 4), base64(bytes.substr(bytes.size() - 2)));
  EXPECT_EQ(out.substr(4 * 341, 4), base64(bytes.substr(3 * 341, 3)));
}
