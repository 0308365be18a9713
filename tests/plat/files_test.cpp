// SPDX-License-Identifier: MIT
// Files and folders through the platform layer, on a real tree: sizes and kinds, links
// (to a folder, to a missing target, out of the tree), a FIFO, and names in and out of
// UTF-8.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "support/fixture.h"
#include "util/strbuf.h"

namespace {

const char* const CAFE = "caf\xc3\xa9.mkv";      // é in UTF-8
const char* const BAD_NAME = "bad\xff\xfe.mkv";  // not UTF-8 at all

// The tree every test here works on; `outside` is a second folder that links lead into.
struct files_fixture : testing::Test {
  temp_tree tree;
  temp_tree outside;

  void SetUp() override {
    tree.write_size("a1000.bin", 1000);
    tree.write_size("empty.bin", 0);
    tree.write_size(".hidden", 5);
    tree.write_size(CAFE, 7);
    // Windows names are UTF-16, so no name there is bytes that are not UTF-8.
    if (!ON_WINDOWS) tree.write_size(BAD_NAME, 3);
    tree.mkdir("sub");
    tree.write_size("sub/inner.txt", 12);
    tree.mkdir("void");
    outside.write_size("far.bin", 33);
  }
};

// The same tree with links and a FIFO in it.
struct files_with_links : files_fixture {
  void SetUp() override {
    SKIP_ON_WINDOWS(NEEDS_LINKS);
    files_fixture::SetUp();
    tree.symlink("sub", "link_dir");
    tree.symlink("a1000.bin", "link_file");
    tree.symlink("missing-target", "dangling");
    tree.symlink(outside.path("far.bin"), "leave");
    tree.fifo("pipe");
  }
};

// Enters a folder for one scope and returns to where the process was.
struct cwd_scope {
  std::filesystem::path before = std::filesystem::current_path();
  explicit cwd_scope(const std::string& dir) { std::filesystem::current_path(fs_path(dir)); }
  ~cwd_scope() {
    std::error_code ec;
    std::filesystem::current_path(before, ec);
  }
};

// Sets the last-write time of `path` to `seconds` and `micros` after 1970.
void set_mtime(const std::string& path, int64_t seconds, int64_t micros) {
  using namespace std::chrono;
  const auto when = sys_seconds(seconds * 1s) + microseconds(micros);
  std::filesystem::last_write_time(fs_path(path), file_clock::from_sys(when));
}

std::set<std::string> names_of(const char* dir_path) {
  std::set<std::string> names;
  plat_dir* d = plat_opendir(dir_path);
  EXPECT_NE(d, nullptr) << dir_path;
  if (!d) return names;
  while (const char* n = plat_readdir(d)) EXPECT_TRUE(names.insert(n).second) << "twice: " << n;
  EXPECT_EQ(plat_readdir(d), nullptr);  // stays at the end
  plat_closedir(d);
  return names;
}

}  // namespace

namespace {
struct stat_case {
  const char* rel;
  int follow;
  int result, is_dir, is_file, is_link;
  int64_t size;  // -1: not checked
};

void expect_stat(const temp_tree& tree, const stat_case& c) {
  SCOPED_TRACE(testing::Message() << c.rel << " follow " << c.follow);
  plat_statinfo st;
  ASSERT_EQ(plat_stat(tree.path(c.rel).c_str(), &st, c.follow), c.result);
  EXPECT_EQ(st.is_dir, c.is_dir);
  EXPECT_EQ(st.is_file, c.is_file);
  EXPECT_EQ(st.is_link, c.is_link);
  if (c.size >= 0) {
    EXPECT_EQ(st.size, c.size);
  }
}
}  // namespace

TEST_F(files_fixture, stat_describes_kinds_and_sizes) {
  static const stat_case CASES[] = {
      {"a1000.bin", 1, 0, 0, 1, 0, 1000}, {"a1000.bin", 0, 0, 0, 1, 0, 1000},
      {"empty.bin", 1, 0, 0, 1, 0, 0},    {"sub", 1, 0, 1, 0, 0, -1},
      {"sub", 0, 0, 1, 0, 0, -1},         {"sub/inner.txt", 1, 0, 0, 1, 0, 12},
  };
  for (const auto& c : CASES) expect_stat(tree, c);
}

