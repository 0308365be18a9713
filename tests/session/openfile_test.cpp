// SPDX-License-Identifier: MIT
// OpenFile and Subtitle over a real connection: which arguments open a file and which
// leave none open, the subtitle files found beside a video with their Base64, and the
// links and pipes among them that must never be read.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/test_client.h"

namespace {

const std::string HANDSHAKE_REPLY = R"({"Version":3,"Platform":"quorvane-c"})";

// The records for `wanted` (name to contents) in the order the folder gives them.
std::string subtitles_in_dir_order(const std::string& dir,
                                   const std::vector<std::pair<std::string, std::string>>& wanted) {
  std::string out = "[";
  bool first = true;
  for (const auto& name : dir_order(dir)) {
    for (const auto& [n, bytes] : wanted) {
      if (n != name) continue;
      out += (first ? "" : ",") + subtitle_record(n, bytes);
      first = false;
    }
  }
  return out + "]";
}

std::string full_name(const std::string& id) { return "{\"FullName\":\"" + id + "\"}"; }

std::string subtitle(test_client& c, const std::string& filejson) {
  if (!c.send_code(ACT_SUBTITLE) || !c.send_string(filejson)) return "<send failed>";
  return c.recv_string().value_or("<no reply>");
}

std::optional<int64_t> size_of_open_file(test_client& c) {
  if (!c.send_code(ACT_SIZE)) return std::nullopt;
  return c.recv_i64();
}

}  // namespace

// Movies: a.mkv (4096 bytes), Sub/deep.mkv (77); Outside/secret.mkv (55) beside it; and
// solo.mkv (33) as a root of its own.
class openfile : public ::testing::Test {
 protected:
  temp_tree tree;
  void SetUp() override {
    tree.write_size("Movies/a.mkv", 4096);
    tree.write_size("Movies/Sub/deep.mkv", 77);
    tree.write_size("Outside/secret.mkv", 55);
    tree.write_size("solo.mkv", 33);
  }
};

// The same with Movies/inside.mkv -> Sub/deep.mkv, Movies/out.mkv -> the file outside,
// and Movies/pipe.mkv a FIFO.
class openfile_links : public openfile {
 protected:
  void SetUp() override {
    SKIP_ON_WINDOWS(NEEDS_LINKS);
    openfile::SetUp();
    tree.symlink(tree.path("Movies/Sub/deep.mkv"), "Movies/inside.mkv");
    tree.symlink(tree.path("Outside/secret.mkv"), "Movies/out.mkv");
    tree.fifo("Movies/pipe.mkv");
  }
};

TEST_F(openfile, arguments_that_name_a_file_open_it_from_its_start) {
  test_server srv({tree.path("Movies"), tree.path("solo.mkv")});
  struct open_case {
    std::string arg;
    int64_t size;
  };
  const open_case cases[] = {
      {R"({"Name":"a.mkv","ContentType":"video","FileType":".mkv","Folder":"Movies","FullName":"Movies/a.mkv"})",
       4096},
      {R"({"Name":"a.mkv"})", 4096},
      {R"({"Folder":"Movies","Name":"a.mkv"})", 4096},
      {full_name("Movies/Sub/deep.mkv"), 77},
      {full_name("solo.mkv"), 33},
      {R"({"Name":"solo.mkv"})", 33},
  };
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  for (const auto& oc : cases) {
    SCOPED_TRACE(oc.arg);
    open_file(c, oc.arg);
    EXPECT_EQ(size_of_open_file(c), oc.size);
    ASSERT_TRUE(c.send_code(ACT_READ));
    ASSERT_TRUE(c.send_u32(3));
    EXPECT_EQ(c.recv_exact(3), pattern_bytes(0, 3));
  }
}

TEST_F(openfile_links, a_link_that_stays_inside_the_root_opens_its_target) {
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  open_file(c, full_name("Movies/inside.mkv"));
  EXPECT_EQ(size_of_open_file(c), 77);
}

// Whatever the reason an argument names no file, nothing is sent, the file open before
// is closed, and the session goes on.
static void expect_no_file_opened(int port, const std::vector<std::string>& failing) {
  test_client c;
  ASSERT_TRUE(c.connect_to(port));
  for (const auto& arg : failing) {
    SCOPED_TRACE(arg);
    open_file(c, full_name("Movies/a.mkv"));
    ASSERT_EQ(size_of_open_file(c), 4096);
    open_file(c, arg);
    EXPECT_EQ(size_of_open_file(c), 0);
    ASSERT_TRUE(c.send_code(ACT_READ));
    ASSERT_TRUE(c.send_u32(4));
    EXPECT_EQ(c.recv_exact(4), std::string(4, '\0'));
  }
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);
}

