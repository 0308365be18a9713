// SPDX-License-Identifier: MIT
// Bounded path joining and the component split.
#include "util/paths.h"

#include <gtest/gtest.h>

#include <string>

TEST(path_join, joins_pieces_in_order) {
  char out[PATH_CAP];
  ASSERT_TRUE(path_join(out, sizeof out, {"/srv/media", "/", "film.mkv"}));
  EXPECT_STREQ(out, "/srv/media/film.mkv");
  ASSERT_TRUE(path_join(out, sizeof out, {"", "a", "", "b"}));
  EXPECT_STREQ(out, "ab");
  ASSERT_TRUE(path_join(out, sizeof out, {}));
  EXPECT_STREQ(out, "");
}

// A path that does not fit is refused whole, never cut into another name.
TEST(path_join, refuses_what_does_not_fit) {
  struct fit_case {
    size_t cap;
    size_t total;
    bool fits;
  };
  static const fit_case CASES[] = {
      {8, 7, true},
      {8, 8, false},
      {8, 9, false},
      {1, 0, true},
      {1, 1, false},
      {PATH_CAP, PATH_CAP - 1, true},
      {PATH_CAP, PATH_CAP, false},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(testing::Message() << "cap " << c.cap << " total " << c.total);
    const std::string a(c.total / 2, 'a');
    const std::string b(c.total - a.size(), 'b');
    std::string out(c.cap + 4, '#');
    EXPECT_EQ(path_join(out.data(), c.cap, {a, b}), c.fits);
    EXPECT_EQ(std::string(out.c_str()), c.fits ? a + b : "");
    EXPECT_EQ(out[c.cap], '#');
  }
  char none = '#';
  EXPECT_FALSE(path_join(&none, 0, {"x"}));
  EXPECT_EQ(none, '#');
}

TEST(path_parts, final_component_and_folder_part) {
  struct part_case {
    const char* path;
    const char* final_part;
    const char* folder;
  };
  static const part_case CASES[] = {
      {"Movies/film.mkv", "film.mkv", "Movies/"},
      {"Movies/Sub/film.mkv", "film.mkv", "Movies/Sub/"},
      {"film.mkv", "film.mkv", ""},
      {"dir\\film.mkv", "film.mkv", "dir\\"},
      {"a/b\\c", "c", "a/b\\"},
      {"Movies/", "", "Movies/"},
      {"/", "", "/"},
      {"", "", ""},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(final_component(c.path), c.final_part);
    EXPECT_EQ(folder_part(c.path), c.folder);
  }
}