TEST_F(files_with_links, stat_describes_links_and_a_fifo) {
  static const stat_case CASES[] = {
      {"link_dir", 1, 0, 1, 0, 1, -1},
      {"link_dir", 0, 0, 0, 0, 1, -1},  // the link itself: neither folder nor file
      {"link_file", 1, 0, 0, 1, 1, 1000},
      {"dangling", 0, 0, 0, 0, 1, -1},
      {"leave", 1, 0, 0, 1, 1, 33},
      {"pipe", 1, 0, 0, 0, 0, -1},  // a FIFO is neither
      {"link_dir/inner.txt", 1, 0, 0, 1, 0, 12},
      {"link_dir/inner.txt", 0, 0, 0, 1, 0, 12},  // only the last component is looked at
  };
  for (const auto& c : CASES) expect_stat(tree, c);
}

TEST_F(files_with_links, stat_of_a_dangling_link_followed_fails_with_the_record_cleared) {
  plat_statinfo st;
  st.is_dir = st.is_file = 7;
  st.size = st.mtime = 99;
  EXPECT_EQ(plat_stat(tree.path("dangling").c_str(), &st, 1), -1);
  EXPECT_EQ(st.is_dir, 0);
  EXPECT_EQ(st.is_file, 0);
  EXPECT_EQ(st.size, 0);
  EXPECT_EQ(st.mtime, 0);
}

TEST_F(files_fixture, stat_failures_leave_the_record_cleared) {
  for (const char* rel : {"missing", "sub/missing/x", "a1000.bin/x"}) {
    SCOPED_TRACE(rel);
    plat_statinfo st;
    st.is_dir = st.is_file = 7;
    st.size = st.mtime = 99;
    EXPECT_EQ(plat_stat(tree.path(rel).c_str(), &st, 1), -1);
    EXPECT_EQ(st.is_dir, 0);
    EXPECT_EQ(st.is_file, 0);
    EXPECT_EQ(st.size, 0);
    EXPECT_EQ(st.mtime, 0);
  }
  plat_statinfo st;
  EXPECT_EQ(plat_stat("", &st, 1), -1);
}

TEST_F(files_fixture, stat_hidden_and_mtime) {
  // A leading dot hides a name on POSIX. Windows has an attribute for it instead (its
  // table is in the Windows tests), which Wine also sets on names with a leading dot.
  plat_statinfo st;
  ASSERT_EQ(plat_stat(tree.path(".hidden").c_str(), &st, 1), 0);
  if (!ON_WINDOWS) {
    EXPECT_EQ(st.is_hidden, 1);
  }
  ASSERT_EQ(plat_stat(tree.path("a1000.bin").c_str(), &st, 1), 0);
  EXPECT_EQ(st.is_hidden, 0);

  for (int64_t when : {int64_t{10}, int64_t{1700000000}}) {
    SCOPED_TRACE(when);
    set_mtime(tree.path("a1000.bin"), when, 999999);
    ASSERT_EQ(plat_stat(tree.path("a1000.bin").c_str(), &st, 1), 0);
    EXPECT_EQ(st.mtime, when);  // whole seconds, the fraction dropped
  }
}

TEST_F(files_with_links, stat_of_a_followed_link_gives_the_targets_time) {
  set_mtime(tree.path("a1000.bin"), 1700000000, 0);
  plat_statinfo st;
  ASSERT_EQ(plat_stat(tree.path("link_file").c_str(), &st, 1), 0);
  EXPECT_EQ(st.mtime, 1700000000);
}

namespace {
struct real_case {
  std::string in;
  std::string want;  // "": null
};

void expect_realpaths(const std::vector<real_case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    text_ptr got(plat_realpath(c.in.c_str()));
    if (c.want.empty()) {
      EXPECT_EQ(got, nullptr);
    } else {
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(std::string(got.get()), c.want);
    }
  }
}
}  // namespace

