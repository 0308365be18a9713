// SPDX-License-Identifier: MIT
#include "support/fixture.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace fs = std::filesystem;

#if defined(_WIN32)
static constexpr char SEP = '\\';
#else
static constexpr char SEP = '/';
#endif

temp_tree::temp_tree() {
  std::random_device rd;
  std::error_code ec;
  for (int attempt = 0; attempt < 100; attempt++) {
    const fs::path dir = fs::temp_directory_path() / ("vorn3s-test-" + std::to_string(rd()));
    if (fs::create_directory(dir, ec)) {
      root = utf8_of(fs::canonical(dir));
      return;
    }
  }
  throw std::runtime_error("no temporary folder");
}

temp_tree::~temp_tree() {
  std::error_code ec;
#if defined(_WIN32)
  // In the long form, so that names Win32 would rewrite (a trailing dot, CON) and paths
  // past 260 characters go too.
  fs::remove_all(fs_path("\\\\?\\" + root), ec);
#else
  fs::remove_all(fs_path(root), ec);
#endif
}

std::string temp_tree::path(const std::string& rel) const {
  if (rel.empty()) return root;
  std::string out = root + SEP + rel;
  for (size_t i = root.size(); i < out.size(); i++) {
    if (out[i] == '/') out[i] = SEP;
  }
  return out;
}

void temp_tree::mkdir(const std::string& rel) const { fs::create_directories(fs_path(path(rel))); }

void temp_tree::write(const std::string& rel, const std::string& bytes) const {
  const fs::path p = fs_path(path(rel));
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << p;
}

void temp_tree::write_size(const std::string& rel, size_t size) const { write(rel, pattern_bytes(0, size)); }

void temp_tree::sparse(const std::string& rel, size_t size) const {
  write(rel, "");
  fs::resize_file(fs_path(path(rel)), size);
}

#if defined(_WIN32)
void temp_tree::symlink(const std::string&, const std::string& rel) const {
  ADD_FAILURE() << rel << ": " << NEEDS_LINKS << "; the test should have skipped";
}

void temp_tree::fifo(const std::string& rel) const {
  ADD_FAILURE() << rel << ": " << NEEDS_FIFOS << "; the test should have skipped";
}
#else
void temp_tree::symlink(const std::string& target, const std::string& rel) const {
  ASSERT_EQ(::symlink(target.c_str(), path(rel).c_str()), 0) << rel;
}

void temp_tree::fifo(const std::string& rel) const { ASSERT_EQ(::mkfifo(path(rel).c_str(), 0600), 0) << rel; }
#endif

std::string control_path(const temp_tree& t) {
#if defined(_WIN32)
  return "\\\\.\\pipe\\" + t.root.substr(t.root.find_last_of("\\/") + 1);
#else
  return t.path("ctl");
#endif
}

std::string file_text(const std::string& path) {
  std::ifstream f(fs_path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<std::string> file_lines(const std::string& path) {
  const std::string text = file_text(path);
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    if (lf == std::string::npos) lf = text.size();
    lines.push_back(text.substr(at, lf - at));
    at = lf + 1;
  }
  return lines;
}

fs::path fs_path(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string utf8_of(const fs::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

#if !defined(_WIN32)
uint64_t process_bytes_read() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  ADD_FAILURE() << "no rchar in /proc/self/io";
  return 0;
}
#endif

std::string pattern_bytes(size_t offset, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((offset + i) % 251);
  return s;
}

std::string json_text(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

#if !defined(_WIN32)
file_mode mode_of(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return {};
  return {static_cast<int>(st.st_mode & 07777), static_cast<long>(st.st_gid)};
}

std::string own_group_name() {
  const group* g = getgrgid(getegid());
  return g ? g->gr_name : "";
}

descriptors_exhausted::descriptors_exhausted() {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  old_limit = static_cast<long>(lim.rlim_cur);
  // Far above what a test process holds, far below the usual limit: cheap to fill.
  lim.rlim_cur = 256;
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
  EXPECT_EQ(errno, EMFILE);
  EXPECT_FALSE(held.empty());
}

descriptors_exhausted::~descriptors_exhausted() {
  release();
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = static_cast<rlim_t>(old_limit);
  setrlimit(RLIMIT_NOFILE, &lim);
}

void descriptors_exhausted::release() {
  for (int fd : held) close(fd);
  held.clear();
}
#endif
