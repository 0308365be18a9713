// SPDX-License-Identifier: MIT
// What only the Windows layer does: the long form every file call takes, so that names
// reach the file system as they are stored and paths may pass 260 characters; no stream
// of a file ever opened; the long-path prefixes taken off final paths, the backslash as
// the separator, names through UTF-16 and back, the hidden and system attributes, files
// shared while they are served, and devices that are no files. Windows only.
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

// The long form, a pure text rule but for the current folder, which relative paths need.
TEST(win32_long_path, every_path_reaches_the_file_system_as_it_stands) {
  struct long_case {
    const char* in;
    const wchar_t* want;  // null: refused
  };
  static const long_case CASES[] = {
      {"C:\\Media\\a.mkv", L"\\\\?\\C:\\Media\\a.mkv"},
      {"C:/Media/Sub/./a.mkv", L"\\\\?\\C:\\Media\\Sub\\a.mkv"},
      {"C:\\Media\\\\Sub\\", L"\\\\?\\C:\\Media\\Sub"},
      {"C:\\Media\\Sub\\..\\a.mkv", L"\\\\?\\C:\\Media\\a.mkv"},
      {"C:\\..\\..\\a.mkv", L"\\\\?\\C:\\a.mkv"},
      {"C:\\", L"\\\\?\\C:\\"},
      {"C:/", L"\\\\?\\C:\\"},
      // Names as they are stored: trailing dots and blanks stay, device names are names.
      {"C:\\Media\\movie.", L"\\\\?\\C:\\Media\\movie."},
      {"C:\\Media\\movie. . ", L"\\\\?\\C:\\Media\\movie. . "},
      {"C:\\Media\\con.mkv", L"\\\\?\\C:\\Media\\con.mkv"},
      {"C:\\Media\\NUL", L"\\\\?\\C:\\Media\\NUL"},
      {"C:\\...\\x", L"\\\\?\\C:\\...\\x"},
      {"\\\\server\\share\\Films\\..\\a.mkv", L"\\\\?\\UNC\\server\\share\\a.mkv"},
      {"//server/share/a.mkv", L"\\\\?\\UNC\\server\\share\\a.mkv"},
      {"\\\\server\\share\\..\\..", L"\\\\?\\UNC\\server\\share\\"},
      {"\\\\server\\share", L"\\\\?\\UNC\\server\\share\\"},
      // Already in a form the system takes as it stands.
      {"\\\\?\\C:\\Media\\a.mkv", L"\\\\?\\C:\\Media\\a.mkv"},
      {"\\\\?\\UNC\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"},
      {"\\\\.\\NUL", L"\\\\.\\NUL"},
      // A colon past the drive names a stream of a file.
      {"C:\\Media\\film.mkv:x", nullptr},
      {"C:\\Media\\film.mkv::$DATA", nullptr},
      {"C:\\Media:x\\a.mkv", nullptr},
      {"C:\\Media\\C:\\a.mkv", nullptr},
      {"\\\\?\\C:\\Media\\film.mkv:x", nullptr},
      {"\\\\server:1\\share\\a", nullptr},
      {"\\\\server", nullptr},
      {"\\\\server\\", nullptr},
      {"\\\\\\share", nullptr},
      {"", nullptr},
      {"C:\\caf\xff.mkv", nullptr},  // not UTF-8
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.in);
    const wide_text got = plat_win32_long_path(c.in);
    if (!c.want) {
      EXPECT_EQ(got, nullptr);
    } else {
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(std::wstring(got.get()), std::wstring(c.want));
    }
  }
  // Relative to the current folder, and below the top folder of its drive.
  wchar_t cwd[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, cwd), 3u);
  const std::wstring here(cwd);
  const wide_text rel = plat_win32_long_path("Sub/../a.mkv");
  ASSERT_NE(rel, nullptr);
  EXPECT_EQ(std::wstring(rel.get()), L"\\\\?\\" + (here.back() == L'\\' ? here : here + L"\\") + L"a.mkv");
  const wide_text rooted = plat_win32_long_path("\\top\\a.mkv");
  ASSERT_NE(rooted, nullptr);
  EXPECT_EQ(std::wstring(rooted.get()), L"\\\\?\\" + here.substr(0, 2) + L"\\top\\a.mkv");
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

TEST(win32_files, devices_are_no_files) {
  temp_tree tree;
  for (const std::string& path : {std::string("NUL"), tree.path("NUL"), std::string("\\\\.\\NUL"),
                                  std::string("\\\\.\\pipe\\no-such-pipe")}) {
    SCOPED_TRACE(path);
    plat_statinfo st;
    EXPECT_EQ(plat_stat(path.c_str(), &st, 1), -1);
    EXPECT_EQ(plat_fopen_read(path.c_str()), nullptr);
  }
}