TEST_F(openfile, arguments_that_name_no_file_close_the_open_one) {
  test_server srv({tree.path("Movies"), tree.path("solo.mkv")});
  expect_no_file_opened(
      srv.port, {
                    "not json",
                    "[1]",
                    "{}",
                    R"({"FullName":5})",
                    R"({"FullName":"Movies/a.mkv",})",
                    R"({"FullName":"Movies/missing.mkv","Name":"a.mkv"})",  // no fallback for a full ID
                    full_name("Movies/Sub"),
                    R"({"Name":"Sub"})",  // found by name, but a folder
                    full_name("Movies/../Movies/a.mkv"),
                    R"({"Name":"Solo.mkv"})",
                });
}

TEST_F(openfile_links, links_out_of_the_root_and_pipes_close_the_open_one) {
  test_server srv({tree.path("Movies")});
  expect_no_file_opened(srv.port, {
                                      full_name("Movies/out.mkv"),  // a link leading out of the root
                                      R"({"Name":"out.mkv"})",
                                      full_name("Movies/pipe.mkv"),
                                      R"({"Name":"pipe.mkv"})",
                                  });
}

TEST_F(openfile, opening_the_same_file_again_starts_it_over) {
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  open_file(c, full_name("Movies/a.mkv"));
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(10));
  ASSERT_EQ(c.recv_exact(10), pattern_bytes(0, 10));
  open_file(c, full_name("Movies/a.mkv"));
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(10));
  EXPECT_EQ(c.recv_exact(10), pattern_bytes(0, 10));
}

TEST(subtitle, finds_the_subtitle_files_with_the_stem_in_directory_order) {
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 100);
  tree.write("Movies/film.srt", "1\n00:00:01,000 --> 00:00:02,000\nhello\n");
  tree.write("Movies/film.en.ass", "[Script Info]\n");
  tree.write("Movies/film.txt", "plain");
  tree.write("Movies/other.srt", "not ours");
  tree.mkdir("Movies/film.sub");
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(
      subtitle(c, full_name("Movies/film.mkv")),
      subtitles_in_dir_order(tree.path("Movies"), {{"film.srt", "1\n00:00:01,000 --> 00:00:02,000\nhello\n"},
                                                   {"film.en.ass", "[Script Info]\n"},
                                                   {"film.txt", "plain"}}));
}

