// SPDX-License-Identifier: MIT
// Settings by key and value: what each key accepts and refuses, and that a refusal
// changes nothing but the last-error record.
#include <gtest/gtest.h>

#include <string>

#include "server/settings.h"
#include "server/vorn3s.h"

namespace {

const std::string DEFAULT_HANDSHAKE = R"({"Version":3,"Platform":"quorvane-c"})";

struct numeric_case {
  const char* key;
  std::atomic<int32_t> settings::*field;
  int32_t initial, low, high;
};

const numeric_case NUMERIC[] = {
    {"idle_timeout_ms", &settings::idle_timeout_ms, 120000, 1000, 3600000},
    {"read_timeout_ms", &settings::read_timeout_ms, 30000, 1000, 3600000},
    {"max_string", &settings::max_string, 65536, 256, 1048576},
    {"max_read", &settings::max_read, 4194304, 1024, 67108864},
    {"sub_max_bytes", &settings::sub_max_bytes, 8388608, 1024, 67108864},
    {"max_connections", &settings::max_connections, 512, 1, 65536},
};

int32_t field_of(const numeric_case& c) { return (G_CFG.*c.field).load(); }

void expect_refused(const char* key, const char* value, const char* message) {
  EXPECT_EQ(vorn3s_config(key, value), VORN3S_EBADARG);
  EXPECT_EQ(vorn3s_last_code(), VORN3S_EBADARG);
  EXPECT_STREQ(vorn3s_last_error(), message);
}

}  // namespace

TEST(settings, start_with_an_empty_error_record_and_the_default_handshake) {
  EXPECT_EQ(vorn3s_last_code(), 0);
  EXPECT_STREQ(vorn3s_last_error(), "");
  EXPECT_EQ(vorn3s_handshake_json(), DEFAULT_HANDSHAKE);
  EXPECT_STREQ(vorn3s_version(), "1.0.0");
  for (const auto& c : NUMERIC) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(field_of(c), c.initial);
  }
  EXPECT_EQ(G_CFG.action_byteorder.load(), 0);
}

TEST(settings, numeric_keys_accept_both_ends_and_refuse_one_past) {
  for (const auto& c : NUMERIC) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(vorn3s_config(c.key, std::to_string(c.high).c_str()), 0);
    EXPECT_EQ(field_of(c), c.high);
    EXPECT_EQ(vorn3s_config(c.key, std::to_string(c.low).c_str()), 0);
    EXPECT_EQ(field_of(c), c.low);

    expect_refused(c.key, std::to_string(c.low - 1).c_str(), "out of range");
    expect_refused(c.key, std::to_string(c.high + 1).c_str(), "out of range");
    EXPECT_EQ(field_of(c), c.low);

    EXPECT_EQ(vorn3s_config(c.key, ""), 0);
    EXPECT_EQ(field_of(c), c.initial);
    ASSERT_EQ(vorn3s_config(c.key, std::to_string(c.high).c_str()), 0);
    EXPECT_EQ(vorn3s_config(c.key, nullptr), 0);
    EXPECT_EQ(field_of(c), c.initial);
  }
}

// Values are read as atol reads them: leading white space, a sign, digits up to the first
// other byte. Numbers beyond 32 bits must never wrap into the range.
TEST(settings, numeric_values_are_read_like_atol_without_wrapping) {
  struct value_case {
    const char* value;
    int32_t stored;  // 0: refused
  };
  static const value_case CASES[] = {
      {"5000ms", 5000},
      {" 2000", 2000},
      {"\t3000", 3000},
      {"+4000", 4000},
      {"abc", 0},
      {"12abc", 0},
      {"-5", 0},
      {"-5000", 0},
      {" ", 0},
      {"ms5000", 0},
      {"4294972296", 0},            // 2^32 + 5000
      {"18446744073709556616", 0},  // 2^64 + 5000
      {"99999999999999999999999999", 0},
      {"-4294962296", 0},  // -(2^32) + 5000
  };
  const numeric_case& idle = NUMERIC[0];
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.value);
    ASSERT_EQ(vorn3s_config(idle.key, "7777"), 0);
    if (c.stored) {
      EXPECT_EQ(vorn3s_config(idle.key, c.value), 0);
      EXPECT_EQ(field_of(idle), c.stored);
    } else {
      expect_refused(idle.key, c.value, "out of range");
      EXPECT_EQ(field_of(idle), 7777);
    }
  }
}