namespace {

// Creates `rel` below `root` through the long form, the only form that can name it: Win32
// would trim a trailing dot or blank, or take CON for the console.
bool make_as_stored(const std::string& root, const std::string& rel, const std::string* bytes) {
  const std::wstring path = L"\\\\?\\" + wide(root) + L"\\" + wide(rel);
  if (!bytes) return CreateDirectoryW(path.c_str(), nullptr) != 0;
  const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  const BOOL ok = WriteFile(h, bytes->data(), static_cast<DWORD>(bytes->size()), &put, nullptr);
  CloseHandle(h);
  return ok && put == bytes->size();
}

// The whole file at `path` through the layer, or "(none)".
std::string read_through_layer(const std::string& path) {
  plat_file* f = plat_fopen_read(path.c_str());
  if (!f) return "(none)";
  std::string buf(4096, '\0');
  const int64_t n = plat_fread_at(f, 0, buf.data(), buf.size());
  plat_fclose(f);
  return n < 0 ? "(error)" : buf.substr(0, static_cast<size_t>(n));
}

// Every way in to `path`: examined, named and read as the file that holds `bytes`.
void expect_served_as_itself(const std::string& path, const std::string& bytes) {
  plat_statinfo st;
  ASSERT_EQ(plat_stat(path.c_str(), &st, 1), 0);
  EXPECT_EQ(st.is_file, 1);
  EXPECT_EQ(st.size, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(text_of(plat_realpath(path.c_str())), path);
  EXPECT_EQ(read_through_layer(path), bytes);
}

}  // namespace

TEST(win32_files, names_win32_would_rewrite_open_as_themselves) {
  temp_tree tree;
  struct name_case {
    const char* name;
    std::string bytes;
  };
  const name_case CASES[] = {
      {"movie", "the plain one"},  {"movie.", "the dotted one"},
      {"movie ", "the blank one"}, {"con.mkv", "not the console"},
      {"nul.txt", "not null"},     {"COM1.srt", "not a port"},
      {"AUX", "not aux"},
  };
  std::set<std::string> want;
  for (const auto& c : CASES) {
    ASSERT_TRUE(make_as_stored(tree.root, c.name, &c.bytes)) << c.name << ": " << GetLastError();
    want.insert(c.name);
  }
  EXPECT_EQ(names_in(tree.root), want);
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.name);
    expect_served_as_itself(tree.path(c.name), c.bytes);
  }
}

TEST(win32_files, paths_past_260_characters) {
  temp_tree tree;
  std::string rel;
  for (char c = 'a'; c < 'g'; c++) {
    rel += std::string(50, c);
    ASSERT_TRUE(make_as_stored(tree.root, rel, nullptr)) << GetLastError();
    rel += "\\";
  }
  const std::string bytes = "deep down";
  ASSERT_TRUE(make_as_stored(tree.root, rel + "film.mkv", &bytes));
  const std::string folder = tree.root + "\\" + rel.substr(0, rel.size() - 1);
  const std::string path = folder + "\\film.mkv";
  ASSERT_GT(path.size(), 300u);
  expect_served_as_itself(path, bytes);
  EXPECT_EQ(names_in(folder), std::set<std::string>{"film.mkv"});

  // Such a folder is a root like any other.
  ASSERT_EQ(vorn3s_add_root(folder.c_str()), 0) << vorn3s_last_error();
  char out[2048];
  EXPECT_EQ(vorn3s_resolve(folder.c_str(), "film.mkv", out, sizeof out), 0) << vorn3s_last_error();
  EXPECT_EQ(std::string(out), path);

  // The runtime's own removal stops at 260 characters: take the tree down here.
  EXPECT_TRUE(DeleteFileW((L"\\\\?\\" + wide(path)).c_str()));
  while (!rel.empty()) {
    rel.pop_back();
    EXPECT_TRUE(RemoveDirectoryW((L"\\\\?\\" + wide(tree.root) + L"\\" + wide(rel)).c_str()))
        << GetLastError();
    rel.resize(rel.find_last_of('\\') == std::string::npos ? 0 : rel.find_last_of('\\') + 1);
  }
}

TEST(win32_files, a_colon_past_the_drive_opens_no_stream) {
  temp_tree tree;
  tree.write_size("film.mkv", 10);
  tree.mkdir("Sub");
  for (const char* suffix : {":x", "::$DATA", ":x:$DATA", ":"}) {
    for (const std::string& path : {tree.path("film.mkv") + suffix, tree.path("Sub") + suffix}) {
      SCOPED_TRACE(path);
      plat_statinfo st;
      EXPECT_EQ(plat_stat(path.c_str(), &st, 1), -1);
      EXPECT_EQ(plat_realpath(path.c_str()), nullptr);
      EXPECT_EQ(plat_fopen_read(path.c_str()), nullptr);
      EXPECT_EQ(plat_opendir(path.c_str()), nullptr);
    }
  }
}

#endif  // _WIN32
