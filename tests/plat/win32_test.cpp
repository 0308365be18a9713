// SPDX-License-Identifier: MIT
// What only the Windows layer does: containment blind to the case of ASCII letters, the
// long-path prefixes taken off final paths, the backslash as the separator, names through
// UTF-16 and back, the hidden and system attributes, files shared while they are served,
// and device names that are no files. Windows only.
#if defined(_WIN32)

#include <gtest/gtest.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "plat/plat_win32.h"
#include "server/vorn3s.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "util/strbuf.h"

namespace {

std::wstring wide(const std::string& s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

std::string text_of(char* owned) {
  text_ptr p(owned);
  return p ? std::string(p.get()) : std::string("(null)");
}

std::set<std::string> names_in(const std::string& dir) {
  const std::vector<std::string> names = dir_order(dir);
  return std::set<std::string>(names.begin(), names.end());
}

}  // namespace

TEST(win32_path_under, blind_to_the_case_of_ascii_letters) {
  struct under_case {
    const char* path;
    const char* root;
    int want;
  };
  static const under_case CASES[] = {
      {"C:\\Media", "C:\\Media", 1},
      {"c:\\media\\x", "C:\\Media", 1},
      {"C:\\MEDIA\\Film.mkv", "C:\\Media", 1},
      {"c:\\media", "C:\\Media", 1},
      {"C:\\Media/x", "C:\\Media", 1},
      {"C:\\Media2", "C:\\Media", 0},
      {"c:\\media2\\x", "C:\\Media", 0},
      {"C:\\Medi", "C:\\Media", 0},
      {"D:\\Media\\x", "C:\\Media", 0},
      {"C:\\x", "C:\\", 1},
      {"c:\\x", "C:\\", 1},
      {"\\\\server\\share\\x", "\\\\SERVER\\Share", 1},
      {"\\\\server\\share2", "\\\\server\\share", 0},
      // Only ASCII letters fold: "È" and "è" are different bytes.
      {"C:\\M\303\250dia\\x", "C:\\M\303\210DIA", 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(testing::Message() << c.path << " under " << c.root);
    EXPECT_EQ(plat_path_under(c.path, c.root), c.want);
  }
}

TEST(win32_usual_path, long_path_prefixes_come_off) {
  struct prefix_case {
    const wchar_t* final;
    const char* want;
  };
  static const prefix_case CASES[] = {
      {L"\\\\?\\C:\\Media\\a.mkv", "C:\\Media\\a.mkv"},
      {L"\\\\?\\UNC\\server\\share\\a.mkv", "\\\\server\\share\\a.mkv"},
      {L"\\\\?\\UNC\\server\\share", "\\\\server\\share"},
      {L"\\\\?\\C:\\", "C:\\"},
      {L"\\\\?\\Z:\\tmp\\\u0424\u0438\u043b\u044c\u043c\u044b",
       "Z:\\tmp\\\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b"},
      {L"\\\\?\\unc\\server\\share", "unc\\server\\share"},  // the prefix is matched exactly
      {L"C:\\Media", "C:\\Media"},
      {L"\\\\server\\share", "\\\\server\\share"},
      {L"\\\\.\\C:\\x", "\\\\.\\C:\\x"},
      {L"", ""},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(text_of(plat_win32_usual_path(c.final)), c.want);
  }
  // A lone surrogate is not whole UTF-16.
  EXPECT_EQ(text_of(plat_win32_usual_path(L"\\\\?\\C:\\bad\xd800.mkv")), "(null)");
}

TEST(win32_files, canonical_paths_have_a_drive_and_backslashes) {
  temp_tree tree;
  tree.write_size("Sub/inner.txt", 12);
  // The tree's own path as the standard library gives it: a drive letter, a colon and a
  // backslash, then backslashes only.
  ASSERT_GE(tree.root.size(), 3u);
  EXPECT_EQ(tree.root.substr(1, 2), ":\\");
  EXPECT_EQ(tree.root.find('/'), std::string::npos);
  const std::string want = tree.path("Sub/inner.txt");
  struct real_case {
    std::string in;
  };
  const real_case CASES[] = {
      {tree.root + "/Sub/inner.txt"},
      {tree.root + "\\Sub\\inner.txt"},
      {tree.root + "\\Sub/./inner.txt"},
      {tree.root + "\\\\Sub\\\\inner.txt"},
      {"\\\\?\\" + tree.root + "\\Sub\\inner.txt"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(text_of(plat_realpath(c.in.c_str())), want);
  }
  // Lower case in: the case of the names as stored out.
  std::string lower = tree.path("sub/INNER.TXT");
  EXPECT_EQ(text_of(plat_realpath(lower.c_str())), want);

  // A folder is enumerated whether its path ends in a backslash, a slash or neither.
  for (const std::string& dir : {tree.path("Sub"), tree.path("Sub") + "\\", tree.path("Sub") + "/"}) {
    SCOPED_TRACE(dir);
    EXPECT_EQ(names_in(dir), std::set<std::string>{"inner.txt"});
  }
}

TEST(win32_files, names_through_utf16_and_back) {
  temp_tree tree;
  static const char* const NAMES[] = {
      "caf\xc3\xa9.mkv",                               // two bytes in UTF-8
      "\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc.mkv",  // Cyrillic
      "\xe6\x98\xa0\xe7\x94\xbb.mp4",                  // CJK, three bytes
      "\xf0\x9d\x84\x9e clef.srt",                     // four bytes: a surrogate pair
      "e\xcc\x81.mkv",                                 // a combining accent
      "\xce\xa9\xe2\x89\x88\xc3\xa7\xe2\x88\x9a.txt",  // mixed symbols
  };
  std::set<std::string> want;
  size_t size = 1;
  for (const char* name : NAMES) {
    tree.write_size(name, size++);
    want.insert(name);
  }
  tree.mkdir("\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b");  // a folder "Фильмы"
  want.insert("\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b");
  EXPECT_EQ(names_in(tree.root), want);

  size = 1;
  for (const char* name : NAMES) {
    SCOPED_TRACE(name);
    const std::string path = tree.path(name);
    plat_statinfo st;
    ASSERT_EQ(plat_stat(path.c_str(), &st, 1), 0);
    EXPECT_EQ(st.is_file, 1);
    EXPECT_EQ(st.size, static_cast<int64_t>(size));
    EXPECT_EQ(text_of(plat_realpath(path.c_str())), path);
    plat_file* f = plat_fopen_read(path.c_str());
    ASSERT_NE(f, nullptr);
    std::string buf(size, '\0');
    EXPECT_EQ(plat_fread_at(f, 0, buf.data(), size), static_cast<int64_t>(size));
    EXPECT_EQ(buf, pattern_bytes(0, size));
    EXPECT_EQ(text_of(plat_file_realpath(f)), path);
    plat_fclose(f);
    size++;
  }

  // A root with such a name is registered, named and recorded in UTF-8.
  const std::string films = tree.path("\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b");
  ASSERT_EQ(vorn3s_add_root(films.c_str()), 0) << vorn3s_last_error();
  EXPECT_EQ(std::string(vorn3s_root_json(0)),
            "{\"Name\":\"\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b\",\"Path\":\"" + json_text(films) +
                R"(","Kind":"folder"})");
}

TEST(win32_files, text_that_is_not_utf8_names_nothing) {
  temp_tree tree;
  tree.write_size("a.bin", 3);
  const std::string bad = tree.root + "\\\xff\xfe.bin";
  plat_statinfo st;
  EXPECT_EQ(plat_stat(bad.c_str(), &st, 1), -1);
  EXPECT_EQ(plat_realpath(bad.c_str()), nullptr);
  EXPECT_EQ(plat_opendir((tree.root + "\\\xc3").c_str()), nullptr);
  EXPECT_EQ(plat_fopen_read(bad.c_str()), nullptr);
}

TEST(win32_files, names_that_are_not_whole_utf16_are_skipped) {
  temp_tree tree;
  tree.write_size("good.mkv", 1);
  const std::wstring lone = wide(tree.root) + L"\\bad\xd800.mkv";
  const HANDLE h = CreateFileW(lone.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) GTEST_SKIP() << "this system cannot store a name with a lone surrogate";
  CloseHandle(h);
  const bool stored = GetFileAttributesW(lone.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!stored) GTEST_SKIP() << "this system cannot store a name with a lone surrogate";
  EXPECT_EQ(names_in(tree.root), std::set<std::string>{"good.mkv"});
  DeleteFileW(lone.c_str());
}

TEST(win32_files, hidden_and_system_attributes) {
  temp_tree tree;
  struct attr_case {
    const char* name;
    DWORD attrs;
    int hidden;
  };
  static const attr_case CASES[] = {
      {"plain.mkv", FILE_ATTRIBUTE_NORMAL, 0},
      {"hidden.mkv", FILE_ATTRIBUTE_HIDDEN, 1},
      {"system.mkv", FILE_ATTRIBUTE_SYSTEM, 1},
      {"both.mkv", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, 1},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.name);
    tree.write_size(c.name, 4);
    ASSERT_TRUE(SetFileAttributesW(wide(tree.path(c.name)).c_str(), c.attrs));
    plat_statinfo st;
    ASSERT_EQ(plat_stat(tree.path(c.name).c_str(), &st, 1), 0);
    EXPECT_EQ(st.is_hidden, c.hidden);
    EXPECT_EQ(st.is_file, 1);
    EXPECT_EQ(st.size, 4);
  }
}

// A file being served stays open for others: it can be written, renamed and deleted, and
// the handle that serves it goes on reading what it opened.
TEST(win32_files, a_file_being_served_can_be_written_renamed_and_deleted) {
  temp_tree tree;
  tree.write_size("film.mkv", 1000);
  plat_file* f = plat_fopen_read(tree.path("film.mkv").c_str());
  ASSERT_NE(f, nullptr);

  const HANDLE w =
      CreateFileW(wide(tree.path("film.mkv")).c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(w, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(w);
  EXPECT_TRUE(MoveFileExW(wide(tree.path("film.mkv")).c_str(), wide(tree.path("moved.mkv")).c_str(), 0))
      << GetLastError();
  EXPECT_TRUE(DeleteFileW(wide(tree.path("moved.mkv")).c_str())) << GetLastError();

  std::string buf(100, '\0');
  EXPECT_EQ(plat_fread_at(f, 900, buf.data(), buf.size()), 100);
  EXPECT_EQ(buf, pattern_bytes(900, 100));
  plat_fclose(f);
}

TEST(win32_files, device_names_are_no_files) {
  temp_tree tree;
  for (const std::string& path :
       {std::string("NUL"), tree.path("NUL"), std::string("\\\\.\\pipe\\no-such-pipe")}) {
    SCOPED_TRACE(path);
    plat_statinfo st;
    EXPECT_EQ(plat_stat(path.c_str(), &st, 1), -1);
    EXPECT_EQ(plat_fopen_read(path.c_str()), nullptr);
  }
}

#endif  // _WIN32