TEST_F(files_fixture, realpath_resolves_dots_and_relative_paths) {
  expect_realpaths({
      {tree.path("a1000.bin"), tree.path("a1000.bin")},
      {tree.path("sub/../a1000.bin"), tree.path("a1000.bin")},
      {tree.root + "//sub/./inner.txt", tree.path("sub/inner.txt")},
      {tree.root + "/sub/inner.txt", tree.path("sub/inner.txt")},
      {tree.path(CAFE), tree.path(CAFE)},
      {tree.path("missing"), ""},
      // Windows takes ".." out of the text before it looks at the disk.
      {tree.path("missing/../a1000.bin"), ON_WINDOWS ? tree.path("a1000.bin") : ""},
      {"", ""},
  });
  EXPECT_EQ(plat_realpath(nullptr), nullptr);

  cwd_scope in(tree.path("sub"));
  expect_realpaths({
      {"inner.txt", tree.path("sub/inner.txt")},
      {".", tree.path("sub")},
      {"..", tree.root},
      {"../sub/inner.txt", tree.path("sub/inner.txt")},
  });
}

TEST_F(files_with_links, realpath_resolves_links) {
  expect_realpaths({
      {tree.path("link_dir"), tree.path("sub")},
      {tree.path("link_dir/inner.txt"), tree.path("sub/inner.txt")},
      {tree.path("link_file"), tree.path("a1000.bin")},
      {tree.path("leave"), outside.path("far.bin")},
      {tree.path("pipe"), tree.path("pipe")},
      {tree.path("dangling"), ""},
  });
  cwd_scope in(tree.path("sub"));
  expect_realpaths({{"../link_dir/inner.txt", tree.path("sub/inner.txt")}});
}

TEST_F(files_fixture, readdir_lists_every_entry_once_and_skips_names_not_in_utf8) {
  const std::set<std::string> want = {"a1000.bin", "empty.bin", ".hidden", CAFE, "sub", "void"};
  EXPECT_EQ(names_of(tree.root.c_str()), want);
  EXPECT_EQ(names_of((tree.root + "/").c_str()), want);
  EXPECT_EQ(names_of(tree.path("sub").c_str()), std::set<std::string>{"inner.txt"});
  EXPECT_EQ(names_of(tree.path("void").c_str()), std::set<std::string>{});
}

TEST_F(files_with_links, readdir_lists_links_and_fifos_and_enters_linked_folders) {
  const std::set<std::string> want = {"a1000.bin", "empty.bin", ".hidden",  CAFE,    "sub", "void",
                                      "link_dir",  "link_file", "dangling", "leave", "pipe"};
  EXPECT_EQ(names_of(tree.root.c_str()), want);
  EXPECT_EQ(names_of(tree.path("link_dir").c_str()), std::set<std::string>{"inner.txt"});
}

TEST_F(files_fixture, readdir_of_the_empty_path_is_the_current_folder) {
  cwd_scope in(tree.path("sub"));
  EXPECT_EQ(names_of(""), std::set<std::string>{"inner.txt"});
}

TEST_F(files_fixture, opendir_refuses_what_is_not_a_folder) {
  for (const char* rel : {"missing", "a1000.bin"}) {
    SCOPED_TRACE(rel);
    EXPECT_EQ(plat_opendir(tree.path(rel).c_str()), nullptr);
  }
  EXPECT_EQ(plat_opendir(nullptr), nullptr);
  plat_closedir(nullptr);
}

TEST_F(files_with_links, opendir_refuses_a_fifo_and_a_dangling_link) {
#if !defined(_WIN32)
  alarm(10);  // a FIFO must never hold the call
  for (const char* rel : {"pipe", "dangling"}) {
    SCOPED_TRACE(rel);
    EXPECT_EQ(plat_opendir(tree.path(rel).c_str()), nullptr);
  }
  alarm(0);
#endif
}

