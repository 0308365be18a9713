// SPDX-License-Identifier: MIT
// The roots table on real folders, files, links and FIFOs: display names, duplicates,
// the 64-slot limit, removal, and the JSON record of each slot.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

#include "server/roots.h"
#include "server/vorn3s.h"
#include "support/fixture.h"

namespace {

std::string folder_record(const std::string& name, const std::string& path) {
  return R"({"Name":")" + name + R"(","Path":")" + json_text(path) + R"(","Kind":"folder"})";
}

void expect_error(int code, const char* message) {
  EXPECT_EQ(vorn3s_last_code(), code);
  EXPECT_STREQ(vorn3s_last_error(), message);
}

// Changes the working folder for one scope and goes back afterwards.
struct cwd_guard {
  std::filesystem::path old = std::filesystem::current_path();
  explicit cwd_guard(const std::string& to) { std::filesystem::current_path(fs_path(to)); }
  ~cwd_guard() {
    std::error_code ec;
    std::filesystem::current_path(old, ec);
  }
};

// The top folder of the file system that holds `tree`: "/", or a drive such as "C:\".
std::string top_folder(const temp_tree& tree) { return ON_WINDOWS ? tree.root.substr(0, 3) : "/"; }

}  // namespace

TEST(roots, folders_with_the_same_base_name_get_tildes) {
  temp_tree tree;
  for (const char* d : {"a/Music", "b/Music", "c/Music", "d/Music"}) tree.mkdir(d);

  EXPECT_EQ(vorn3s_add_root(tree.path("a/Music").c_str()), 0);
  expect_error(0, "root 0 added");
  EXPECT_EQ(vorn3s_add_root(tree.path("b/Music").c_str()), 1);
  EXPECT_EQ(vorn3s_add_root(tree.path("c/Music").c_str()), 2);
  expect_error(0, "root 2 added");
  EXPECT_EQ(vorn3s_root_json(0), folder_record("Music", tree.path("a/Music")));
  EXPECT_EQ(vorn3s_root_json(1), folder_record("Music~", tree.path("b/Music")));
  EXPECT_EQ(vorn3s_root_json(2), folder_record("Music~~", tree.path("c/Music")));
  EXPECT_EQ(vorn3s_root_count(), 3);

  // Only live roots count: once the first is gone its name is free again.
  ASSERT_EQ(vorn3s_remove_root(tree.path("a/Music").c_str()), 0);
  EXPECT_EQ(vorn3s_add_root(tree.path("d/Music").c_str()), 3);
  EXPECT_EQ(vorn3s_root_json(3), folder_record("Music", tree.path("d/Music")));
}

TEST(roots, file_root_keeps_its_extension_and_is_of_kind_file) {
  temp_tree tree;
  tree.write("movie.mkv", "x");
  ASSERT_EQ(vorn3s_add_root(tree.path("movie.mkv").c_str()), 0);
  EXPECT_EQ(vorn3s_root_json(0),
            R"({"Name":"movie.mkv","Path":")" + json_text(tree.path("movie.mkv")) + R"(","Kind":"file"})");
}

TEST(roots, record_escapes_name_and_path) {
  SKIP_ON_WINDOWS("needs a quote inside a folder name, which Windows names cannot hold");
  temp_tree tree;
  tree.mkdir("say \"hi\"");
  ASSERT_EQ(vorn3s_add_root(tree.path("say \"hi\"").c_str()), 0);
  EXPECT_EQ(vorn3s_root_json(0), folder_record(R"(say \"hi\")", tree.path("say \"hi\"")));
}

// The name is what follows the last separator, a backslash counting as one.
TEST(roots, name_follows_the_last_slash_or_backslash) {
  SKIP_ON_WINDOWS("needs a backslash inside a folder name, which Windows names cannot hold");
  temp_tree tree;
  tree.mkdir(R"(Old\Music)");
  ASSERT_EQ(vorn3s_add_root(tree.path(R"(Old\Music)").c_str()), 0);
  EXPECT_EQ(vorn3s_root_json(0), folder_record("Music", tree.root + R"(/Old\Music)"));
}

// The top folder of the file system has the empty name.
TEST(roots, top_folder_has_the_empty_name) {
  temp_tree tree;
  const std::string top = top_folder(tree);
  ASSERT_EQ(vorn3s_add_root(top.c_str()), 0);
  EXPECT_EQ(vorn3s_root_json(0), folder_record("", top));
}

// The canonical path decides: a relative form, a link, extra slashes or dots name the same
// root, and the name and path stored are those of the canonical path.
TEST(roots, other_forms_of_a_live_root_are_duplicates) {
  temp_tree tree;
  tree.mkdir("Music");
  ASSERT_EQ(vorn3s_add_root(tree.path("Music").c_str()), 0);

  cwd_guard cwd(tree.root);
  const std::string SAME[] = {"Music", "./Music/", tree.root + "//Music/../Music"};
  for (const auto& path : SAME) {
    SCOPED_TRACE(path);
    EXPECT_EQ(vorn3s_add_root(path.c_str()), VORN3S_ECONFLICT);
    expect_error(VORN3S_ECONFLICT, "root already added");
  }
  EXPECT_EQ(vorn3s_root_count(), 1);
}

