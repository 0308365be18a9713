// SPDX-License-Identifier: MIT
// Folder and file records byte for byte and the listings of one folder built from them;
// the exported listing query has its own file, listing_query_test.cpp.
#include <gtest/gtest.h>
#if !defined(_WIN32)
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "catalogue/listing.h"
#include "plat/plat.h"
#include "server/roots.h"
#include "server/vorn3s.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "util/strbuf.h"

namespace {

// The mixed folder most listings here look at.
void make_movies(const temp_tree& t) {
  t.write("Movies/a.mkv", "a");
  t.write("Movies/song.mp3", "s");
  t.write("Movies/notes.txt", "n");
  t.write("Movies/.hidden.mkv", "h");
  t.write("Movies/Sub/x.mkv", "x");
}

// The file records of the visible files make_movies writes.
std::map<std::string, std::string> movies_records() {
  return {
      {"a.mkv", file_record("a.mkv", ".mkv", "video", "Movies", "Movies/a.mkv")},
      {"song.mp3", file_record("song.mp3", ".mp3", "audio", "Movies", "Movies/song.mp3")},
      {"notes.txt", file_record("notes.txt", ".txt", "video", "Movies", "Movies/notes.txt")},
  };
}

// The files of `dir` are the `records` of its names, in directory order, and its one
// folder is Sub.
void expect_movies_listings(const std::string& dir, const std::map<std::string, std::string>& records) {
  EXPECT_EQ(files_of(dir, "Movies", "Movies"), in_dir_order(dir, records));
  EXPECT_EQ(folders_of(dir, "Movies"), "[" + folder_record("Sub", "Movies/Sub", true) + "]");
}

}  // namespace

TEST(listing_records, folder_and_file_records_byte_for_byte) {
  strbuf sb;
  folder_json(&sb, "Sub", "Movies/Sub", 1);
  folder_json(&sb, "E", "", 0);
  EXPECT_STREQ(sb_text(&sb), R"({"Name":"Sub","FullName":"Movies/Sub","HasSubFolder":true})"
                             R"({"Name":"E","FullName":"","HasSubFolder":false})");
  sb_reset(&sb);
  file_json(&sb, "Song.FLAC", ".FLAC", nullptr, "Movies/Song.FLAC");
  EXPECT_STREQ(sb_text(&sb), file_record("Song.FLAC", ".FLAC", "audio", "", "Movies/Song.FLAC").c_str());
  sb_reset(&sb);
  // Names are JSON strings: quotes, backslashes and control bytes are escaped.
  file_json(&sb, "a\"b\\c\x01.mkv", ".mkv", "F\"", "M/a\"b\\c\x01.mkv");
  EXPECT_STREQ(sb_text(&sb), R"({"Name":"a\"b\\c\u0001.mkv","ContentType":"video","FileType":".mkv",)"
                             R"("Folder":"F\"","FullName":"M/a\"b\\c\u0001.mkv"})");
}

TEST(listing_files_host, lists_visible_files_in_directory_order) {
  temp_tree t;
  make_movies(t);
  t.write("Movies/README", "r");
  auto records = movies_records();
  records["README"] = file_record("README", "", "video", "Movies", "Movies/README");
  expect_movies_listings(t.path("Movies"), records);
}

TEST(listing_files_host, lists_links_to_files_but_not_pipes_or_dangling_links) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  make_movies(t);
  t.fifo("Movies/pipe.mkv");
  t.symlink("a.mkv", "Movies/link.mkv");
  t.symlink("missing.mkv", "Movies/dangling.mkv");
  auto records = movies_records();
  records["link.mkv"] = file_record("link.mkv", ".mkv", "video", "Movies", "Movies/link.mkv");
  expect_movies_listings(t.path("Movies"), records);
}

