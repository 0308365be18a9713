// SPDX-License-Identifier: MIT
// The string builder: its growth rule, the two formatting paths, the JSON escape table
// and the text duplicate.
#include "util/strbuf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

TEST(strbuf, untouched_buffer_owns_nothing) {
  strbuf sb;
  sb_init(&sb);
  EXPECT_EQ(sb.buf, nullptr);
  sb_reset(&sb);
  EXPECT_EQ(sb.buf, nullptr);
  EXPECT_EQ(sb.cap, 0u);
  sb_free(&sb);
  EXPECT_EQ(sb.buf, nullptr);
  EXPECT_STREQ(sb_text(&sb), "");
}

TEST(strbuf, first_append_allocates_256_even_for_nothing) {
  strbuf sb;
  ASSERT_EQ(sb_putn(&sb, "", 0), 0);
  ASSERT_NE(sb.buf, nullptr);
  EXPECT_EQ(sb.cap, 256u);
  EXPECT_EQ(sb.len, 0u);
  EXPECT_EQ(sb.buf[0], '\0');

  EXPECT_EQ(sb_puts(&sb, nullptr), 0);
  EXPECT_EQ(sb.len, 0u);
  EXPECT_EQ(sb.cap, 256u);
}

TEST(strbuf, grows_by_doubling_to_one_byte_more_than_needed) {
  strbuf sb;
  const std::string fill(254, 'a');
  ASSERT_EQ(sb_putn(&sb, fill.data(), fill.size()), 0);
  ASSERT_EQ(sb.cap, 256u);
  ASSERT_EQ(sb_putc(&sb, 'b'), 0);  // needs exactly 256: no growth
  EXPECT_EQ(sb.cap, 256u);
  EXPECT_EQ(sb.len, 255u);
  ASSERT_EQ(sb_putc(&sb, 'c'), 0);  // needs 257
  EXPECT_EQ(sb.cap, 512u);
  EXPECT_EQ(sb.len, 256u);
  EXPECT_EQ(std::string(sb.buf), fill + "bc");

  struct grow_case {
    size_t first, cap;
  };
  static const grow_case CASES[] = {
      {254, 256}, {255, 512}, {300, 512}, {510, 512}, {511, 1024}, {1023, 2048}, {5000, 8192},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.first);
    strbuf s;
    const std::string bytes(c.first, 'x');
    ASSERT_EQ(sb_putn(&s, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(s.cap, c.cap);
    EXPECT_EQ(s.len, c.first);
    EXPECT_EQ(s.buf[s.len], '\0');
  }
}

TEST(strbuf, putc_takes_the_low_byte_and_putn_copies_zero_bytes) {
  strbuf sb;
  ASSERT_EQ(sb_putc(&sb, 0x141), 0);
  ASSERT_EQ(sb_putn(&sb, "x\0y", 3), 0);
  ASSERT_EQ(sb.len, 4u);
  EXPECT_EQ(std::string(sb.buf, sb.len), std::string("Ax\0y", 4));
  EXPECT_EQ(sb.buf[4], '\0');
}

TEST(strbuf, reset_reuses_the_storage) {
  strbuf sb;
  const std::string big(600, 'q');
  ASSERT_EQ(sb_puts(&sb, big.c_str()), 0);
  char* const storage = sb.buf;
  const size_t cap = sb.cap;
  sb_reset(&sb);
  EXPECT_EQ(sb.len, 0u);
  EXPECT_EQ(sb.cap, cap);
  EXPECT_STREQ(sb.buf, "");
  ASSERT_EQ(sb_puts(&sb, "new"), 0);
  EXPECT_EQ(sb.buf, storage);
  EXPECT_STREQ(sb.buf, "new");

  sb_free(&sb);
  EXPECT_EQ(sb.buf, nullptr);
  EXPECT_EQ(sb.len, 0u);
  EXPECT_EQ(sb.cap, 0u);
  ASSERT_EQ(sb_puts(&sb, "again"), 0);  // usable after free
  EXPECT_STREQ(sb.buf, "again");
}

// Sizes whose sum with the present length wraps around must fail without touching the
// buffer instead of copying past it.
TEST(strbuf, impossible_sizes_fail_and_leave_the_buffer_as_it_was) {
  for (size_t start : {size_t{0}, size_t{3}}) {
    static const size_t SIZES[] = {SIZE_MAX, SIZE_MAX - 1, SIZE_MAX - 2, SIZE_MAX / 2 + 10};
    for (size_t n : SIZES) {
      SCOPED_TRACE(testing::Message() << "len " << start << " n " << n);
      strbuf sb;
      if (start) {
        ASSERT_EQ(sb_puts(&sb, "abc"), 0);
      }
      char* const storage = sb.buf;
      const size_t cap = sb.cap;
      EXPECT_EQ(sb_putn(&sb, "z", n), -1);
      EXPECT_EQ(sb.buf, storage);
      EXPECT_EQ(sb.len, start);
      EXPECT_EQ(sb.cap, cap);
      ASSERT_EQ(sb_putc(&sb, '!'), 0);  // no sticky failure
      EXPECT_STREQ(sb.buf, start ? "abc!" : "!");
    }
  }
}

TEST(strbuf, printf_short_and_long_pieces_give_the_same_text) {
  for (size_t width : {size_t{1}, size_t{255}, size_t{256}, size_t{1000}}) {
    SCOPED_TRACE(width);
    strbuf sb;
    ASSERT_EQ(sb_puts(&sb, "<"), 0);
    const std::string body(width - 1, 'k');
    ASSERT_EQ(sb_printf(&sb, "%s%d", body.c_str(), 7), 0);
    EXPECT_EQ(std::string(sb.buf, sb.len), "<" + body + "7");
    EXPECT_EQ(sb.len, width + 1);
  }
  strbuf sb;
  ASSERT_EQ(sb_printf(&sb, "%s", ""), 0);
  EXPECT_EQ(sb.len, 0u);
  ASSERT_EQ(sb_printf(&sb, "%lld/%05.1f/%x", -12LL, 3.5, 255u), 0);
  EXPECT_STREQ(sb.buf, "-12/003.5/ff");
}

TEST(json_put_string, escape_table) {
  struct esc_case {
    const char* in;
    const char* out;
  };
  static const esc_case CASES[] = {
      {"", "\"\""},
      {"plain text", "\"plain text\""},
      {"\"", "\"\\\"\""},
      {"\\", "\"\\\\\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {"\x01", "\"\\u0001\""},
      {"\x0b", "\"\\u000b\""},
      {"\x1b", "\"\\u001b\""},
      {"\x1f", "\"\\u001f\""},
      {"\x7f", "\"\x7f\""},
      {" ", "\" \""},
      {"a/b", "\"a/b\""},
      {"caf\xc3\xa9 \xe6\x97\xa5", "\"caf\xc3\xa9 \xe6\x97\xa5\""},
      {"\xff\x80", "\"\xff\x80\""},  // not checked, not repaired
      {"x\"y\\z\tw\x01\x7f", "\"x\\\"y\\\\z\\tw\\u0001\x7f\""},
      {"C:\\dir\\\"q\".srt", "\"C:\\\\dir\\\\\\\"q\\\".srt\""},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.in);
    strbuf sb;
    ASSERT_EQ(json_put_string(&sb, c.in), 0);
    EXPECT_EQ(std::string(sb.buf, sb.len), c.out);
  }
}

