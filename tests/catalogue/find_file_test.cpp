// SPDX-License-Identifier: MIT
// Finding the file a file argument designates: by its ID, by its folder and name, or by
// its name at the top of every root, and never outside the roots.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "catalogue/filearg.h"
#include "catalogue/find_file.h"
#include "server/roots.h"
#include "server/vorn3s.h"
#include "support/fixture.h"
#include "support/outcome.h"

namespace {

outcome find(const std::string& json) {
  filearg fa;
  EXPECT_EQ(parse_file_arg(json.c_str(), &fa), 0) << json;
  char* path = nullptr;
  int index = 9;
  const int code = resolve_openfile(roots_get(), &fa, &path, &index);
  return resolution(code, path, index);
}

void add_roots(std::initializer_list<std::string> paths) {
  int expected = 0;
  for (const auto& p : paths) ASSERT_EQ(vorn3s_add_root(p.c_str()), expected++) << p;
}

struct find_case {
  const char* json;
  int code;
  std::string path;
  int index;
};

void expect_cases(std::initializer_list<find_case> cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const outcome f = find(c.json);
    EXPECT_EQ(f.code, c.code);
    EXPECT_EQ(f.path, c.path);
    EXPECT_EQ(f.index, c.index);
  }
}

}  // namespace

TEST(resolve_openfile, by_id) {
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  t.write("Movies/Sub/clip.mkv", "c");
  add_roots({t.path("Movies")});
  expect_cases({
      {R"({"Name":"a.mkv","ContentType":"video","FileType":".mkv","Folder":"Movies","FullName":"Movies/a.mkv"})",
       0, t.path("Movies/a.mkv"), 0},
      {R"({"FullName":"Movies/Sub/clip.mkv"})", 0, t.path("Movies/Sub/clip.mkv"), 0},
      // A full ID is final: Name would find a.mkv, but no fallback is tried.
      {R"({"FullName":"Movies/missing.mkv","Name":"a.mkv","Folder":"Movies"})", VORN3S_ENOTFOUND, "", -1},
      {R"({"FullName":"Movies/../x","Name":"a.mkv"})", VORN3S_EESCAPE, "", -1},
      {R"({"FullName":"Movies/Sub","Name":"a.mkv"})", VORN3S_ENOTFOUND, "", -1},  // a folder is not a file
      {R"({"FullName":"../a.mkv"})", VORN3S_EESCAPE, "", -1},
      {R"({"FullName":"missing.mkv"})", VORN3S_ENOTFOUND, "", -1},  // bare and no Name: nothing else to try
  });
  const std::string overlong = R"({"FullName":"Movies/)" + std::string(1200, 'x') + R"(","Name":"a.mkv"})";
  EXPECT_EQ(find(overlong).code, VORN3S_ELIMIT);
}

TEST(resolve_openfile, bare_full_name_takes_the_first_file_root) {
  temp_tree t;
  t.write("Movies/clip.mkv", "c");
  t.write("other/trailer.mp4", "t");
  add_roots({t.path("Movies")});
  // No file root: the bare name falls back to Name at the top of each root.
  expect_cases({
      {R"({"FullName":"clip.mkv","Name":"clip.mkv"})", 0, t.path("Movies/clip.mkv"), 0},
      {R"({"FullName":"clip.mkv"})", VORN3S_ENOTFOUND, "", -1},
  });
  // A bare ID is a root name: an unknown one resolves to the first root that is a file.
  ASSERT_EQ(vorn3s_add_root(t.path("other/trailer.mp4").c_str()), 1);
  expect_cases({
      {R"({"FullName":"clip.mkv","Name":"clip.mkv"})", 0, t.path("other/trailer.mp4"), 1},
  });
}

