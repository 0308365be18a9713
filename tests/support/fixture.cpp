#include "support/fixture.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

temp_tree::temp_tree() {
  std::string tmpl = (fs::temp_directory_path() / "vorn3s-test-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  root = fs::canonical(tmpl).string();
}

temp_tree::~temp_tree() {
  std::error_code ec;
  fs::remove_all(root, ec);
}

std::string temp_tree::path(const std::string& rel) const { return rel.empty() ? root : root + "/" + rel; }

void temp_tree::mkdir(const std::string& rel) const { fs::create_directories(path(rel)); }

void temp_tree::write(const std::string& rel, const std::string& bytes) const {
  const fs::path p = path(rel);
  fs::create_directories(p.parent_path());
  std::ofstream f(p, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(f.good()) << p;
}

void temp_tree::write_size(const std::string& rel, size_t size) const { write(rel, pattern_bytes(0, size)); }

void temp_tree::symlink(const std::string& target, const std::string& rel) const {
  ASSERT_EQ(::symlink(target.c_str(), path(rel).c_str()), 0) << rel;
}

void temp_tree::sparse(const std::string& rel, size_t size) const {
  write(rel, "");
  fs::resize_file(path(rel), size);
}

void temp_tree::fifo(const std::string& rel) const { ASSERT_EQ(::mkfifo(path(rel).c_str(), 0600), 0) << rel; }

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

std::string pattern_bytes(size_t offset, size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((offset + i) % 251);
  return s;
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
