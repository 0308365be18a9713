// SPDX-License-Identifier: MIT
// The last-error record and the shared result buffer: where their texts are cut.
#include <gtest/gtest.h>

#include <string>

#include "server/vorn3s.h"
#include "support/fixture.h"

TEST(results, messages_are_cut_at_1023_bytes) {
  const std::string missing = "/" + std::string(1023, 'm');  // 1024 bytes, passes the length test
  EXPECT_EQ(vorn3s_add_root(missing.c_str()), VORN3S_ENOTFOUND);
  EXPECT_EQ(vorn3s_last_code(), VORN3S_ENOTFOUND);
  const std::string full = "cannot resolve " + missing;
  EXPECT_EQ(std::string(vorn3s_last_error()), full.substr(0, 1023));
}

// A listing too long for the result buffer comes back cut, still valid as a C text.
TEST(results, result_text_is_cut_at_262143_bytes) {
  temp_tree tree;
  const std::string stem(240, 'n');
  for (int i = 0; i < 520; i++) tree.mkdir("many/" + std::to_string(1000 + i) + stem);
  const char* text = vorn3s_listing_json(tree.path("many").c_str(), "", 0);
  ASSERT_EQ(vorn3s_last_code(), 0) << vorn3s_last_error();
  const std::string got(text);
  EXPECT_EQ(got.size(), 262143u);
  EXPECT_EQ(got.substr(0, 9), R"([{"Name":)");
  EXPECT_NE(got.back(), ']');
}
