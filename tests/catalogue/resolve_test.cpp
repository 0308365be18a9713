// SPDX-License-Identifier: MIT
// Identifiers against the roots table: splitting, the order in which roots are tried, the
// kind asked for, and links that stay inside or lead out of a root.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "catalogue/resolve.h"
#include "server/roots.h"
#include "server/vorn3s.h"
#include "support/fixture.h"
#include "support/outcome.h"

namespace {

// resolve_id on the process's table; a failure must leave no path and index -1.
outcome resolve(const std::string& id, int want_dir) {
  char* path = reinterpret_cast<char*>(1);
  int index = 7;
  const int code = resolve_id(roots_get(), id.c_str(), want_dir, &path, &index);
  return resolution(code, path, index);
}

int add_root(const std::string& path) {
  const int index = vorn3s_add_root(path.c_str());
  EXPECT_GE(index, 0) << path << ": " << vorn3s_last_error();
  return index;
}

}  // namespace

TEST(id_split, splits_at_the_first_slash) {
  struct split_case {
    const char* id;
    const char* root_name;
    const char* rel;
  };
  static const split_case CASES[] = {
      {"Movies", "Movies", ""},
      {"Movies/", "Movies", ""},
      {"Movies/Sub/clip.mkv", "Movies", "Sub/clip.mkv"},
      {"Movies//x", "Movies", "/x"},
      {"/x", "", "x"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.id);
    char root_name[ROOT_NAME_CAP];
    char rel[REL_CAP];
    ASSERT_EQ(id_split(c.id, root_name, rel), 0);
    EXPECT_STREQ(root_name, c.root_name);
    EXPECT_STREQ(rel, c.rel);
  }
}

TEST(id_split, refuses_parts_too_long_for_their_buffers) {
  struct length_case {
    std::string id;
    int want;
    size_t root_len;
    size_t rel_len;
  };
  const length_case CASES[] = {
      {"", -1, 0, 0},
      {std::string(255, 'n'), 0, 255, 0},
      {std::string(256, 'n'), -1, 0, 0},
      {std::string(255, 'n') + "/x", 0, 255, 1},
      {std::string(256, 'n') + "/x", -1, 0, 0},
      {"Movies/" + std::string(1023, 'r'), 0, 6, 1023},
      {"Movies/" + std::string(1024, 'r'), -1, 0, 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.id.size());
    char root_name[ROOT_NAME_CAP];
    char rel[REL_CAP];
    EXPECT_EQ(id_split(c.id.c_str(), root_name, rel), c.want);
    if (c.want == 0) {
      EXPECT_EQ(std::string(root_name).size(), c.root_len);
      EXPECT_EQ(std::string(rel).size(), c.rel_len);
    }
  }
}

TEST(resolve_id, empty_table_finds_nothing) {
  EXPECT_EQ(resolve("Movies", 1).code, VORN3S_ENOTFOUND);
  EXPECT_EQ(resolve("Movies/a.mkv", 0).code, VORN3S_ENOTFOUND);
}

TEST(resolve_id, missing_or_overlong_ids) {
  temp_tree t;
  t.mkdir("Movies");
  add_root(t.path("Movies"));
  EXPECT_EQ(resolve("", 1).code, VORN3S_EBADARG);
  char* path = nullptr;
  int index = 0;
  EXPECT_EQ(resolve_id(roots_get(), nullptr, 1, &path, &index), -1);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(index, -1);

  // The length test comes first: an overlong ID is -6 even when it also holds "..".
  EXPECT_EQ(resolve("Movies/" + std::string(1194, 'x'), 0).code, VORN3S_ELIMIT);
  EXPECT_EQ(resolve("Movies/../" + std::string(1191, 'x'), 0).code, VORN3S_ELIMIT);
  // 1200 bytes split into parts that fit: looked up, and simply not there.
  EXPECT_EQ(resolve(std::string(200, 'n') + "/" + std::string(999, 'x'), 0).code, VORN3S_ENOTFOUND);
  EXPECT_EQ(resolve(std::string(256, 'n') + "/a.mkv", 0).code, VORN3S_EBADARG);
  EXPECT_EQ(resolve("Movies/" + std::string(1024, 'x'), 0).code, VORN3S_EBADARG);
}

TEST(resolve_id, root_alone_and_entries_inside_it) {
  temp_tree t;
  t.write("Movies/Sub/clip.mkv", "c");
  t.write("Movies/a.mkv", "a");
  add_root(t.path("Movies"));

  struct ok_case {
    const char* id;
    int want_dir;
    std::string path;
  };
  const ok_case CASES[] = {
      {"Movies", 1, t.path("Movies")},
      {"Movies/", 1, t.path("Movies")},
      {"Movies/Sub", 1, t.path("Movies/Sub")},
      {"Movies/Sub/clip.mkv", 0, t.path("Movies/Sub/clip.mkv")},
      {"Movies/a.mkv", 0, t.path("Movies/a.mkv")},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.id);
    const outcome r = resolve(c.id, c.want_dir);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.path, c.path);
    EXPECT_EQ(r.index, 0);
  }
}

