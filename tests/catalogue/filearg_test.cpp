// SPDX-License-Identifier: MIT
// The file argument: one strict JSON object whose string members name a file. Anything
// else is refused with every field left empty.
#include <gtest/gtest.h>

#include <string>

#include "catalogue/filearg.h"

namespace {

struct fields {
  const char* full_name;
  const char* folder;
  const char* name;
  const char* file_type;
};

void expect_field(const char* got, const char* want, const char* which) {
  SCOPED_TRACE(which);
  if (!want) {
    EXPECT_EQ(got, nullptr);
  } else {
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, want);
  }
}

void expect_fields(const filearg& fa, const fields& f) {
  expect_field(fa.full_name, f.full_name, "FullName");
  expect_field(fa.folder, f.folder, "Folder");
  expect_field(fa.name, f.name, "Name");
  expect_field(fa.file_type, f.file_type, "FileType");
}

std::string nested(const std::string& open, const std::string& close, int depth) {
  std::string s;
  for (int i = 0; i < depth; i++) s += open;
  for (int i = 0; i < depth; i++) s += close;
  return s;
}

}  // namespace

TEST(parse_file_arg, accepts_objects_and_keeps_string_members) {
  struct ok_case {
    const char* what;
    std::string text;
    fields want;
  };
  const ok_case CASES[] = {
      {"a file record whole",
       R"({"Name":"a.mkv","ContentType":"video","FileType":".mkv","Folder":"Movies","FullName":"Movies/a.mkv"})",
       {"Movies/a.mkv", "Movies", "a.mkv", ".mkv"}},
      {"FullName alone", R"({"FullName":"clip.mkv"})", {"clip.mkv", nullptr, nullptr, nullptr}},
      {"Name alone", R"({"Name":"clip.mkv"})", {nullptr, nullptr, "clip.mkv", nullptr}},
      {"empty FullName counts as present", R"({"FullName":""})", {"", nullptr, nullptr, nullptr}},
      {"non-string members count as absent",
       R"({"FullName":7,"Folder":null,"Name":"x","FileType":{"a":1}})",
       {nullptr, nullptr, "x", nullptr}},
      {"array and boolean members",
       R"({"FullName":["a"],"Folder":true,"Name":"x"})",
       {nullptr, nullptr, "x", nullptr}},
      {"first of duplicate keys wins",
       R"({"Name":"first","Name":"second"})",
       {nullptr, nullptr, "first", nullptr}},
      {"first duplicate not a string",
       R"({"FullName":1,"FullName":"later","Name":"n"})",
       {nullptr, nullptr, "n", nullptr}},
      {"keys compare after unescaping",
       R"({"Na\u006de":"x","Name\u0000":"y"})",
       {nullptr, nullptr, "x", nullptr}},
      {"keys are case-sensitive",
       R"({"fullname":"x","NAME":"y","Name":"z"})",
       {nullptr, nullptr, "z", nullptr}},
      {"escapes decoded",
       R"({"Name":"a\"b\\c\/d\u00e9\ud83d\ude00"})",
       {nullptr, nullptr, "a\"b\\c/d\xc3\xa9\xf0\x9f\x98\x80", nullptr}},
      {"escaped NUL ends the text",
       R"({"Name":"ab\u0000cd","Folder":"\u0000"})",
       {nullptr, "", "ab", nullptr}},
      {"white space around", " \t\r\n{ \"Name\" : \"x\" }\n ", {nullptr, nullptr, "x", nullptr}},
      {"other members of any form",
       R"({"Name":"x","n":-1.5e3,"z":[{},[],null,false],"s":"\u0000"})",
       {nullptr, nullptr, "x", nullptr}},
      {"non-ASCII key beside", "{\"Nam\xc3\xa9\":\"y\",\"Name\":\"x\"}", {nullptr, nullptr, "x", nullptr}},
      {"deeply nested member",
       R"({"Name":"x","d":)" + nested("[", "]", 10000) + "}",
       {nullptr, nullptr, "x", nullptr}},
      {"integer past 64 bits",
       R"({"Name":"x","n":123456789012345678901234567890})",
       {nullptr, nullptr, "x", nullptr}},
      {"negative integer past 64 bits",
       R"({"Name":"x","n":-92233720368547758080})",
       {nullptr, nullptr, "x", nullptr}},
      {"big integers inside strings stay as written",
       R"({"Name":"a\"12345678901234567890123","n":[12345678901234567890123e1,123456789012345678901234]})",
       {nullptr, nullptr, "a\"12345678901234567890123", nullptr}},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.what);
    filearg fa;
    EXPECT_EQ(parse_file_arg(c.text.c_str(), &fa), 0);
    expect_fields(fa, c.want);
  }
}

