// SPDX-License-Identifier: MIT
// The console program's one-shot commands run as a child process: the dispatch with its
// usage text, the protocol probes, and the argument rules of resolve and listing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/subprocess.h"

namespace {

const std::string USAGE =
    "usage:\n"
    "  quorvane-tessaline-vorn-v3-tcp-media-server serve --bind IP [--port N] [--platform P]\n"
    "        [--order auto|big|little] --root PATH [--root PATH...]\n"
    "        stdin: add PATH | remove PATH | roots | status | quit\n"
    "  ... resolve ROOT PATH | listing ROOT [ID] [--files] | subtitles ROOT FILEJSON\n"
    "  ... handshake | frame ACTION | version | selftest\n";

const std::string HANDSHAKE = R"({"Version":3,"Platform":"quorvane-c"})";

using args = std::vector<std::string>;

std::string joined(const args& a) {
  std::string s;
  for (const auto& w : a) s += "[" + w + "]";
  return s;
}

}  // namespace

TEST(cli_dispatch, malformed_command_lines_print_usage_only) {
  static const args CASES[] = {
      {},
      {"VERSION"},
      {"versionx"},
      {"Version", "x"},
      {""},
      {"frame"},
      {"frame", "1", "2"},
      {"resolve", "/"},
      {"resolve", "a", "b", "c"},
      {"subtitles", "/"},
      {"subtitles", "a", "b", "c"},
      {"listing"},
      {"bogus"},
      {"--help"},
      {"serve"},
      {"serve", "--bind"},
      {"serve", "--bind", "127.0.0.1", "--bogus", "x"},
      {"serve", "--bind", "127.0.0.1", "--port"},
      {"serve", "--BIND", "127.0.0.1"},
      {"serve", "--root", "/"},
      {"serve", "--port", "0", "--root", "/"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(joined(c));
    const run_result r = run_cli(c);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, USAGE);
  }
}