TEST(roots, links_to_a_live_root_are_duplicates_and_a_link_stores_its_target) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree tree;
  tree.mkdir("Music");
  tree.symlink(tree.path("Music"), "link");
  ASSERT_EQ(vorn3s_add_root(tree.path("Music").c_str()), 0);
  cwd_guard cwd(tree.root);
  for (const char* path : {"link", "link/."}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(vorn3s_add_root(path), VORN3S_ECONFLICT);
    expect_error(VORN3S_ECONFLICT, "root already added");
  }

  // A link as the first form stores the target's path and name.
  temp_tree other;
  other.mkdir("Films");
  other.symlink(other.path("Films"), "alias");
  ASSERT_EQ(vorn3s_add_root(other.path("alias").c_str()), 1);
  EXPECT_EQ(vorn3s_root_json(1), folder_record("Films", other.path("Films")));
}

TEST(roots, a_fifo_is_refused) {
  SKIP_ON_WINDOWS(NEEDS_FIFOS);
  temp_tree tree;
  tree.fifo("pipe");
  EXPECT_EQ(vorn3s_add_root(tree.path("pipe").c_str()), VORN3S_EBADARG);
  expect_error(VORN3S_EBADARG, "not a file or folder");
  EXPECT_EQ(vorn3s_root_count(), 0);
}

TEST(roots, refusals_leave_the_table_unchanged) {
  temp_tree tree;
  struct refusal {
    std::string path;
    bool null;
    int code;
    std::string message;
  };
  const refusal CASES[] = {
      {"", true, VORN3S_EBADARG, "path required"},
      {"", false, VORN3S_EBADARG, "path required"},
      {tree.path("missing"), false, VORN3S_ENOTFOUND, "cannot resolve " + tree.path("missing")},
      {"relative/missing", false, VORN3S_ENOTFOUND, "cannot resolve relative/missing"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(vorn3s_add_root(c.null ? nullptr : c.path.c_str()), c.code);
    expect_error(c.code, c.message.c_str());
  }
  EXPECT_EQ(vorn3s_root_count(), 0);
  EXPECT_STREQ(vorn3s_root_json(0), "");
}

TEST(roots, path_length_limit_is_1024_bytes) {
  temp_tree tree;
  tree.mkdir("Music");
  // Extra slashes make an existing folder's path as long as wanted.
  const auto padded = [&](size_t len) {
    const std::string tail = "/Music";
    return tree.root + std::string(len - tree.root.size() - tail.size(), '/') + tail;
  };
  const std::string too_long = padded(1025);
  ASSERT_EQ(too_long.size(), 1025u);
  EXPECT_EQ(vorn3s_add_root(too_long.c_str()), VORN3S_EBADARG);
  expect_error(VORN3S_EBADARG, "path too long");

  const std::string longest = padded(1024);
  ASSERT_EQ(longest.size(), 1024u);
  EXPECT_EQ(vorn3s_add_root(longest.c_str()), 0);
  EXPECT_EQ(vorn3s_root_json(0), folder_record("Music", tree.path("Music")));
}

TEST(roots, removal_marks_the_slot_and_never_reuses_it) {
  temp_tree tree;
  for (const char* d : {"A", "B", "C"}) {
    tree.mkdir(d);
    ASSERT_GE(vorn3s_add_root(tree.path(d).c_str()), 0);
  }
  EXPECT_EQ(vorn3s_remove_root(tree.path("B").c_str()), 0);
  expect_error(0, "removed");
  EXPECT_EQ(vorn3s_root_count(), 2);

  EXPECT_STREQ(vorn3s_root_json(1), "");
  expect_error(VORN3S_EBADARG, "bad index");
  // A successful record leaves the last error as it was.
  EXPECT_EQ(vorn3s_root_json(2), folder_record("C", tree.path("C")));
  expect_error(VORN3S_EBADARG, "bad index");

  for (int bad : {-1, 3, 64, INT_MIN}) {
    SCOPED_TRACE(bad);
    EXPECT_STREQ(vorn3s_root_json(bad), "");
    expect_error(VORN3S_EBADARG, "bad index");
  }

  EXPECT_EQ(vorn3s_remove_root(tree.path("B").c_str()), VORN3S_ENOTFOUND);
  expect_error(VORN3S_ENOTFOUND, "not a root");
  EXPECT_EQ(vorn3s_add_root(tree.path("B").c_str()), 3);
  EXPECT_EQ(vorn3s_root_json(3), folder_record("B", tree.path("B")));
  EXPECT_EQ(vorn3s_root_count(), 3);
}

TEST(roots, remove_refusals) {
  temp_tree tree;
  tree.mkdir("A");
  tree.mkdir("never");
  ASSERT_EQ(vorn3s_add_root(tree.path("A").c_str()), 0);
  struct refusal {
    const char* path;
    const char* message;
  };
  const std::string missing = tree.path("missing"), never = tree.path("never");
  const refusal CASES[] = {
      {nullptr, "cannot resolve"},
      {"", "cannot resolve"},
      {missing.c_str(), "cannot resolve"},
      {never.c_str(), "not a root"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.path ? c.path : "(null)");
    EXPECT_EQ(vorn3s_remove_root(c.path), VORN3S_ENOTFOUND);
    expect_error(VORN3S_ENOTFOUND, c.message);
  }
  EXPECT_EQ(vorn3s_root_count(), 1);
  // Another form of the path removes the root.
  EXPECT_EQ(vorn3s_remove_root((tree.root + "//A/.").c_str()), 0);
  EXPECT_EQ(vorn3s_root_count(), 0);
}

TEST(roots, a_link_to_a_root_removes_it) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree tree;
  tree.mkdir("A");
  ASSERT_EQ(vorn3s_add_root(tree.path("A").c_str()), 0);
  tree.symlink(tree.path("A"), "via");
  EXPECT_EQ(vorn3s_remove_root(tree.path("via").c_str()), 0);
  EXPECT_EQ(vorn3s_root_count(), 0);
}