TEST(resolve_id, a_fifo_is_neither_file_nor_folder) {
  SKIP_ON_WINDOWS(NEEDS_FIFOS);
  temp_tree t;
  t.mkdir("Movies");
  t.fifo("Movies/pipe.mkv");
  add_root(t.path("Movies"));
  EXPECT_EQ(resolve("Movies/pipe.mkv", 0).code, VORN3S_ENOTFOUND);  // only a regular file is a file
  EXPECT_EQ(resolve("Movies/pipe.mkv", 1).code, VORN3S_ENOTFOUND);
}

TEST(resolve_id, wrong_kind_fails_that_root_only) {
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  t.mkdir("Movies/Sub");
  t.mkdir("Films/a.mkv");  // a folder where Movies has a file
  t.write("Films/Sub", "s");
  t.write("clip.mp4", "c");
  add_root(t.path("Movies"));
  add_root(t.path("Films"));

  // Movies' a.mkv is a file, so asking for a folder goes on to Films.
  outcome r = resolve("Movies/a.mkv", 1);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.path, t.path("Films/a.mkv"));
  EXPECT_EQ(r.index, 1);
  r = resolve("Movies/Sub", 0);
  EXPECT_EQ(r.path, t.path("Films/Sub"));
  EXPECT_EQ(r.index, 1);
  r = resolve("Films/Sub", 1);
  EXPECT_EQ(r.path, t.path("Movies/Sub"));
  EXPECT_EQ(r.index, 0);

  // A root name alone asking for a file: the first live root that is a file.
  EXPECT_EQ(resolve("Movies", 0).code, VORN3S_ENOTFOUND);
  add_root(t.path("clip.mp4"));
  r = resolve("Movies", 0);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.path, t.path("clip.mp4"));
  EXPECT_EQ(r.index, 2);
  r = resolve("clip.mp4", 1);  // and a file root's name asking for a folder
  EXPECT_EQ(r.path, t.path("Movies"));
  EXPECT_EQ(r.index, 0);
}

TEST(resolve_id, named_root_first_then_table_order) {
  temp_tree t;
  t.write("Movies/same.mkv", "m");
  t.write("Films/same.mkv", "f");
  t.write("Films/a.mkv", "a");
  add_root(t.path("Movies"));
  add_root(t.path("Films"));

  struct order_case {
    const char* id;
    std::string path;
    int index;
  };
  const order_case CASES[] = {
      {"Films/same.mkv", t.path("Films/same.mkv"), 1}, {"Movies/same.mkv", t.path("Movies/same.mkv"), 0},
      {"Gone/same.mkv", t.path("Movies/same.mkv"), 0}, {"Gone/a.mkv", t.path("Films/a.mkv"), 1},
      {"Movies/a.mkv", t.path("Films/a.mkv"), 1},      {"Gone", t.path("Movies"), 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.id);
    const outcome r = resolve(c.id, c.id == std::string("Gone") ? 1 : 0);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.path, c.path);
    EXPECT_EQ(r.index, c.index);
  }
}

TEST(resolve_id, removed_root_matches_nothing) {
  temp_tree t;
  t.write("Movies/same.mkv", "m");
  t.write("Films/same.mkv", "f");
  t.write("Films/only.mkv", "o");
  add_root(t.path("Movies"));
  add_root(t.path("Films"));
  ASSERT_EQ(vorn3s_remove_root(t.path("Films").c_str()), 0);

  EXPECT_EQ(resolve("Films/only.mkv", 0).code, VORN3S_ENOTFOUND);
  const outcome r = resolve("Films/same.mkv", 0);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.path, t.path("Movies/same.mkv"));
  EXPECT_EQ(r.index, 0);
  EXPECT_EQ(resolve("Films", 1).index, 0);

  ASSERT_EQ(vorn3s_remove_root(t.path("Movies").c_str()), 0);
  EXPECT_EQ(resolve("Movies", 1).code, VORN3S_ENOTFOUND);  // no live root left
}

TEST(resolve_id, links_inside_the_root_are_followed) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  t.write("Movies/Sub/clip.mkv", "c");
  t.symlink("Sub", "Movies/inlink");
  t.symlink("Sub/clip.mkv", "Movies/clip-link.mkv");
  add_root(t.path("Movies"));

  outcome r = resolve("Movies/inlink/clip.mkv", 0);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.path, t.path("Movies/Sub/clip.mkv"));
  r = resolve("Movies/inlink", 1);
  EXPECT_EQ(r.path, t.path("Movies/Sub"));
  r = resolve("Movies/clip-link.mkv", 0);
  EXPECT_EQ(r.path, t.path("Movies/Sub/clip.mkv"));
}

