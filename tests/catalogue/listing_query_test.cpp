// SPDX-License-Identifier: MIT
// The exported listing query: its argument rules and messages, the single file record,
// the list of registered roots, and the cut at the size of the result buffer.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <string>

#include "catalogue/listing.h"
#include "plat/plat.h"
#include "server/vorn3s.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/outcome.h"
#include "util/strbuf.h"

namespace {

constexpr size_t RESULT_MAX = 262143;

outcome query(const char* root, const char* id, int files) {
  return query_result(vorn3s_listing_json(root, id, files));
}

}  // namespace

TEST(vorn3s_listing_json, arguments_and_messages) {
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  t.write("Movies/b\\c.mkv", "b");
  t.write("Movies/Sub/clip.mkv", "c");
  t.write("Movies/Sub/Deeper/x.srt", "x");
  const std::string root = t.path("Movies");
  const std::string gone = t.path("gone");
  const std::string file = t.path("Movies/a.mkv");

  struct query_case {
    const char* what;
    const char* root;
    const char* id;
    int files;
    int code;
    const char* message;
  };
  const query_case CASES[] = {
      {"no root", nullptr, "a.mkv", 0, VORN3S_EBADARG, "root_path"},
      {"empty root", "", nullptr, 1, VORN3S_EBADARG, "root_path"},
      {"dot-dot", root.c_str(), "a/../b", 0, VORN3S_EESCAPE, "refused (D3)"},
      {"dot-dot glued", root.c_str(), "Sub..", 1, VORN3S_EESCAPE, "refused (D3)"},
      {"leading slash", root.c_str(), "/etc", 0, VORN3S_EESCAPE, "refused (D3)"},
      {"leading backslash", root.c_str(), "\\Sub", 0, VORN3S_EESCAPE, "refused (D3)"},
      {"missing entry", root.c_str(), "missing", 0, VORN3S_ENOTFOUND, "no entry"},
      {"missing root", gone.c_str(), "Sub", 0, VORN3S_ENOTFOUND, "no entry"},
      {"root not a folder, no id", file.c_str(), "", 0, VORN3S_ENOTFOUND, "no entry"},
      {"missing root, no id", gone.c_str(), nullptr, 0, VORN3S_ENOTFOUND, "no entry"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.what);
    const outcome l = query(c.root, c.id, c.files);
    EXPECT_EQ(l.text, "");
    EXPECT_EQ(l.code, c.code);
    EXPECT_EQ(l.message, c.message);
  }

  // A backslash elsewhere in the ID is joined like any other byte; the record's Name is
  // what follows the last separator of either kind.
  outcome l = query(root.c_str(), "b\\c.mkv", 0);
  EXPECT_EQ(l.code, 0);
  EXPECT_EQ(
      l.text,
      R"({"Name":"c.mkv","ContentType":"video","FileType":".mkv","Folder":"Movies","FullName":"b\\c.mkv"})");

  l = query(root.c_str(), "Sub", 1);
  EXPECT_EQ(l.code, 0);
  EXPECT_EQ(l.message, "ok");
  EXPECT_EQ(l.text, files_of(t.path("Movies/Sub"), "Sub", "Movies"));
  l = query(root.c_str(), "Sub", 0);
  EXPECT_EQ(l.text, "[" + folder_record("Deeper", "Sub/Deeper", true) + "]");
  l = query(root.c_str(), "Sub/Deeper", 0);
  EXPECT_EQ(l.text, "[]");
  EXPECT_EQ(l.message, "ok");
}