TEST(subtitle, base64_of_every_length_and_alphabet_corner) {
  temp_tree tree;
  tree.write_size("Pad/v.mkv", 10);
  struct b64_case {
    const char* name;
    std::string bytes;
    const char* b64;
  };
  const b64_case cases[] = {
      {"v.0.srt", "", ""},
      {"v.1.srt", "a", "YQ=="},
      {"v.2.srt", "ab", "YWI="},
      {"v.3.srt", "abc", "YWJj"},
      {"v.4.srt", std::string("\xff\xfe\x00\x01", 4), "//4AAQ=="},
      {"v.5.srt", "\xfb\xef\xbe", "++++"},
  };
  for (const auto& bc : cases) tree.write(std::string("Pad/") + bc.name, bc.bytes);
  test_server srv({tree.path("Pad")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  std::string want = "[";
  for (const auto& name : dir_order(tree.path("Pad"))) {
    for (const auto& bc : cases) {
      if (name == bc.name) want += (want.size() > 1 ? "," : "") + subtitle_record_b64(bc.name, bc.b64);
    }
  }
  want += "]";
  EXPECT_EQ(subtitle(c, full_name("Pad/v.mkv")), want);
}

// The stem comes from "Name" when one is given, compared with regard to case.
TEST(subtitle, stem_from_the_given_name_is_case_sensitive) {
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 10);
  tree.write("Movies/film.srt", "f");
  tree.write("Movies/other.srt", "o");
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(subtitle(c, R"({"FullName":"Movies/film.mkv","Name":"Film.mkv"})"), "[]");
  EXPECT_EQ(subtitle(c, R"({"FullName":"Movies/film.mkv","Name":"other.mkv"})"),
            "[" + subtitle_record("other.srt", "o") + "]");
  EXPECT_EQ(subtitle(c, R"({"Name":"film.mkv"})"), "[" + subtitle_record("film.srt", "f") + "]");
}

TEST(subtitle, file_of_exactly_sub_max_bytes_is_taken_and_one_over_is_not) {
  ASSERT_EQ(vorn3s_config("sub_max_bytes", "1024"), 0);
  temp_tree tree;
  tree.write_size("Lim/v.mkv", 10);
  tree.write_size("Lim/v.at.srt", 1024);
  tree.write_size("Lim/v.over.srt", 1025);
  test_server srv({tree.path("Lim")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(subtitle(c, full_name("Lim/v.mkv")),
            "[" + subtitle_record("v.at.srt", pattern_bytes(0, 1024)) + "]");
}

#if !defined(_WIN32)  // the count of bytes read comes from /proc
// A reply over max_string ends the session. Whether a candidate's Base64 fits is known
// from its size, so the candidate that makes the reply too long is never read: the
// system's count of the bytes this process read shows it, also for a sparse file of
// 8 MiB that takes no room on disk.
TEST(subtitle, reply_over_max_string_ends_the_session_without_reading_it) {
  struct long_case {
    const char* max_string;  // null: the default
    size_t size;
    bool sparse;
  };
  static const long_case CASES[] = {{"256", 300, false}, {nullptr, 8388608, true}};
  for (const auto& lc : CASES) {
    SCOPED_TRACE(lc.size);
    ASSERT_EQ(vorn3s_config("max_string", lc.max_string), 0);
    temp_tree tree;
    tree.write_size("Long/v.mkv", 10);
    if (lc.sparse) {
      tree.sparse("Long/v.srt", lc.size);
    } else {
      tree.write_size("Long/v.srt", lc.size);
    }
    test_server srv({tree.path("Long")});
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    // The session runs before the count is taken: only the Subtitle action is counted.
    ASSERT_TRUE(c.send_code(ACT_SIZE));
    ASSERT_EQ(c.recv_i64(), 0);
    const uint64_t before = process_bytes_read();
    ASSERT_TRUE(c.send_code(ACT_SUBTITLE));
    ASSERT_TRUE(c.send_string(full_name("Long/v.mkv")));
    EXPECT_TRUE(c.closed_by_peer());
    EXPECT_LT(process_bytes_read() - before, lc.size);
  }
}
#endif

// Unlike OpenFile, a Subtitle argument that does not parse or resolve ends the session.
TEST(subtitle, argument_that_names_no_video_ends_the_session_without_reply) {
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 10);
  tree.write("Movies/film.srt", "f");
  test_server srv({tree.path("Movies")});
  const std::string failing[] = {
      "not json",
      "[]",
      "{}",
      full_name("Movies/missing.mkv"),
      R"({"Name":"nothing.mkv"})",
      full_name("Movies/../Movies/film.mkv"),
  };
  for (const auto& arg : failing) {
    SCOPED_TRACE(arg);
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    ASSERT_TRUE(c.send_code(ACT_SUBTITLE));
    ASSERT_TRUE(c.send_string(arg));
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST(subtitle, no_candidate_answers_empty_array_and_resets_the_unknown_count) {
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 10);
  tree.write("Movies/other.srt", "o");
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  std::string unknown;
  for (int i = 0; i < 15; i++) unknown += be32(11);
  ASSERT_TRUE(c.send_raw(unknown));
  EXPECT_EQ(subtitle(c, full_name("Movies/film.mkv")), "[]");
  ASSERT_TRUE(c.send_raw(unknown));
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);
}

// Candidates are read only where the video's root allows: a link beside the video may
// lead to another subtitle in the root, never out of it; pipes, folders and dangling
// links with subtitle names are passed over without blocking.
TEST(subtitle, links_and_pipes_beside_a_video_in_a_folder_root) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree tree;
  tree.write_size("Sec/film.mkv", 10);
  tree.write("Sec/film.de.srt", "de");
  tree.write("Sec/Other/real.srt", "real");
  tree.write("Outside/secret.srt", "secret");
  tree.symlink(tree.path("Outside/secret.srt"), "Sec/film.srt");
  tree.symlink(tree.path("Sec/Other/real.srt"), "Sec/film.en.srt");
  tree.symlink(tree.path("Sec/Other"), "Sec/film.dir.srt");
  tree.symlink(tree.path("Sec/none.srt"), "Sec/film.dangling.srt");
  tree.fifo("Sec/film.fifo.srt");
  test_server srv({tree.path("Sec")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  EXPECT_EQ(subtitle(c, full_name("Sec/film.mkv")),
            subtitles_in_dir_order(tree.path("Sec"), {{"film.de.srt", "de"}, {"film.en.srt", "real"}}));
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);
}

// With a single file as its root, only files lying directly in its own folder are read.
TEST(subtitle, single_file_root_reads_only_its_own_folder) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree tree;
  tree.write_size("Solo/film.mkv", 10);
  tree.write("Solo/film.srt", "beside");
  tree.write("Elsewhere/film.srt", "elsewhere");
  tree.symlink(tree.path("Elsewhere/film.srt"), "Solo/film.en.srt");
  tree.symlink(tree.path("Solo/film.srt"), "Solo/film.same.srt");
  tree.fifo("Solo/film.fifo.srt");
  test_server srv({tree.path("Solo/film.mkv")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  const std::string want =
      subtitles_in_dir_order(tree.path("Solo"), {{"film.srt", "beside"}, {"film.same.srt", "beside"}});
  EXPECT_EQ(subtitle(c, full_name("film.mkv")), want);
  EXPECT_EQ(subtitle(c, R"({"Name":"film.mkv"})"), want);
}