TEST(resolve_id, root_path_ending_in_a_separator_joins_without_doubling) {
  // The file-system root is the one canonical path that ends with a separator: "/", or a
  // drive's top folder such as "C:\" on Windows.
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  const std::string top = ON_WINDOWS ? t.root.substr(0, 3) : "/";
  add_root(top);
  std::string rel = t.path("Movies/a.mkv").substr(top.size());
  for (auto& c : rel) {
    if (c == '\\') c = '/';  // an ID separates with "/" alone
  }
  const outcome r = resolve("x/" + rel, 0);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.path, t.path("Movies/a.mkv"));
  EXPECT_EQ(r.index, 0);
}

TEST(vorn3s_resolve, every_outcome_with_its_message) {
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  t.mkdir("Movies/Sub");
  t.write("clip.mp4", "c");
  const std::string root = t.path("Movies");
  const std::string longer(1201, 'x');
  const std::string other_form = root + "/./Sub/..";
  const std::string file_root = t.path("clip.mp4");

  struct query_case {
    const char* what;
    const char* root;
    const char* rel;
    int code;
    const char* message;
    std::string out;
  };
  const query_case CASES[] = {
      {"no root", nullptr, "a.mkv", VORN3S_EBADARG, "root", ""},
      {"empty root", "", "a.mkv", VORN3S_EBADARG, "root", ""},
      {"missing root", "no-such-root-here/x", "", VORN3S_ENOTFOUND, "root", ""},
      {"root alone", root.c_str(), "", 0, "resolved", root},
      {"null rel", root.c_str(), nullptr, 0, "resolved", root},
      {"root in another form", other_form.c_str(), "", 0, "resolved", root},
      {"file root", file_root.c_str(), nullptr, 0, "resolved", t.path("clip.mp4")},
      {"refused", root.c_str(), "../x", VORN3S_EESCAPE, "refused (D3)", ""},
      {"too long", root.c_str(), longer.c_str(), VORN3S_ELIMIT, "too long", ""},
      {"no entry", root.c_str(), "missing.mkv", VORN3S_ENOTFOUND, "no entry", ""},
      {"file", root.c_str(), "a.mkv", 0, "resolved", t.path("Movies/a.mkv")},
      {"folder", root.c_str(), "Sub", 0, "resolved", t.path("Movies/Sub")},
      {"below a file root", file_root.c_str(), "x", VORN3S_ENOTFOUND, "no entry", ""},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.what);
    char out[2048] = "stale";
    EXPECT_EQ(vorn3s_resolve(c.root, c.rel, out, sizeof out), c.code);
    EXPECT_EQ(vorn3s_last_code(), c.code);
    EXPECT_STREQ(vorn3s_last_error(), c.message);
    EXPECT_EQ(std::string(out), c.out);
  }
}

TEST(vorn3s_resolve, link_inside_the_root) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  t.mkdir("Movies/Sub");
  t.symlink("Sub", "Movies/inlink");
  char out[2048] = "stale";
  EXPECT_EQ(vorn3s_resolve(t.path("Movies").c_str(), "inlink", out, sizeof out), 0);
  EXPECT_STREQ(vorn3s_last_error(), "resolved");
  EXPECT_EQ(std::string(out), t.path("Movies/Sub"));
}

TEST(vorn3s_resolve, output_buffer_bounds) {
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  const std::string root = t.path("Movies");

  char out[16];
  std::memset(out, 'Z', sizeof out);
  EXPECT_EQ(vorn3s_resolve(root.c_str(), "a.mkv", out, 0), VORN3S_EBADARG);
  EXPECT_STREQ(vorn3s_last_error(), "out");
  EXPECT_EQ(out[0], 'Z');  // nothing written
  EXPECT_EQ(vorn3s_resolve(root.c_str(), "a.mkv", out, -1), VORN3S_EBADARG);
  EXPECT_EQ(out[0], 'Z');
  EXPECT_EQ(vorn3s_resolve(root.c_str(), "a.mkv", nullptr, 16), VORN3S_EBADARG);
  EXPECT_STREQ(vorn3s_last_error(), "out");

  // A path longer than the buffer is cut to its size less one, still terminated.
  EXPECT_EQ(vorn3s_resolve(root.c_str(), "a.mkv", out, 5), 0);
  EXPECT_EQ(std::string(out), t.path("Movies/a.mkv").substr(0, 4));
  EXPECT_EQ(out[5], 'Z');
  EXPECT_EQ(vorn3s_resolve(root.c_str(), "a.mkv", out, 1), 0);
  EXPECT_STREQ(out, "");
}