// Removed slots still count against the limit of 64; a duplicate in a full table is a
// duplicate first.
TEST(roots, sixty_four_slots_in_all) {
  temp_tree tree;
  for (int i = 0; i < 66; i++) tree.mkdir("r" + std::to_string(i));
  for (int i = 0; i < 64; i++) {
    ASSERT_EQ(vorn3s_add_root(tree.path("r" + std::to_string(i)).c_str()), i);
  }
  EXPECT_EQ(vorn3s_add_root(tree.path("r64").c_str()), VORN3S_ELIMIT);
  expect_error(VORN3S_ELIMIT, "too many roots");
  EXPECT_EQ(vorn3s_add_root(tree.path("r5").c_str()), VORN3S_ECONFLICT);
  expect_error(VORN3S_ECONFLICT, "root already added");

  ASSERT_EQ(vorn3s_remove_root(tree.path("r5").c_str()), 0);
  EXPECT_EQ(vorn3s_root_count(), 63);
  for (const char* again : {"r65", "r5"}) {
    SCOPED_TRACE(again);
    EXPECT_EQ(vorn3s_add_root(tree.path(again).c_str()), VORN3S_ELIMIT);
    expect_error(VORN3S_ELIMIT, "too many roots");
  }
  EXPECT_EQ(vorn3s_root_count(), 63);
  EXPECT_EQ(vorn3s_root_json(63), folder_record("r63", tree.path("r63")));
}

// A root whose folder has gone stays live and can no longer be removed by its path.
TEST(roots, vanished_root_stays_live) {
  temp_tree tree;
  tree.mkdir("gone");
  ASSERT_EQ(vorn3s_add_root(tree.path("gone").c_str()), 0);
  ASSERT_TRUE(std::filesystem::remove(fs_path(tree.path("gone"))));
  EXPECT_EQ(vorn3s_remove_root(tree.path("gone").c_str()), VORN3S_ENOTFOUND);
  expect_error(VORN3S_ENOTFOUND, "cannot resolve");
  EXPECT_EQ(vorn3s_root_count(), 1);
  EXPECT_EQ(vorn3s_root_json(0), folder_record("gone", tree.path("gone")));
}

// A snapshot holds the live roots in table order as they were when it was taken; what the
// table does afterwards does not reach it.
TEST(roots_snapshot, holds_the_live_roots_as_they_were) {
  temp_tree tree;
  tree.mkdir("A");
  tree.mkdir("B");
  tree.write("c.mkv", "c");
  ASSERT_EQ(vorn3s_add_root(tree.path("A").c_str()), 0);
  ASSERT_EQ(vorn3s_add_root(tree.path("B").c_str()), 1);
  ASSERT_EQ(vorn3s_add_root(tree.path("c.mkv").c_str()), 2);
  ASSERT_EQ(vorn3s_remove_root(tree.path("A").c_str()), 0);
  roots_snapshot snap;
  roots_snapshot_take(roots_get(), &snap);
  ASSERT_EQ(vorn3s_remove_root(tree.path("B").c_str()), 0);
  ASSERT_EQ(vorn3s_add_root(tree.path("A").c_str()), 3);

  ASSERT_EQ(snap.count, 2);
  EXPECT_EQ(snap.roots[0].index, 1);
  EXPECT_STREQ(snap.roots[0].name, "B");
  EXPECT_EQ(std::string(snap.roots[0].path), tree.path("B"));
  EXPECT_FALSE(snap.roots[0].is_file);
  EXPECT_EQ(snap.roots[1].index, 2);
  EXPECT_STREQ(snap.roots[1].name, "c.mkv");
  EXPECT_TRUE(snap.roots[1].is_file);

  roots_snapshot now;
  roots_snapshot_take(roots_get(), &now);
  ASSERT_EQ(now.count, 2);
  EXPECT_EQ(now.roots[0].index, 2);
  EXPECT_EQ(now.roots[1].index, 3);
  EXPECT_STREQ(now.roots[1].name, "A");
}