TEST(json_put_string, null_writes_an_empty_string_and_appends_after_what_is_there) {
  strbuf sb;
  ASSERT_EQ(sb_puts(&sb, "{\"a\":"), 0);
  ASSERT_EQ(json_put_string(&sb, nullptr), 0);
  ASSERT_EQ(sb_putc(&sb, ','), 0);
  ASSERT_EQ(json_put_string(&sb, "b"), 0);
  EXPECT_STREQ(sb.buf, "{\"a\":\"\",\"b\"");
}

TEST(json_put_string, long_text_crossing_growth_boundaries) {
  // Escapes spread over several growths must land in order.
  std::string in;
  std::string want = "\"";
  for (int i = 0; i < 400; i++) {
    in += "ab\"\x02";
    want += "ab\\\"\\u0002";
  }
  want += "\"";
  strbuf sb;
  ASSERT_EQ(json_put_string(&sb, in.c_str()), 0);
  EXPECT_EQ(std::string(sb.buf, sb.len), want);
}

TEST(x_strdup, copies_into_a_new_block) {
  EXPECT_EQ(x_strdup(nullptr), nullptr);
  const char empty[] = "";
  text_ptr e(x_strdup(empty));
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e.get(), empty);
  EXPECT_EQ(e.get()[0], '\0');
  const char text[] = "Movies/film.mkv";
  text_ptr t(x_strdup(text));
  ASSERT_NE(t, nullptr);
  EXPECT_NE(t.get(), text);
  EXPECT_STREQ(t.get(), text);
}