TEST(parse_file_arg, huge_string_is_kept_whole) {
  const std::string name(4 << 20, 'n');
  filearg fa;
  ASSERT_EQ(parse_file_arg((R"({"Name":")" + name + R"("})").c_str(), &fa), 0);
  ASSERT_NE(fa.name, nullptr);
  EXPECT_EQ(std::string(fa.name), name);
}

TEST(parse_file_arg, refuses_everything_but_one_strict_object) {
  struct bad_case {
    const char* what;
    std::string text;
  };
  const bad_case CASES[] = {
      {"empty", ""},
      {"blank", "  \n"},
      {"not JSON", "Movies/a.mkv"},
      {"array root", R"([{"Name":"x"}])"},
      {"string root", R"("x")"},
      {"number root", "1"},
      {"null root", "null"},
      {"neither FullName nor Name", R"({"Folder":"Movies","FileType":".mkv"})"},
      {"Name not a string", R"({"Name":1,"Folder":"Movies"})"},
      {"empty object", "{}"},
      {"comment", "{\"Name\":\"x\" /* c */}"},
      {"line comment", "{\"Name\":\"x\"} // c"},
      {"trailing comma", R"({"Name":"x",})"},
      {"trailing comma in member", R"({"Name":"x","a":[1,]})"},
      {"single quotes", "{'Name':'x'}"},
      {"bare key", "{Name:\"x\"}"},
      {"two values", R"({"Name":"x"}{"Name":"y"})"},
      {"text after the object", R"({"Name":"x"} x)"},
      {"unterminated", R"({"Name":"x")"},
      {"unterminated string", R"({"Name":"x})"},
      {"control character in a string", "{\"Name\":\"a\tb\"}"},
      {"bad escape", R"({"Name":"\q"})"},
      {"lone surrogate escape", R"({"Name":"\ud800"})"},
      {"NaN", R"({"Name":"x","n":NaN})"},
      {"Infinity", R"({"Name":"x","n":Infinity})"},
      {"leading zero", R"({"Name":"x","n":01})"},
      {"plus sign", R"({"Name":"x","n":+1})"},
      {"hex", R"({"Name":"x","n":0x10})"},
      {"number past the double range", R"({"Name":"x","n":1e999})"},
      {"integer past the double range", R"({"Name":"x","n":1)" + std::string(400, '0') + "}"},
      {"big integer with a leading zero", R"({"Name":"x","n":0123456789012345678901})"},
      {"big integer glued to a word", R"({"Name":"x","n":x123456789012345678901})"},
      {"big integer and a broken member", R"({"Name":"x","n":123456789012345678901,})"},
      {"invalid UTF-8 in a value", "{\"Name\":\"\xff\"}"},
      {"invalid UTF-8 in another member", "{\"Name\":\"x\",\"o\":\"\xc0\xaf\"}"},
      {"truncated UTF-8", "{\"Name\":\"\xe2\x82\"}"},
      {"encoded surrogate", "{\"Name\":\"\xed\xa0\x80\"}"},
      {"byte order mark", "\xef\xbb\xbf{\"Name\":\"x\"}"},
      {"form feed is not white space", "{\"Name\":\"x\"}\f"},
      {"deeply nested arrays", nested("[", "]", 10000)},
      {"deeply nested objects", nested("{\"a\":", "}", 10000)},
      {"deep and unclosed", std::string(10000, '[')},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.what);
    filearg fa;
    fa.name = static_cast<char*>(std::malloc(1));  // must be forgotten, not freed
    char* stale = fa.name;
    EXPECT_EQ(parse_file_arg(c.text.c_str(), &fa), -1);
    expect_fields(fa, {nullptr, nullptr, nullptr, nullptr});
    std::free(stale);
  }
  filearg fa;
  EXPECT_EQ(parse_file_arg(nullptr, &fa), -1);
  expect_fields(fa, {nullptr, nullptr, nullptr, nullptr});
}

TEST(filearg_free, clears_and_may_run_twice) {
  filearg fa;
  ASSERT_EQ(parse_file_arg(R"({"FullName":"a","Folder":"b","Name":"c","FileType":"d"})", &fa), 0);
  filearg_free(&fa);
  expect_fields(fa, {nullptr, nullptr, nullptr, nullptr});
  filearg_free(&fa);
  expect_fields(fa, {nullptr, nullptr, nullptr, nullptr});
}
