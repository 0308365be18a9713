// SPDX-License-Identifier: MIT
// The frame builders a host uses without a connection: the payload of a Read, the
// argument bytes of a SeekRead, and the action names.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "server/vorn3s.h"

namespace {

std::string bytes_of(const std::vector<uint8_t>& v, size_t n) {
  return std::string(reinterpret_cast<const char*>(v.data()), n);
}

void expect_error(int code, const char* message) {
  EXPECT_EQ(vorn3s_last_code(), code);
  EXPECT_STREQ(vorn3s_last_error(), message);
}

}  // namespace

TEST(frame_read_bytes, copies_what_the_source_has_and_zero_fills_the_rest) {
  const uint8_t src[] = {0x41, 0x42, 0x43};
  struct fill_case {
    const uint8_t* src;
    int32_t src_len;
    uint32_t count;
    std::string want;
  };
  const fill_case CASES[] = {
      {src, 3, 5, std::string("ABC\0\0", 5)},
      {src, 3, 2, "AB"},
      {src, 3, 3, "ABC"},
      {nullptr, 3, 4, std::string(4, '\0')},
      {src, -1, 3, std::string(3, '\0')},
      {src, INT32_MIN, 2, std::string(2, '\0')},
      {src, 0, 2, std::string(2, '\0')},
      {src, 3, 0, ""},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.count);
    std::vector<uint8_t> out(8, 0xEE);
    EXPECT_EQ(vorn3s_frame_read_bytes(c.src, c.src_len, c.count, out.data(), 8),
              static_cast<int32_t>(c.count));
    EXPECT_EQ(bytes_of(out, c.count), c.want);
    // Nothing past count is touched.
    EXPECT_EQ(bytes_of(out, 8).substr(c.count), std::string(8 - c.count, '\xEE'));
  }
  EXPECT_EQ(vorn3s_last_code(), 0);
}

// The output checks come first: a count both too large for the buffer and above max_read
// is an "outlen" refusal.
TEST(frame_read_bytes, refusals_in_order_and_nothing_written) {
  const uint8_t src[] = {1, 2, 3};
  std::vector<uint8_t> out(16, 0xEE);
  struct refusal {
    uint8_t* out;
    int32_t outlen;
    uint32_t count;
    int code;
    const char* message;
  };
  const refusal CASES[] = {
      {nullptr, 16, 3, VORN3S_EBADARG, "outlen"},
      {out.data(), -1, 0, VORN3S_EBADARG, "outlen"},
      {out.data(), 2, 3, VORN3S_EBADARG, "outlen"},
      {out.data(), 16, 4194305, VORN3S_EBADARG, "outlen"},
      {out.data(), 16, UINT32_MAX, VORN3S_EBADARG, "outlen"},
      {out.data(), INT32_MAX, 4194305, VORN3S_ELIMIT, "count"},
      {out.data(), INT32_MAX, UINT32_MAX, VORN3S_EBADARG, "outlen"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.count);
    EXPECT_EQ(vorn3s_frame_read_bytes(src, 3, c.count, c.out, c.outlen), c.code);
    expect_error(c.code, c.message);
  }
  EXPECT_EQ(bytes_of(out, 16), std::string(16, '\xEE'));
}

TEST(frame_read_bytes, max_read_is_inclusive_and_read_at_each_call) {
  std::vector<uint8_t> out(4194304, 0xEE);
  EXPECT_EQ(vorn3s_frame_read_bytes(nullptr, 0, 4194304, out.data(), 4194304), 4194304);
  EXPECT_EQ(out.back(), 0);

  ASSERT_EQ(vorn3s_config("max_read", "1024"), 0);
  EXPECT_EQ(vorn3s_frame_read_bytes(nullptr, 0, 1024, out.data(), 4194304), 1024);
  EXPECT_EQ(vorn3s_frame_read_bytes(nullptr, 0, 1025, out.data(), 4194304), VORN3S_ELIMIT);
  expect_error(VORN3S_ELIMIT, "count");
}

TEST(frame_seekread, writes_count_then_offset_big_endian) {
  struct seek_case {
    uint32_t count;
    int64_t offset;
    std::string want;
  };
  const seek_case CASES[] = {
      {1024, 4096, std::string("\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00\x10\x00", 12)},
      {0, 0, std::string(12, '\0')},
      {UINT32_MAX, -1, std::string(12, '\xFF')},
      {0x01020304, 0x05060708090A0B0C, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C"},
      {1, INT64_MIN, std::string("\x00\x00\x00\x01\x80\x00\x00\x00\x00\x00\x00\x00", 12)},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.offset);
    std::vector<uint8_t> out(13, 0xEE);
    EXPECT_EQ(vorn3s_frame_seekread(c.count, c.offset, out.data(), 12), 12);
    EXPECT_EQ(bytes_of(out, 12), c.want);
    EXPECT_EQ(out[12], 0xEE);
  }
}

TEST(frame_seekread, short_or_missing_buffer_is_refused_untouched) {
  std::vector<uint8_t> out(12, 0xEE);
  for (int32_t outlen : {11, 0, -1, INT32_MIN}) {
    SCOPED_TRACE(outlen);
    EXPECT_EQ(vorn3s_frame_seekread(1, 2, out.data(), outlen), VORN3S_EBADARG);
    expect_error(VORN3S_EBADARG, "outlen");
  }
  EXPECT_EQ(vorn3s_frame_seekread(1, 2, nullptr, 12), VORN3S_EBADARG);
  expect_error(VORN3S_EBADARG, "outlen");
  EXPECT_EQ(bytes_of(out, 12), std::string(12, '\xEE'));
  // Success leaves the record as it was.
  EXPECT_EQ(vorn3s_frame_seekread(1, 2, out.data(), 100), 12);
  expect_error(VORN3S_EBADARG, "outlen");
}

TEST(frame_action_name, names_every_code_and_nothing_else) {
  struct name_case {
    int32_t code;
    const char* name;
  };
  static const name_case CASES[] = {
      {0, "End"},
      {1, "Size"},
      {2, "Read"},
      {3, "Files"},
      {4, "OpenFile"},
      {5, "Folders"},
      {6, "OpenFolder"},
      {7, "Seek"},
      {8, "Subtitle"},
      {9, "SubFolders"},
      {10, "SeekRead"},
      {3320, "HandShake"},
      {-1, "Unknown"},
      {11, "Unknown"},
      {3319, "Unknown"},
      {3321, "Unknown"},
      {INT32_MIN, "Unknown"},
      {INT32_MAX, "Unknown"},
      {-3320, "Unknown"},
      {static_cast<int32_t>(0xF80C0000u), "Unknown"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.code);
    EXPECT_STREQ(vorn3s_frame_action_name(c.code), c.name);
  }
}
