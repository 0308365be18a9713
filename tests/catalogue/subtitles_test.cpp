// SPDX-License-Identifier: MIT
// Subtitle discovery: which files beside a video are taken, the exported query with its
// messages, and the bound on where a candidate may really lie.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "catalogue/subtitles.h"
#include "plat/plat.h"
#include "server/vorn3s.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/outcome.h"
#include "util/strbuf.h"

namespace {

constexpr size_t RESULT_MAX = 262143;  // the most text the result buffer gives back

outcome subtitles(const std::string& root, const std::string& json) {
  return query_result(vorn3s_subtitles_json(root.c_str(), json.c_str()));
}

std::string scan(const std::string& video, const char* stem, const std::string& bound, bool folder_only) {
  strbuf sb;
  subtitle_scan(video.c_str(), stem, subtitle_bound{bound.c_str(), folder_only}, &sb);
  return sb_text(&sb);
}

}  // namespace

TEST(rel_of, strips_the_prefix_and_one_separator) {
  struct rel_case {
    const char* path;
    const char* prefix;
    size_t skip;  // bytes skipped; 0 gives the path itself
  };
  static const rel_case CASES[] = {
      {"Movies/Sub/clip.mkv", "Movies", 7},
      {"Movies\\Sub", "Movies", 7},
      {"Movies/", "Movies", 7},
      {"Movies//x", "Movies", 7},
      {"Movies", "Movies", 0},
      {"MoviesX/a", "Movies", 0},
      {"movies/a", "Movies", 0},
      {"Sub/clip.mkv", "Movies", 0},
      {"/a", "", 1},
      {"a", "", 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(std::string(c.path) + " | " + c.prefix);
    EXPECT_EQ(rel_of(c.path, c.prefix), c.path + c.skip);  // a position inside, not a copy
  }
}

TEST(vorn3s_subtitles_json, takes_subtitles_that_contain_the_stem) {
  temp_tree t;
  t.write("Films/Movie.mkv", "video");
  t.write("Films/Movie.srt", "1\n00:00:01,000 --> 00:00:02,000\nHi\n");
  t.write("Films/Movie.EN.SRT", "english");
  // Windows names ignore case: there this name would be Movie.srt itself.
  if (!ON_WINDOWS) t.write("Films/movie.srt", "lower");
  t.write("Films/Movie.nfo", "info");
  t.write("Films/Other.srt", "other");
  t.write("Films/The Movie.vtt", "WEBVTT");
  t.write("Films/.Movie.ass", "hidden but taken");
  t.write("Films/Sub/Movie.srt", "not beside it");
  const std::string root = t.path("Films");
  const std::string want = in_dir_order(
      root, {
                {"Movie.srt", subtitle_record("Movie.srt", "1\n00:00:01,000 --> 00:00:02,000\nHi\n")},
                {"Movie.EN.SRT", subtitle_record("Movie.EN.SRT", "english")},
                {"The Movie.vtt", subtitle_record("The Movie.vtt", "WEBVTT")},
                {".Movie.ass", subtitle_record(".Movie.ass", "hidden but taken")},
            });
  for (const char* json :
       {R"({"FullName":"Movie.mkv"})", R"({"FullName":"Films/Movie.mkv"})", R"({"Name":"Movie.mkv"})",
        R"({"Folder":".","Name":"Movie.mkv"})", R"({"Folder":"Films/","Name":"Movie.mkv"})"}) {
    SCOPED_TRACE(json);
    const outcome a = subtitles(root, json);
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(a.message, "ok");
    EXPECT_EQ(a.text, want);
  }
}

TEST(vorn3s_subtitles_json, stems_without_extension_and_empty_stems) {
  temp_tree t;
  t.write("F/clip", "v");
  t.write("F/clip.srt", "a");
  t.write("F/myclip2.ssa", "b");
  t.write("F/other.srt", "c");
  t.write("F/.mkv", "v");
  const std::string root = t.path("F");
  EXPECT_EQ(subtitles(root, R"({"Name":"clip"})").text,
            in_dir_order(root, {{"clip.srt", subtitle_record("clip.srt", "a")},
                                {"myclip2.ssa", subtitle_record("myclip2.ssa", "b")}}));
  // An empty stem is in every name.
  EXPECT_EQ(subtitles(root, R"({"Name":".mkv"})").text,
            in_dir_order(root, {{"clip.srt", subtitle_record("clip.srt", "a")},
                                {"myclip2.ssa", subtitle_record("myclip2.ssa", "b")},
                                {"other.srt", subtitle_record("other.srt", "c")}}));
  const outcome none = subtitles(root, R"({"Name":"other.srt"})");
  EXPECT_EQ(none.text, "[" + subtitle_record("other.srt", "c") + "]");  // a subtitle is its own video
  t.write("G/lonely.mkv", "v");
  const outcome empty = subtitles(t.path("G"), R"({"FullName":"lonely.mkv"})");
  EXPECT_EQ(empty.code, 0);
  EXPECT_EQ(empty.message, "ok");
  EXPECT_EQ(empty.text, "[]");
}

TEST(vorn3s_subtitles_json, size_limit_is_inclusive) {
  temp_tree t;
  t.write("F/clip.mkv", "v");
  t.write_size("F/clip.at.srt", 1024);
  t.write_size("F/clip.over.srt", 1025);
  t.write("F/clip.empty.srt", "");
  ASSERT_EQ(vorn3s_config("sub_max_bytes", "1024"), 0);
  const std::string root = t.path("F");
  const outcome a = subtitles(root, R"({"FullName":"clip.mkv"})");
  EXPECT_EQ(a.code, 0);
  EXPECT_EQ(a.text,
            in_dir_order(root, {{"clip.at.srt", subtitle_record("clip.at.srt", pattern_bytes(0, 1024))},
                                {"clip.empty.srt", R"({"Name":"clip.empty.srt","Base64":""})"}}));
}

namespace {
struct fail_case {
  const char* what;
  const char* root;
  const char* json;
  int code;
  const char* message;
};

// Each case fails with its code and message, and the last good answer, that of
// `good_json` under `root`, stays in the result buffer through every failure.
void expect_failures(const std::string& root, const char* good_json, const std::vector<fail_case>& cases) {
  const char* kept = vorn3s_subtitles_json(root.c_str(), good_json);
  const std::string good = kept;
  ASSERT_EQ(vorn3s_last_code(), 0) << good;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_STREQ(vorn3s_subtitles_json(c.root, c.json), "");
    EXPECT_EQ(vorn3s_last_code(), c.code);
    EXPECT_STREQ(vorn3s_last_error(), c.message);
    EXPECT_EQ(std::string(kept), good);
  }
}
}  // namespace

