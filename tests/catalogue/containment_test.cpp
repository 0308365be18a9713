// SPDX-License-Identifier: MIT
// The containment rule in isolation: the three text refusals side by side, and the one
// test of a canonical path against a folder root and a single-file root.
#include <gtest/gtest.h>

#include <string>

#include "catalogue/containment.h"

namespace {

struct refusal_case {
  const char* text;
  bool dotdot, dotdot_or_lead_sep, dotdot_absolute_or_backslash;
};
const refusal_case REFUSALS[] = {
    {"Movies/a.mkv", false, false, false},
    {"Movies/../x", true, true, true},
    {"Movies/a..b.mkv", true, true, true},
    {"/etc", false, true, true},
    {"\\x", false, true, true},
    {"Movies\\x", false, false, true},
    {"C:x", false, false, true},
    {"c:/x", false, false, true},
    {"", false, false, false},
};

TEST(text_refusals, differ_only_where_their_requests_do) {
  for (const auto& c : REFUSALS) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(has_dotdot(c.text), c.dotdot);
    EXPECT_EQ(has_dotdot_or_lead_sep(c.text), c.dotdot_or_lead_sep);
    EXPECT_EQ(has_dotdot_absolute_or_backslash(c.text), c.dotdot_absolute_or_backslash);
  }
}

struct contained_case {
  const char* candidate;
  const char* root;
  bool root_is_file;
  bool want;
};
const contained_case CONTAINED[] = {
    {"/srv/Movies", "/srv/Movies", false, true},
    {"/srv/Movies/a.mkv", "/srv/Movies", false, true},
    {"/srv/Movies/Sub/b.mkv", "/srv/Movies", false, true},
    {"/srv/Movies2/x.mkv", "/srv/Movies", false, false},
    {"/srv/x.mkv", "/srv/Movies", false, false},
    {"/srv/a.mkv", "/srv/", false, true},
    {"/srv/clip.mp4", "/srv/clip.mp4", true, true},
    {"/srv/clip.mp4/x", "/srv/clip.mp4", true, false},
    {"/srv/clip.mp4.srt", "/srv/clip.mp4", true, false},
    {"/srv/other.mp4", "/srv/clip.mp4", true, false},
};

TEST(path_contained, folder_roots_hold_what_lies_below_and_file_roots_only_their_file) {
  for (const auto& c : CONTAINED) {
    SCOPED_TRACE(std::string(c.candidate) + " in " + c.root);
    EXPECT_EQ(path_contained(c.candidate, c.root, c.root_is_file), c.want);
  }
}

}  // namespace