TEST(listing_files_host, empty_prefix_names_children_alone) {
  temp_tree t;
  make_movies(t);
  const std::string dir = t.path("Movies");
  EXPECT_EQ(folders_of(dir, ""), "[" + folder_record("Sub", "Sub", true) + "]");
  EXPECT_EQ(files_of(t.path("Movies/Sub"), "", nullptr),
            "[" + file_record("x.mkv", ".mkv", "video", "", "x.mkv") + "]");
  t.mkdir("Empty");
  EXPECT_EQ(files_of(t.path("Empty"), "E", "E"), "[]");
  EXPECT_EQ(folders_of(t.path("Empty"), "E"), "[]");
}

TEST(listing_folders_host, has_sub_folder_counts_visible_entries_only) {
  temp_tree t;
  t.write("Top/srt-only/x.srt", "s");
  t.mkdir("Top/thumbs-only/.thumbs");
  t.write("Top/dot-file-only/.keep", "");
  t.mkdir("Top/empty");
  t.mkdir("Top/nested/inner");
  t.mkdir("Top/.hidden");
  t.write("Top/file.mkv", "f");
  const std::string dir = t.path("Top");
  const std::string want =
      in_dir_order(dir, {
                            {"srt-only", folder_record("srt-only", "T/srt-only", true)},
                            {"thumbs-only", folder_record("thumbs-only", "T/thumbs-only", false)},
                            {"dot-file-only", folder_record("dot-file-only", "T/dot-file-only", false)},
                            {"empty", folder_record("empty", "T/empty", false)},
                            {"nested", folder_record("nested", "T/nested", true)},
                        });
  EXPECT_EQ(folders_of(dir, "T"), want);
}

TEST(listing_folders_host, a_link_to_a_folder_is_a_folder) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  t.mkdir("Top/nested/inner");
  t.symlink("nested", "Top/link-to-folder");
  const std::string dir = t.path("Top");
  const std::string want =
      in_dir_order(dir, {
                            {"nested", folder_record("nested", "T/nested", true)},
                            {"link-to-folder", folder_record("link-to-folder", "T/link-to-folder", true)},
                        });
  EXPECT_EQ(folders_of(dir, "T"), want);
}

TEST(listing_folders_host, unreadable_folders) {
  temp_tree t;
  t.write("Top/locked/x.mkv", "x");
  strbuf sb;
  sb_puts(&sb, "kept");
  EXPECT_EQ(listing_folders_host(t.path("missing").c_str(), "M", &sb), VORN3S_ENOTFOUND);
  EXPECT_EQ(listing_files_host(t.path("missing").c_str(), "M", "M", &sb), VORN3S_ENOTFOUND);
  EXPECT_EQ(listing_files_host(t.path("Top/locked/x.mkv").c_str(), "M", "M", &sb), VORN3S_ENOTFOUND);
  EXPECT_STREQ(sb_text(&sb), "kept");
  SKIP_ON_WINDOWS(NEEDS_MODES);
#if !defined(_WIN32)
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop the superuser from reading";
  ASSERT_EQ(::chmod(t.path("Top/locked").c_str(), 0), 0);
  // The folder that cannot be opened is listed, with nothing worth opening inside.
  EXPECT_EQ(folders_of(t.path("Top"), "T"), "[" + folder_record("locked", "T/locked", false) + "]");
  EXPECT_EQ(listing_files_host(t.path("Top/locked").c_str(), "M", "M", &sb), VORN3S_ENOTFOUND);
  EXPECT_STREQ(sb_text(&sb), "kept");
  ::chmod(t.path("Top/locked").c_str(), 0700);
#endif
}

TEST(listing_files_host, children_that_would_not_fit_are_left_out) {
  // A cut ID or path could name another entry; such a child is not listed at all.
  temp_tree t;
  t.write("Movies/a.mkv", "a");
  const std::string dir = t.path("Movies");
  const std::string prefix(CHILD_ID_CAP - 1 - std::strlen("/a.mkv"), 'p');
  EXPECT_EQ(files_of(dir, prefix.c_str(), "F"),
            "[" + file_record("a.mkv", ".mkv", "video", "F", prefix + "/a.mkv") + "]");
  const std::string longer = prefix + "q";
  EXPECT_EQ(files_of(dir, longer.c_str(), "F"), "[]");
}

