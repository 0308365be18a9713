// SPDX-License-Identifier: MIT
// The name rules: audio and subtitle extensions, content type, stem.
#include "util/media_names.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

TEST(media_names, audio_and_subtitle_extensions) {
  struct ext_case {
    const char* name;
    int audio;
    int subtitle;
  };
  static const ext_case CASES[] = {
      {"Song.MP3", 1, 0},  {"song.Flac", 1, 0},    {"x.OPUS", 1, 0},        {"a.wma", 1, 0},
      {"a.m4a", 1, 0},     {"a.aac", 1, 0},        {"a.wav", 1, 0},         {"song.mp3x", 0, 0},
      {"song.mp", 0, 0},   {"song", 0, 0},         {"film.mp3.part", 0, 0}, {".mp3", 1, 0},
      {".srt", 0, 1},      {"Movie.EN.SRT", 0, 1}, {"movie.idx", 0, 1},     {"movie.srt.bak", 0, 0},
      {"notes.txt", 0, 1}, {"data.json", 0, 1},    {"meta.xml", 0, 1},      {"movie.", 0, 0},
      {"", 0, 0},          {"a.b/name", 0, 0},     {"a.srt/name", 0, 0},    {"x.Style", 0, 1},
      {"x.DELAY", 0, 1},   {"x.rt", 0, 1},         {"x.gsub", 0, 1},        {"film.mkv", 0, 0},
      {"pic.jpg", 0, 0},   {"x.s\xc3\xa9t", 0, 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(iext_of(c.name, AUDIO_EXTS), c.audio);
    EXPECT_EQ(is_subtitle_ext(c.name), c.subtitle);
    EXPECT_EQ(iext_of(c.name, SUB_EXTS), c.subtitle);
  }
}

TEST(media_names, every_table_entry_matches_in_either_case) {
  for (const char* const* table : {AUDIO_EXTS, SUB_EXTS}) {
    int entries = 0;
    for (const char* const* e = table; *e; e++, entries++) {
      SCOPED_TRACE(*e);
      std::string upper = std::string("name") + *e;
      for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      EXPECT_EQ(iext_of((std::string("name") + *e).c_str(), table), 1);
      EXPECT_EQ(iext_of(upper.c_str(), table), 1);
    }
    EXPECT_EQ(entries, table == AUDIO_EXTS ? 7 : 23);
  }
}

TEST(media_names, content_type) {
  struct type_case {
    const char* name;
    int size;
    const char* want;
  };
  static const type_case CASES[] = {
      {"song.mp3", 16, "audio"},  {"film.mkv", 16, "video"}, {"movie.srt", 16, "video"},
      {"cover.jpg", 16, "video"}, {"noext", 16, "video"},    {"song.FLAC", 6, "audio"},
      {"song.mp3", 3, "au"},      {"film.mkv", 3, "vi"},     {"film.mkv", 1, ""},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(testing::Message() << c.name << " size " << c.size);
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(content_type_for(c.name, out, c.size), 0);
    EXPECT_STREQ(out, c.want);
    if (c.size < 16) {
      EXPECT_EQ(out[c.size], '#');  // nothing written past the buffer
    }
  }
}

TEST(media_names, stem) {
  const std::string long_name(600, 'n');
  struct stem_case {
    std::string name;
    int size;
    std::string want;
  };
  const stem_case CASES[] = {
      {"Movie.2020.mkv", 512, "Movie.2020"},
      {"Movie", 512, "Movie"},
      {".hidden", 512, ""},
      {"movie.", 512, "movie"},
      {"", 512, ""},
      {"a.b.c", 512, "a.b"},
      {long_name, 512, long_name.substr(0, 511)},
      {long_name + ".mkv", 512, long_name.substr(0, 511)},
      {"film.mkv", 3, "fi"},
      {"film.mkv", 1, ""},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(testing::Message() << c.name.substr(0, 20) << " size " << c.size);
    std::string out(static_cast<size_t>(c.size) + 8, '#');
    stem_of(c.name.c_str(), out.data(), c.size);
    EXPECT_EQ(std::string(out.c_str()), c.want);
    EXPECT_EQ(out[static_cast<size_t>(c.size)], '#');  // never writes past the buffer
  }
}

TEST(media_names, file_type_is_the_last_extension) {
  struct type_case {
    const char* name;
    const char* want;
  };
  static const type_case CASES[] = {
      {"film.mkv", ".mkv"}, {"a.b.SRT", ".SRT"}, {"noext", ""}, {".hidden", ".hidden"}, {"x.", "."},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(file_type_of(c.name), c.want);
  }
}