TEST(vorn3s_subtitles_json, every_failure_with_its_message) {
  temp_tree t;
  t.write("Movies/clip.mkv", "v");
  t.write("Movies/clip.srt", "s");
  t.mkdir("Movies/Sub");
  t.write("outside/x.mkv", "v");
  const std::string root = t.path("Movies");
  const std::string dotted_root = root + "/./";
  ASSERT_EQ(subtitles(root, R"({"Name":"clip.mkv"})").text, "[" + subtitle_record("clip.srt", "s") + "]");
  expect_failures(
      root, R"({"Name":"clip.mkv"})",
      {
          {"no root", nullptr, R"({"Name":"clip.mkv"})", VORN3S_EBADARG, "arg"},
          {"empty root", "", R"({"Name":"clip.mkv"})", VORN3S_EBADARG, "arg"},
          {"no json", root.c_str(), nullptr, VORN3S_EBADARG, "arg"},
          {"empty json", root.c_str(), "", VORN3S_EBADARG, "arg"},
          {"not json", root.c_str(), "clip.mkv", VORN3S_EBADARG, "json"},
          {"array", root.c_str(), R"([{"Name":"clip.mkv"}])", VORN3S_EBADARG, "json"},
          {"folder only", root.c_str(), R"({"Folder":"Sub"})", VORN3S_EBADARG, "json"},
          {"folder, empty name", root.c_str(), R"({"Folder":"Sub","Name":""})", VORN3S_EBADARG, "no name"},
          {"empty full name only", root.c_str(), R"({"FullName":""})", VORN3S_EBADARG, "no name"},
          {"empty full name and name", root.c_str(), R"({"FullName":"","Name":""})", VORN3S_EBADARG,
           "no name"},
          {"leading slash", root.c_str(), R"({"FullName":"/etc/passwd"})", VORN3S_EESCAPE, "refused"},
          {"leading backslash", root.c_str(), R"({"FullName":"\\clip.mkv"})", VORN3S_EESCAPE, "refused"},
          {"dot-dot in full name", root.c_str(), R"({"FullName":"Sub/../clip.mkv"})", VORN3S_EESCAPE,
           "refused"},
          {"dot-dot in folder", root.c_str(), R"({"Folder":"..","Name":"x.mkv"})", VORN3S_EESCAPE, "refused"},
          {"dot-dot in name", root.c_str(), R"({"Name":"../outside/x.mkv"})", VORN3S_EESCAPE, "refused"},
          {"name leaving by the folder's way", root.c_str(),
           R"({"Folder":"Sub","Name":"../../outside/x.mkv"})", VORN3S_EESCAPE, "refused"},
          {"no entry", root.c_str(), R"({"FullName":"missing.mkv"})", VORN3S_ENOTFOUND, "no entry"},
          // Only the base name followed by a separator is taken off; alone it is a folder name.
          {"folder equal to the base name", root.c_str(), R"({"Folder":"Movies","Name":"clip.mkv"})",
           VORN3S_ENOTFOUND, "no entry"},
          {"a folder", root.c_str(), R"({"FullName":"Sub"})", VORN3S_ENOTFOUND, "not a file"},
          {"root not in canonical form", dotted_root.c_str(), R"({"Name":"clip.mkv"})", VORN3S_EESCAPE,
           "refused"},
      });
}