// Once the text is longer than the limit the walk stops: what it built is the start of
// the whole listing, and at most about one record more than the limit.
TEST(listing_files_host, stops_once_the_text_passes_its_limit) {
  temp_tree t;
  for (int i = 0; i < 40; i++) {
    t.write("Many/" + std::to_string(i) + ".mkv", "");
    t.mkdir("Many/d" + std::to_string(i));
  }
  const std::string dir = t.path("Many");
  for (bool folders : {false, true}) {
    SCOPED_TRACE(folders ? "folders" : "files");
    const auto list = [&](strbuf* sb, size_t limit) {
      return folders ? listing_folders_host(dir.c_str(), "M", sb, limit)
                     : listing_files_host(dir.c_str(), "M", "M", sb, limit);
    };
    const std::string whole = folders ? folders_of(dir, "M") : files_of(dir, "M", "M");
    for (size_t limit : {size_t{0}, size_t{100}, whole.size() / 2, whole.size() - 1}) {
      SCOPED_TRACE(limit);
      strbuf sb;
      EXPECT_EQ(list(&sb, limit), VORN3S_ELIMIT);
      const std::string got = sb_text(&sb);
      EXPECT_GT(got.size(), limit);
      EXPECT_LT(got.size(), limit + 200);
      EXPECT_EQ(got, whole.substr(0, got.size()));
    }
    strbuf sb;
    EXPECT_EQ(list(&sb, whole.size()), 0);
    EXPECT_EQ(sb_text(&sb), whole);
  }
}

// The walks over all roots work on a snapshot: a root removed and added again while a
// walk is under way changes nothing in that walk's reply; the next walk sees the table
// as it is then, the root added again now last.
TEST(listing_roots, walks_keep_the_roots_their_snapshot_saw) {
  temp_tree t;
  t.write("B/b.mkv", "b");
  t.write("A/a.mkv", "a");
  t.write("A/.keep", "");
  t.write("D/.keep", "");
  t.write("clip.mp4", "c");
  for (const char* r : {"B", "A", "D", "clip.mp4"}) ASSERT_GE(vorn3s_add_root(t.path(r).c_str()), 0);
  const std::string b = file_record("b.mkv", "B", "B/b.mkv");
  const std::string a = file_record("a.mkv", "A", "A/a.mkv");
  const std::string clip = file_record("clip.mp4", "clip.mp4", "clip.mp4");

  roots_snapshot during;
  roots_snapshot_take(roots_get(), &during);
  ASSERT_EQ(vorn3s_remove_root(t.path("B").c_str()), 0);
  ASSERT_EQ(vorn3s_add_root(t.path("B").c_str()), 4);
  strbuf files;
  EXPECT_EQ(listing_root_files(during, &files, SIZE_MAX), 0);
  EXPECT_EQ(sb_text(&files), "[" + b + "," + a + "," + clip + "]");

  roots_snapshot after;
  roots_snapshot_take(roots_get(), &after);
  sb_reset(&files);
  EXPECT_EQ(listing_root_files(after, &files, SIZE_MAX), 0);
  EXPECT_EQ(sb_text(&files), "[" + a + "," + clip + "," + b + "]");

  struct probe_case {
    root_probe probe;
    bool a, d;  // HasSubFolder of A (a file and .keep) and of D (.keep alone)
  };
  static const probe_case PROBES[] = {
      {root_probe::none, true, true},
      {root_probe::any_entry, true, true},
      {root_probe::visible_entry, true, false},
  };
  for (const auto& p : PROBES) {
    SCOPED_TRACE(static_cast<int>(p.probe));
    strbuf folders;
    listing_root_folders(after, p.probe, &folders);
    EXPECT_EQ(sb_text(&folders), "[" + folder_record("A", "A", p.a) + "," + folder_record("D", "D", p.d) + "," +
                                     folder_record("clip.mp4", "clip.mp4", false) + "," +
                                     folder_record("B", "B", true) + "]");
  }
}