TEST(settings, byte_order_takes_three_words_exactly) {
  struct order_case {
    const char* value;
    int32_t stored;  // -1: refused
  };
  static const order_case CASES[] = {
      {"big", 1},  {"little", 2}, {"auto", 0},  {nullptr, 0},  {"", -1},
      {"BIG", -1}, {"auto ", -1}, {" big", -1}, {"littl", -1}, {"0", -1},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.value ? c.value : "(null)");
    ASSERT_EQ(vorn3s_config("action_byteorder", "little"), 0);
    if (c.stored >= 0) {
      EXPECT_EQ(vorn3s_config("action_byteorder", c.value), 0);
      EXPECT_EQ(G_CFG.action_byteorder.load(), c.stored);
    } else {
      expect_refused("action_byteorder", c.value, "auto|big|little");
      EXPECT_EQ(G_CFG.action_byteorder.load(), 2);
    }
  }
}

TEST(settings, keys_are_required_and_matched_exactly) {
  expect_refused(nullptr, "1", "key required");
  expect_refused("", "1", "key required");
  static const char* const UNKNOWN[] = {"Platform", " platform", "platform ", "max_read_", "x"};
  for (const char* key : UNKNOWN) {
    SCOPED_TRACE(key);
    expect_refused(key, "5000", "unknown key");
  }
  EXPECT_EQ(vorn3s_handshake_json(), DEFAULT_HANDSHAKE);
}

TEST(settings, platform_is_kept_to_63_bytes_and_restored_when_empty) {
  ASSERT_EQ(vorn3s_config("platform", "abc"), 0);
  EXPECT_STREQ(vorn3s_handshake_json(), R"({"Version":3,"Platform":"abc"})");

  const std::string long_name(100, 'p');
  ASSERT_EQ(vorn3s_config("platform", long_name.c_str()), 0);
  EXPECT_EQ(vorn3s_handshake_json(), R"({"Version":3,"Platform":")" + long_name.substr(0, 63) + R"("})");

  std::string exact;
  for (int i = 0; i < 63; i++) exact += static_cast<char>('a' + i % 26);
  ASSERT_EQ(vorn3s_config("platform", exact.c_str()), 0);
  EXPECT_EQ(vorn3s_handshake_json(), R"({"Version":3,"Platform":")" + exact + R"("})");
  ASSERT_EQ(vorn3s_config("platform", (exact + "Z").c_str()), 0);
  EXPECT_EQ(vorn3s_handshake_json(), R"({"Version":3,"Platform":")" + exact + R"("})");

  ASSERT_EQ(vorn3s_config("platform", ""), 0);
  EXPECT_EQ(vorn3s_handshake_json(), DEFAULT_HANDSHAKE);
  ASSERT_EQ(vorn3s_config("platform", "x"), 0);
  ASSERT_EQ(vorn3s_config("platform", nullptr), 0);
  EXPECT_EQ(vorn3s_handshake_json(), DEFAULT_HANDSHAKE);
}

// The platform goes into the handshake as it is, without escaping.
TEST(settings, platform_is_inserted_unescaped) {
  ASSERT_EQ(vorn3s_config("platform", R"(a"b\c)"), 0);
  EXPECT_STREQ(vorn3s_handshake_json(), R"({"Version":3,"Platform":"a"b\c"})");
}

TEST(settings, success_leaves_the_error_record_as_it_was) {
  expect_refused("max_string", "255", "out of range");
  EXPECT_EQ(vorn3s_config("max_string", "256"), 0);
  EXPECT_EQ(vorn3s_config("platform", "p"), 0);
  EXPECT_EQ(vorn3s_config("action_byteorder", "big"), 0);
  (void)vorn3s_handshake_json();
  EXPECT_EQ(vorn3s_last_code(), VORN3S_EBADARG);
  EXPECT_STREQ(vorn3s_last_error(), "out of range");
}
