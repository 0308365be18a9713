// SPDX-License-Identifier: MIT
// The byte order of action codes: settled once by the first code when the setting leaves
// it open, fixed from the start otherwise; arguments and replies stay big-endian always.
#include <gtest/gtest.h>

#include <string>

#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/fixture.h"
#include "support/test_client.h"

namespace {

const std::string HANDSHAKE_REPLY = R"({"Version":3,"Platform":"quorvane-c"})";

std::string le32(uint32_t v) {
  const std::string b = be32(v);
  return std::string(b.rbegin(), b.rend());
}

// A code in the given order.
std::string code(int32_t c, bool little) {
  return little ? le32(static_cast<uint32_t>(c)) : be32(static_cast<uint32_t>(c));
}

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += s;
  return out;
}

}  // namespace

TEST(byte_order, big_endian_handshake_is_answered_with_a_big_endian_string) {
  test_server srv;
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(c.send_raw(std::string("\x00\x00\x0c\xf8", 4)));
  const auto len = c.recv_exact(4);
  ASSERT_TRUE(len);
  EXPECT_EQ(*len, be32(static_cast<uint32_t>(HANDSHAKE_REPLY.size())));
  EXPECT_EQ(c.recv_exact(HANDSHAKE_REPLY.size()), HANDSHAKE_REPLY);
}

TEST(byte_order, handshake_carries_the_configured_platform) {
  ASSERT_EQ(vorn3s_config("platform", "pc-test"), 0);
  test_server srv;
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), R"({"Version":3,"Platform":"pc-test"})");
}

// A little-endian HandShake fixes little order for every later code, while the integers
// in arguments and replies stay big-endian.
TEST(byte_order, little_endian_handshake_fixes_little_codes_with_big_endian_numbers) {
  temp_tree tree;
  tree.write_size("Movies/clip.mkv", 300);
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));

  ASSERT_TRUE(c.send_raw(std::string("\xf8\x0c\x00\x00", 4)));
  EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);

  ASSERT_TRUE(c.send_raw(code(ACT_SIZE, true)));  // no file yet
  EXPECT_EQ(c.recv_i64(), 0);

  ASSERT_TRUE(c.send_raw(code(ACT_OPENFILE, true)));
  ASSERT_TRUE(c.send_string(R"({"FullName":"Movies/clip.mkv"})"));
  ASSERT_TRUE(c.send_raw(code(ACT_SIZE, true)));
  EXPECT_EQ(c.recv_exact(8), be64(300));

  ASSERT_TRUE(c.send_raw(code(ACT_SEEK, true) + be64(260)));
  ASSERT_TRUE(c.send_raw(code(ACT_READ, true) + be32(5)));
  EXPECT_EQ(c.recv_exact(5), pattern_bytes(260, 5));

  ASSERT_TRUE(c.send_raw(code(ACT_SEEKREAD, true) + be32(3) + be64(1)));
  EXPECT_EQ(c.recv_exact(3), pattern_bytes(1, 3));

  // The big-endian form of a code now means another, unknown code: no answer to it, and
  // the little-endian HandShake after it is the first thing answered.
  ASSERT_TRUE(c.send_raw(code(ACT_HANDSHAKE, false) + code(ACT_HANDSHAKE, true)));
  EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);

  ASSERT_TRUE(c.send_raw(code(ACT_END, true)));
  EXPECT_TRUE(c.closed_by_peer());
}

// Each marker code opens a connection in either order and settles it; the order is then
// checked with a Size and a HandShake that only that order makes known codes.
TEST(byte_order, first_marker_code_settles_the_order) {
  struct order_case {
    const char* what;
    std::string first;  // the code with its argument
    size_t reply_len;   // bytes the first action answers with
    bool little;
  };
  const order_case cases[] = {
      {"big HandShake", code(ACT_HANDSHAKE, false), 4 + HANDSHAKE_REPLY.size(), false},
      {"little HandShake", code(ACT_HANDSHAKE, true), 4 + HANDSHAKE_REPLY.size(), true},
      {"big Seek", code(ACT_SEEK, false) + be64(0), 0, false},
      {"little Seek", code(ACT_SEEK, true) + be64(0), 0, true},
      {"little SeekRead", code(ACT_SEEKREAD, true) + be32(2) + be64(0), 2, true},
      {"little SubFolders", code(ACT_SUBFOLDERS, true) + be32(0), 4 + 2, true},
      {"big SubFolders", code(ACT_SUBFOLDERS, false) + be32(0), 4 + 2, false},
  };
  test_server srv;
  for (const auto& oc : cases) {
    SCOPED_TRACE(oc.what);
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    ASSERT_TRUE(c.send_raw(oc.first));
    if (oc.reply_len) {
      ASSERT_TRUE(c.recv_exact(oc.reply_len));
    }
    ASSERT_TRUE(c.send_raw(code(ACT_SIZE, oc.little) + code(ACT_HANDSHAKE, oc.little)));
    EXPECT_EQ(c.recv_i64(), 0);
    EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);
  }
}

// A first code that is unknown, or an order fixed by the setting, makes the other order's
// codes unknown. The first code counts as one of the fifteen tolerated unknown codes.
TEST(byte_order, unknown_first_code_and_fixed_setting_count_foreign_codes_as_unknown) {
  struct fixed_case {
    const char* setting;
    std::string first;  // unknown in the order that ends up fixed
    bool little;        // the order that ends up fixed
  };
  const fixed_case cases[] = {
      // 01 00 00 00, a little-endian Size, is a marker in neither reading: big is fixed
      // and the code, 2 to the power 24, is unknown.
      {"auto", std::string("\x01\x00\x00\x00", 4), false},
      // With "little", 00 00 0C F8 reads as F80C0000, a negative code.
      {"little", std::string("\x00\x00\x0c\xf8", 4), true},
      {"big", std::string("\xf8\x0c\x00\x00", 4), false},
  };
  for (const auto& fc : cases) {
    SCOPED_TRACE(fc.setting);
    ASSERT_EQ(vorn3s_config("action_byteorder", fc.setting), 0);
    test_server srv;
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    const std::string foreign_handshake = code(ACT_HANDSHAKE, !fc.little);
    ASSERT_TRUE(c.send_raw(fc.first + repeat(foreign_handshake, 14)));
    ASSERT_TRUE(c.send_raw(code(ACT_HANDSHAKE, fc.little)));
    EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);
    // The HandShake did not reset the count: one more unknown code is the sixteenth.
    ASSERT_TRUE(c.send_raw(foreign_handshake));
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST(byte_order, handshake_three_times_gives_three_identical_strings_without_reset) {
  test_server srv;
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  ASSERT_TRUE(c.recv_string());
  ASSERT_TRUE(c.send_raw(repeat(be32(11), 15)));
  ASSERT_TRUE(c.send_raw(repeat(be32(ACT_HANDSHAKE), 3)));
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(i);
    EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);
  }
  ASSERT_TRUE(c.send_code(11));
  EXPECT_TRUE(c.closed_by_peer());
}