namespace {
struct open_case {
  const char* rel;
  bool opens;
};

void expect_opens(const temp_tree& tree, const std::vector<open_case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rel);
    plat_file* f = plat_fopen_read(tree.path(c.rel).c_str());
    EXPECT_EQ(f != nullptr, c.opens);
    plat_fclose(f);
  }
}
}  // namespace

TEST_F(files_fixture, fopen_read_opens_regular_files_only) {
  expect_opens(tree, {{"a1000.bin", true}, {"empty.bin", true}, {"sub", false}, {"missing", false}});
  EXPECT_EQ(plat_fopen_read(""), nullptr);
  EXPECT_EQ(plat_fopen_read(nullptr), nullptr);
  plat_fclose(nullptr);
}

TEST_F(files_with_links, fopen_read_follows_links_to_files_and_never_blocks_on_a_fifo) {
#if !defined(_WIN32)
  alarm(10);  // opening a FIFO with no writer would otherwise wait for ever
  expect_opens(
      tree,
      {{"link_file", true}, {"leave", true}, {"link_dir", false}, {"pipe", false}, {"dangling", false}});
  alarm(0);
#endif
}

TEST_F(files_fixture, fread_at_reads_at_absolute_offsets) {
  plat_file* f = plat_fopen_read(tree.path("a1000.bin").c_str());
  ASSERT_NE(f, nullptr);
  struct read_case {
    uint64_t offset;
    size_t n;
    int64_t got;
  };
  static const read_case CASES[] = {
      {950, 100, 50},   {0, 1000, 1000}, {500, 10, 10}, {999, 1, 1},         {999, 5, 1},
      {1000, 100, 0},   {5000, 100, 0},  {0, 0, 0},     {UINT64_MAX, 10, 0}, {uint64_t{INT64_MAX}, 10, 0},
      {100, 4000, 900},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " n " << c.n);
    std::string buf(c.n + 16, '\xee');
    ASSERT_EQ(plat_fread_at(f, c.offset, buf.data(), c.n), c.got);
    const auto got = static_cast<size_t>(c.got);
    if (got) {
      EXPECT_EQ(buf.substr(0, got), pattern_bytes(static_cast<size_t>(c.offset), got));
    }
    EXPECT_EQ(buf.substr(got), std::string(buf.size() - got, '\xee'));  // the rest untouched
  }
  plat_fclose(f);
  EXPECT_EQ(plat_fread_at(nullptr, 0, nullptr, 0), -1);
}

TEST_F(files_fixture, fread_at_reads_a_file_larger_than_one_call) {
  tree.write_size("big.bin", 3 * 1024 * 1024 + 17);
  plat_file* f = plat_fopen_read(tree.path("big.bin").c_str());
  ASSERT_NE(f, nullptr);
  std::string buf(3 * 1024 * 1024 + 100, '\0');
  ASSERT_EQ(plat_fread_at(f, 0, buf.data(), buf.size()), 3 * 1024 * 1024 + 17);
  EXPECT_EQ(buf.substr(0, 3 * 1024 * 1024 + 17), pattern_bytes(0, 3 * 1024 * 1024 + 17));
  plat_fclose(f);
}

namespace {
struct opened_case {
  std::string rel;
  std::string want;
};

void expect_opened_paths(const temp_tree& tree, const std::vector<opened_case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rel);
    plat_file* f = plat_fopen_read(tree.path(c.rel).c_str());
    ASSERT_NE(f, nullptr);
    text_ptr real(plat_file_realpath(f));
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(std::string(real.get()), c.want);
    plat_fclose(f);
  }
}
}  // namespace

TEST_F(files_fixture, file_realpath_names_the_file_actually_opened) {
  expect_opened_paths(tree, {
                                {"a1000.bin", tree.path("a1000.bin")},
                                {"sub/inner.txt", tree.path("sub/inner.txt")},
                                {CAFE, tree.path(CAFE)},
                            });
  EXPECT_EQ(plat_file_realpath(nullptr), nullptr);
}