TEST(vorn3s_listing_json, file_id_gives_one_bare_record) {
  temp_tree t;
  t.write("Films/clip.mkv", "c");
  t.write("Films/song.mp3", "s");
  t.write("Films/Sub/README", "r");
  const std::string root = t.path("Films");
  struct file_case {
    const char* id;
    const char* text;
  };
  static const file_case CASES[] = {
      {"clip.mkv",
       R"({"Name":"clip.mkv","ContentType":"video","FileType":".mkv","Folder":"Films","FullName":"clip.mkv"})"},
      // Always "video" here, unlike the records of the folder listings.
      {"song.mp3",
       R"({"Name":"song.mp3","ContentType":"video","FileType":".mp3","Folder":"Films","FullName":"song.mp3"})"},
      {"Sub/README",
       R"({"Name":"README","ContentType":"video","FileType":"","Folder":"Films","FullName":"Sub/README"})"},
      {"./Sub//README",
       R"({"Name":"README","ContentType":"video","FileType":"","Folder":"Films","FullName":"./Sub//README"})"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.id);
    const outcome l = query(root.c_str(), c.id, 0);
    EXPECT_EQ(l.code, 0);
    EXPECT_EQ(l.text, c.text);
    EXPECT_EQ(query(root.c_str(), c.id, 1).text, c.text);
  }
  // The folder text is the root's base name as passed, so a trailing "/" leaves it empty.
  const outcome l = query((root + "/").c_str(), "clip.mkv", 0);
  EXPECT_EQ(
      l.text,
      R"({"Name":"clip.mkv","ContentType":"video","FileType":".mkv","Folder":"","FullName":"clip.mkv"})");
}

TEST(vorn3s_listing_json, without_id_lists_sub_folders_not_files) {
  temp_tree t;
  t.write("Films/clip.mkv", "c");
  t.write("Films/Sub/x.mkv", "x");
  t.mkdir("Films/Empty");
  const std::string root = t.path("Films");
  for (int files = 0; files <= 1; files++) {
    SCOPED_TRACE(files);
    const outcome l = query(root.c_str(), files ? "" : nullptr, files);
    EXPECT_EQ(l.code, 0);
    EXPECT_EQ(l.text, folders_of(root, ""));
    EXPECT_NE(l.text.find(folder_record("Sub", "Sub", true)), std::string::npos);
    EXPECT_NE(l.text.find(folder_record("Empty", "Empty", false)), std::string::npos);
    EXPECT_EQ(l.text.find("clip.mkv"), std::string::npos);
  }
}

TEST(vorn3s_listing_json, registered_root_without_id_lists_every_live_root) {
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  t.mkdir("Music/.thumbs");
  t.write("single/clip.mp4", "c");
  t.write("Gone/x.mkv", "x");
  ASSERT_EQ(vorn3s_add_root(t.path("Movies").c_str()), 0);
  ASSERT_EQ(vorn3s_add_root(t.path("Gone").c_str()), 1);
  ASSERT_EQ(vorn3s_add_root(t.path("Music").c_str()), 2);
  ASSERT_EQ(vorn3s_add_root(t.path("single/clip.mp4").c_str()), 3);
  ASSERT_EQ(vorn3s_remove_root(t.path("Gone").c_str()), 0);
  const std::string want = "[" + folder_record("Movies", "Movies", true) + "," +
                           folder_record("Music", "Music", false) + "," +
                           folder_record("clip.mp4", "clip.mp4", false) + "]";
  for (const char* root : {"Movies", "Music", "single/clip.mp4"}) {
    SCOPED_TRACE(root);
    const outcome l = query(t.path(root).c_str(), "", 0);
    EXPECT_EQ(l.code, 0);
    EXPECT_EQ(l.text, want);
  }
  // Only the exact canonical text counts: another form lists that folder itself.
  const outcome l = query((t.path("Movies") + "/").c_str(), nullptr, 0);
  EXPECT_EQ(l.text, "[]");
  // A removed root is just a folder again.
  EXPECT_EQ(query(t.path("Gone").c_str(), nullptr, 0).text, "[]");
}

TEST(vorn3s_listing_json, folder_that_cannot_be_opened) {
  SKIP_ON_WINDOWS(NEEDS_MODES);
#if !defined(_WIN32)
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop the superuser from reading";
  temp_tree t;
  t.write("Movies/Locked/x.mkv", "x");
  const std::string root = t.path("Movies");
  ASSERT_EQ(::chmod(t.path("Movies/Locked").c_str(), 0), 0);
  for (int files = 0; files <= 1; files++) {
    const outcome l = query(root.c_str(), "Locked", files);
    EXPECT_EQ(l.text, "");
    EXPECT_EQ(l.code, VORN3S_ENOTFOUND);
    EXPECT_EQ(l.message, "opendir");
  }
  ASSERT_EQ(::chmod(root.c_str(), 0), 0);
  const outcome l = query(root.c_str(), nullptr, 0);
  EXPECT_EQ(l.code, VORN3S_ENOTFOUND);
  EXPECT_EQ(l.message, "opendir");
  ::chmod(root.c_str(), 0700);
  ::chmod(t.path("Movies/Locked").c_str(), 0700);
#endif
}

TEST(vorn3s_listing_json, long_listing_is_cut_and_failures_leave_the_buffer) {
  temp_tree t;
  const std::string name(200, 'n');
  for (int i = 0; i < 700; i++) t.write("Big/" + std::to_string(i) + name, "");
  const std::string root = t.path("Big");
  const char* text = vorn3s_listing_json(t.root.c_str(), "Big", 1);
  const std::string whole = files_of(root, "Big", t.root.substr(t.root.find_last_of("/\\") + 1).c_str());
  ASSERT_GT(whole.size(), RESULT_MAX);
  ASSERT_EQ(vorn3s_last_code(), 0);
  EXPECT_EQ(std::string(text), whole.substr(0, RESULT_MAX));

  // A failed call returns the empty text and leaves the last result where it was.
  EXPECT_STREQ(vorn3s_listing_json(t.root.c_str(), "../x", 1), "");
  EXPECT_EQ(std::string(text), whole.substr(0, RESULT_MAX));
}