TEST(vorn3s_subtitles_json, failures_of_pipes_and_links) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  t.write("Movies/clip.mkv", "v");
  t.fifo("Movies/pipe.mkv");
  t.write("outside/x.mkv", "v");
  t.symlink(t.path("outside/x.mkv"), "Movies/out.mkv");
  t.symlink(t.path("Movies"), "via-link");
  const std::string root = t.path("Movies");
  const std::string link_root = t.path("via-link");
  expect_failures(
      root, R"({"Name":"clip.mkv"})",
      {
          {"a pipe", root.c_str(), R"({"Name":"pipe.mkv"})", VORN3S_ENOTFOUND, "not a file"},
          {"link out of the root", root.c_str(), R"({"Name":"out.mkv"})", VORN3S_EESCAPE, "refused"},
          {"root through a link", link_root.c_str(), R"({"Name":"clip.mkv"})", VORN3S_EESCAPE, "refused"},
      });
}

TEST(vorn3s_subtitles_json, root_forms_that_pass_containment) {
  temp_tree t;
  t.write("Movies/clip.mkv", "v");
  t.write("Movies/clip.srt", "s");
  t.write("Movies/Sub/clip.mkv", "v");
  t.write("Movies/Sub/clip.en.srt", "e");
  t.write("Films/Movies/Sub/clip.mkv", "v");
  t.write("Films/Movies/Sub/clip.fr.srt", "f");
  const std::string root = t.path("Movies");
  const std::string sep = ON_WINDOWS ? "\\" : "/";  // the system's own separator
  EXPECT_EQ(subtitles(root + sep, R"({"Name":"clip.mkv"})").text,
            "[" + subtitle_record("clip.srt", "s") + "]");
  // A FullName that begins with the root's base name is taken below the root.
  EXPECT_EQ(subtitles(root, R"({"FullName":"Movies/Sub/clip.mkv"})").text,
            "[" + subtitle_record("clip.en.srt", "e") + "]");
  EXPECT_EQ(subtitles(root, R"({"FullName":"Sub/clip.mkv"})").text,
            "[" + subtitle_record("clip.en.srt", "e") + "]");
  EXPECT_EQ(subtitles(root, R"({"Folder":"Movies/Sub","Name":"clip.mkv"})").text,
            "[" + subtitle_record("clip.en.srt", "e") + "]");
  // With any other base name the first component is an ordinary folder.
  EXPECT_EQ(subtitles(t.path("Films"), R"({"FullName":"Movies/Sub/clip.mkv"})").text,
            "[" + subtitle_record("clip.fr.srt", "f") + "]");
}

TEST(subtitle_scan, candidates_really_lie_within_the_root) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  t.write("Movies/clip.mkv", "v");
  t.write("Movies/Sub/other.srt", "inside");
  t.write("Movies/clip.srt", "beside");
  t.write("outside/secret.srt", "secret");
  t.write("Movies2/neighbour.srt", "neighbour");
  t.symlink(t.path("outside/secret.srt"), "Movies/clip.out.srt");
  t.symlink("../Movies2/neighbour.srt", "Movies/clip.n2.srt");
  t.symlink("Sub/other.srt", "Movies/clip.in.srt");
  t.symlink("missing.srt", "Movies/clip.dangling.srt");
  t.mkdir("Movies/clip.dir.srt");
  t.fifo("Movies/clip.fifo.srt");
  const std::string root = t.path("Movies");
  const std::string want = in_dir_order(root, {{"clip.srt", subtitle_record("clip.srt", "beside")},
                                               {"clip.in.srt", subtitle_record("clip.in.srt", "inside")}});
  // A FIFO would block a reader forever; getting an answer at all shows it was not opened.
  EXPECT_EQ(subtitles(root, R"({"Name":"clip.mkv"})").text, want);
  EXPECT_EQ(scan(t.path("Movies/clip.mkv"), "clip", root, false), want);
}