TEST_F(files_with_links, file_realpath_names_a_links_target_even_after_a_swap) {
  expect_opened_paths(tree, {
                                {"link_file", tree.path("a1000.bin")},
                                {"link_dir/inner.txt", tree.path("sub/inner.txt")},
                                {"leave", outside.path("far.bin")},
                            });

  // A link swapped after the open does not change what the handle reads.
  plat_file* f = plat_fopen_read(tree.path("link_file").c_str());
  ASSERT_NE(f, nullptr);
  std::filesystem::remove(fs_path(tree.path("link_file")));
  tree.symlink(outside.path("far.bin"), "link_file");
  text_ptr real(plat_file_realpath(f));
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(std::string(real.get()), tree.path("a1000.bin"));
  plat_fclose(f);
}

TEST(plat_path_under, text_rule) {
  struct under_case {
    const char* path;
    const char* root;
    int want;
  };
  static const under_case CASES[] = {
      {"/srv/media", "/srv/media", 1},
      {"/srv/media/film.mkv", "/srv/media", 1},
      {"/srv/media/a/b", "/srv/media", 1},
      {"/srv/media\\x", "/srv/media", 1},
      {"/srv/mediaX", "/srv/media", 0},
      {"/srv/media2/film.mkv", "/srv/media", 0},
      {"/srv/medi", "/srv/media", 0},
      {"/srv", "/srv/media", 0},
      // Case counts on every system: both sides are final paths, with the case of each
      // name as stored.
      {"/srv/Media/film.mkv", "/srv/media", 0},
      {"/SRV/MEDIA", "/srv/media", 0},
      {"c:\\media\\x", "C:\\Media", 0},
      {"C:\\Media\\x", "C:\\Media", 1},
      {"C:\\Media/x", "C:\\Media", 1},
      {"\\\\server\\share\\x", "\\\\SERVER\\Share", 0},
      {"\\\\server\\share\\x", "\\\\server\\share", 1},
      {"\\\\server\\share2", "\\\\server\\share", 0},
      {"/srv/m\303\250dia/x", "/srv/m\303\210dia", 0},
      {"/srv/media/x", "/srv/media/", 1},
      {"/srv/media/", "/srv/media/", 1},
      {"/srv/media", "/srv/media/", 0},
      {"/anything", "/", 1},
      {"/", "/", 1},
      {"C:\\dir\\x", "C:\\", 1},
      {"C:\\dir\\x", "C:\\dir", 1},
      {"C:\\dirx", "C:\\dir", 0},
      {"", "", 1},
      {"/x", "", 1},
      {"\\x", "", 1},
      {"x", "", 0},
      {"", "/srv", 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(testing::Message() << '"' << c.path << "\" under \"" << c.root << '"');
    EXPECT_EQ(plat_path_under(c.path, c.root), c.want);
  }
}

TEST(plat_is_absolute, text_rule) {
  struct abs_case {
    const char* text;
    int want;
  };
  static const abs_case CASES[] = {
      {"/etc", 1}, {"/", 1},        {"\\x", 1},        {"C:", 1},       {"c:x", 1},  {"Z:\\a", 1},
      {"1:x", 0},  {"film.mkv", 0}, {"", 0},           {nullptr, 0},    {"./x", 0},  {"..", 0},
      {"C", 0},    {":x", 0},       {"\xc3\xa9:x", 0}, {"Movies/a", 0}, {"ab:c", 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(plat_is_absolute(c.text), c.want);
  }
}

TEST(plat_text_reserved, only_a_colon_and_only_on_windows) {
  struct reserved_case {
    const char* text;
    int want;
  };
  const int colon = ON_WINDOWS ? 1 : 0;
  const reserved_case CASES[] = {
      {"film.mkv", 0},
      {"Movies/Sub/a.mkv", 0},
      {"movie.", 0},
      {"con.mkv", 0},
      {"", 0},
      {nullptr, 0},
      {"film.mkv:x", colon},
      {"film.mkv::$DATA", colon},
      {"C:x", colon},
      {"Movies:x", colon},
      {":", colon},
      {"a/b:c/d", colon},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(plat_text_reserved(c.text), c.want);
  }
}