TEST(resolve_openfile, by_folder_and_name) {
  temp_tree t;
  t.write("Movies/clip.mkv", "top");
  t.write("Movies/Sub/clip.mkv", "sub");
  t.write("Sub/clip.mkv", "root named Sub");
  t.mkdir("Movies/Sub/inner.mkv");
  add_roots({t.path("Movies"), t.path("Sub")});
  expect_cases({
      // Sub/clip.mkv: the root named Sub first.
      {R"({"Folder":"Sub","Name":"clip.mkv"})", 0, t.path("Sub/clip.mkv"), 1},
      {R"({"Folder":"Movies/Sub","Name":"clip.mkv"})", 0, t.path("Movies/Sub/clip.mkv"), 0},
      // An unknown folder: the same name at the top of every root, in table order.
      {R"({"Folder":"Gone","Name":"clip.mkv"})", 0, t.path("Movies/clip.mkv"), 0},
      // The folder ID finds no file, so the name walk takes the folder of that name.
      {R"({"Folder":"Movies","Name":"Sub"})", 0, t.path("Movies/Sub"), 0},
      {R"({"Folder":"Movies","FullName":"","Name":""})", VORN3S_ENOTFOUND, "", -1},
      {R"({"Folder":"Movies","FullName":""})", VORN3S_ENOTFOUND, "", -1},
      {R"({"Folder":"Movies/../..","Name":"clip.mkv"})", 0, t.path("Movies/clip.mkv"), 0},
  });
}

TEST(resolve_openfile, by_name_alone) {
  temp_tree t;
  t.mkdir("Movies/clip.mkv");  // a folder with a file's name
  t.write("Movies/Sub/deep.mkv", "d");
  t.write("Films/a.mkv", "a");
  t.write("single/clip.mp4", "c");
  t.write("outside/secret.mkv", "s");
  add_roots({t.path("Movies"), t.path("single/clip.mp4"), t.path("Films")});
  expect_cases({
      {R"({"Name":"clip.mkv"})", 0, t.path("Movies/clip.mkv"), 0},  // the session refuses to open it
      {R"({"Name":"clip.mp4"})", 0, t.path("single/clip.mp4"), 1},
      {R"({"Name":"Clip.mp4"})", VORN3S_ENOTFOUND, "", -1},  // names compare case-sensitively
      {R"({"Name":"a.mkv","FileType":".mkv"})", 0, t.path("Films/a.mkv"), 2},
      {R"({"Name":"Sub/deep.mkv"})", 0, t.path("Movies/Sub/deep.mkv"), 0},
      {R"({"FullName":"","Name":"a.mkv"})", 0, t.path("Films/a.mkv"), 2},
      {R"({"FullName":""})", VORN3S_ENOTFOUND, "", -1},
      {R"({"Name":""})", VORN3S_ENOTFOUND, "", -1},
      // Never out of a root by "..".
      {R"({"Name":"../outside/secret.mkv"})", VORN3S_ENOTFOUND, "", -1},
      {R"({"Name":"/../outside/secret.mkv"})", VORN3S_ENOTFOUND, "", -1},
  });
}

TEST(resolve_openfile, by_name_never_through_a_link_out) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  t.write("Films/a.mkv", "a");
  t.write("outside/secret.mkv", "s");
  t.symlink(t.path("outside/secret.mkv"), "Films/out.mkv");
  add_roots({t.path("Films")});
  expect_cases({{R"({"Name":"out.mkv"})", VORN3S_ENOTFOUND, "", -1}});
}

TEST(resolve_openfile, skips_removed_roots_and_vanished_file_roots) {
  temp_tree t;
  t.write("one/clip.mp4", "1");
  t.write("two/clip.mp4", "2");
  t.write("Films/a.mkv", "a");
  add_roots({t.path("one/clip.mp4"), t.path("two/clip.mp4"), t.path("Films")});
  ASSERT_EQ(std::remove(t.path("one/clip.mp4").c_str()), 0);
  ASSERT_EQ(vorn3s_remove_root(t.path("Films").c_str()), 0);
  expect_cases({
      {R"({"Name":"clip.mp4"})", 0, t.path("two/clip.mp4"), 1},
      {R"({"Name":"a.mkv"})", VORN3S_ENOTFOUND, "", -1},
  });
}

TEST(resolve_openfile, file_root_name_is_its_last_slash_component) {
  // A backslash is an ordinary byte in a name here; only "/" ends a component.
  SKIP_ON_WINDOWS("needs a backslash inside a file name, which Windows names cannot hold");
  temp_tree t;
  t.write("one/a\\clip.mp4", "1");
  add_roots({t.path("one/a\\clip.mp4")});
  expect_cases({
      {R"({"Name":"a\\clip.mp4"})", 0, t.path("one/a\\clip.mp4"), 0},
      {R"({"Name":"clip.mp4"})", VORN3S_ENOTFOUND, "", -1},
  });
}