TEST(subtitle_scan, file_root_takes_only_its_own_folder) {
  // A single file shared as a root: its neighbours may be read, but a link beside it may
  // not lead anywhere else, not even further down.
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree t;
  t.write("Films/clip.mkv", "v");
  t.write("Films/clip.srt", "beside");
  t.write("Films/Sub/deeper.srt", "deeper");
  t.write("elsewhere/x.srt", "elsewhere");
  t.symlink("clip.srt", "Films/clip.same.srt");
  t.symlink("Sub/deeper.srt", "Films/clip.down.srt");
  t.symlink(t.path("elsewhere/x.srt"), "Films/clip.out.srt");
  const std::string video = t.path("Films/clip.mkv");
  EXPECT_EQ(scan(video, "clip", video, true),
            in_dir_order(t.path("Films"), {{"clip.srt", subtitle_record("clip.srt", "beside")},
                                           {"clip.same.srt", subtitle_record("clip.same.srt", "beside")}}));
  // Bounded by the folder instead, the link further down is read too.
  EXPECT_EQ(scan(video, "clip", t.path("Films"), false),
            in_dir_order(t.path("Films"), {{"clip.srt", subtitle_record("clip.srt", "beside")},
                                           {"clip.same.srt", subtitle_record("clip.same.srt", "beside")},
                                           {"clip.down.srt", subtitle_record("clip.down.srt", "deeper")}}));
}

TEST(subtitle_scan, video_without_a_folder_part_gives_an_empty_array) {
  EXPECT_EQ(scan("clip.mkv", "clip", "/", false), "[]");
  EXPECT_EQ(scan("/no/such/folder/clip.mkv", "clip", "/", false), "[]");
}

// A record that cannot be used is not read. Refused, the scan stops before the record
// that would make the array too long; cut, the text begins exactly as the whole array.
TEST(subtitle_scan, stops_before_what_the_limit_cannot_use) {
  temp_tree t;
  t.write("Movies/clip.mkv", "v");
  for (const char* name : {"clip.a.srt", "clip.b.srt", "clip.c.srt"})
    t.write(std::string("Movies/") + name, "xyz");
  const std::string video = t.path("Movies/clip.mkv");
  const subtitle_bound bound{t.root.c_str(), false};
  strbuf whole_sb;
  EXPECT_TRUE(subtitle_scan(video.c_str(), "clip", bound, &whole_sb));
  const std::string whole = sb_text(&whole_sb);
  const size_t second = whole.find("},") + 1;  // the end of the first record

  for (size_t limit : {size_t{0}, size_t{10}, second, second + 1, whole.size() - 1, whole.size()}) {
    SCOPED_TRACE(limit);
    const bool fits = limit >= whole.size();
    strbuf refused;
    EXPECT_EQ(subtitle_scan(video.c_str(), "clip", bound, &refused, limit, over_limit::refused), fits);
    const std::string r = sb_text(&refused);
    EXPECT_EQ(r, whole.substr(0, r.size()));
    if (fits) {
      EXPECT_EQ(r, whole);
    }
    // With its closing bracket, the first record alone fits in one byte more than itself.
    if (limit == second + 1) {
      EXPECT_EQ(r, whole.substr(0, second));
    }

    strbuf cut;
    EXPECT_EQ(subtitle_scan(video.c_str(), "clip", bound, &cut, limit, over_limit::cut), fits);
    const std::string k = sb_text(&cut);
    ASSERT_GE(k.size(), std::min(limit, whole.size()));
    EXPECT_EQ(k.substr(0, limit), whole.substr(0, limit));
  }
}

#if !defined(_WIN32)  // the count of bytes read comes from /proc
// The query keeps the first 262143 bytes of a long array; of a sparse 8 MiB subtitle it
// reads only the bytes whose Base64 falls within them, as the system's count of bytes
// read shows.
TEST(vorn3s_subtitles_json, long_candidate_is_read_only_as_far_as_it_is_kept) {
  temp_tree t;
  t.write("Big/film.mkv", "v");
  t.sparse("Big/film.srt", 8388608);
  const uint64_t before = process_bytes_read();
  const outcome got = subtitles(t.path("Big"), R"({"FullName":"film.mkv"})");
  const uint64_t read = process_bytes_read() - before;
  EXPECT_EQ(got.code, 0);
  const std::string head = R"([{"Name":"film.srt","Base64":")";
  ASSERT_EQ(got.text.size(), RESULT_MAX);
  EXPECT_EQ(got.text, head + std::string(RESULT_MAX - head.size(), 'A'));
  EXPECT_LT(read, 262144u);
}
#endif