TEST(cli_probes, print_their_line_exactly) {
  struct probe_case {
    args argv;
    std::string out;
  };
  const probe_case CASES[] = {
      {{"version"}, "1.0.0\n"},
      {{"version", "extra", "args"}, "1.0.0\n"},
      {{"handshake"}, HANDSHAKE + "\n"},
      {{"handshake", "x"}, HANDSHAKE + "\n"},
      {{"selftest"}, "version=1.0.0 handshake=" + HANDSHAKE + " seekread=SeekRead\n"},
      {{"selftest", "x", "y"}, "version=1.0.0 handshake=" + HANDSHAKE + " seekread=SeekRead\n"},
      {{"frame", "3320"}, "HandShake\n"},
      {{"frame", "10"}, "SeekRead\n"},
      {{"frame", "0"}, "End\n"},
      {{"frame", "11"}, "Unknown\n"},
      {{"frame", "-1"}, "Unknown\n"},
      {{"frame", "4000"}, "Unknown\n"},
      {{"frame", "abc"}, "End\n"},
      {{"frame", "7x"}, "Seek\n"},
      {{"frame", " 8"}, "Subtitle\n"},
      {{"frame", "+9"}, "SubFolders\n"},
      {{"frame", ""}, "End\n"},
      {{"frame", "seekread"}, "000004000000000000001000\n"},
      {{"frame", "handshake"}, "00000cf8\n"},
      {{"frame", "HandShake"}, "End\n"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(joined(c.argv));
    const run_result r = run_cli(c.argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

// The line is "code message path"; on failure the path is empty, which leaves a blank
// before the line feed.
TEST(cli_resolve, prints_one_line_and_maps_the_code_to_the_status) {
  temp_tree tree;
  tree.write_size("Movies/clip.mkv", 10);
  const std::string movies = tree.path("Movies");
  struct resolve_case {
    std::string root, rel;
    int status;
    std::string out;
  };
  const resolve_case CASES[] = {
      {movies, "", 0, "0 resolved " + movies + "\n"},
      {movies, "clip.mkv", 0, "0 resolved " + tree.path("Movies/clip.mkv") + "\n"},
      {movies + "/", "./clip.mkv", 0, "0 resolved " + tree.path("Movies/clip.mkv") + "\n"},
      {movies, "../x", 3, "-7 refused (D3) \n"},
      {movies, "/etc", 3, "-7 refused (D3) \n"},
      {movies, "missing.mkv", 4, "-4 no entry \n"},
      {tree.path("nowhere"), "", 4, "-4 root \n"},
      {"", "x", 4, "-1 root \n"},
      {movies, std::string(1201, 'a'), 4, "-6 too long \n"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.root + " " + c.rel.substr(0, 40));
    const run_result r = run_cli({"resolve", c.root, c.rel});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

// ROOT holds the folder A, which holds the file f.mkv and the empty folder s: the folder
// listing of ROOT, the folder listing of A and the file listing of A look different, so
// each output shows which ID and flag the arguments gave.
TEST(cli_listing, arguments_select_the_id_and_the_flag) {
  temp_tree tree;
  tree.write("Top/A/f.mkv", "x");
  tree.mkdir("Top/A/s");
  const std::string top = tree.path("Top");
  const std::string root_folders = R"([{"Name":"A","FullName":"A","HasSubFolder":true}])";
  const std::string a_folders = R"([{"Name":"s","FullName":"A/s","HasSubFolder":false}])";
  const std::string a_files =
      R"([{"Name":"f.mkv","ContentType":"video","FileType":".mkv","Folder":"Top","FullName":"A/f.mkv"}])";
  struct listing_case {
    args rest;
    std::string out;
  };
  const listing_case CASES[] = {
      {{}, root_folders},
      {{"--files"}, root_folders},
      {{"A"}, a_folders},
      {{"A", "--files"}, a_files},
      {{"--files", "A"}, root_folders},
      {{"A", "B", "C"}, a_folders},
      {{"A", "B", "--files"}, a_files},
      {{"--files", "--files"}, root_folders},
      {{"A", "--files", "B"}, a_folders},
  };
  for (const auto& c : CASES) {
    args argv = {"listing", top};
    argv.insert(argv.end(), c.rest.begin(), c.rest.end());
    SCOPED_TRACE(joined(argv));
    const run_result r = run_cli(argv);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out + "\n");
    EXPECT_EQ(r.err, "");
  }
}

// Paths and IDs that are not ASCII pass from the command line to the output whole: on
// Windows the program reads its arguments in UTF-16 and prints UTF-8.
TEST(cli_queries, names_that_are_not_ascii_pass_whole) {
  temp_tree tree;
  const std::string films = "\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b";  // "Фильмы"
  const std::string clip = "\xe6\x98\xa0\xe7\x94\xbb \xf0\x9d\x84\x9e.mkv";      // CJK and a surrogate pair
  tree.write(films + "/" + clip, "x");
  const std::string root = tree.path(films);

  run_result r = run_cli({"resolve", root, clip});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "0 resolved " + tree.path(films + "/" + clip) + "\n");
  r = run_cli({"listing", tree.root});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, R"([{"Name":")" + films + R"(","FullName":")" + films +
                       R"(","HasSubFolder":true}])"
                       "\n");
  r = run_cli({"listing", tree.root, films, "--files"});
  EXPECT_EQ(r.status, 0);
  const std::string top = tree.root.substr(tree.root.find_last_of("/\\") + 1);
  EXPECT_EQ(r.out, R"([{"Name":")" + clip + R"(","ContentType":"video","FileType":".mkv","Folder":")" + top +
                       R"(","FullName":")" + films + "/" + clip +
                       R"("}])"
                       "\n");
}

// A failed query still prints its (empty) text and a line feed; the status says it failed.
TEST(cli_queries, failures_print_an_empty_line_with_status_1) {
  temp_tree tree;
  tree.write("Movies/clip.mkv", "x");
  const args CASES[] = {
      {"listing", tree.path("missing")},
      {"listing", tree.path("Movies"), "../x"},
      {"listing", ""},
      {"subtitles", tree.path("Movies"), "not json"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(joined(c));
    const run_result r = run_cli(c);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\n");
    EXPECT_EQ(r.err, "");
  }
  const run_result ok = run_cli({"subtitles", tree.path("Movies"), R"({"FullName":"clip.mkv"})"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.out, "[]\n");
}
