// A small real tree in a fresh temporary folder, removed when the fixture ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct temp_tree {
  std::string root;  // canonical absolute path of the folder

  temp_tree();
  ~temp_tree();
  temp_tree(const temp_tree&) = delete;
  temp_tree& operator=(const temp_tree&) = delete;

  std::string path(const std::string& rel) const;  // root + "/" + rel
  void mkdir(const std::string& rel) const;        // with parents
  void write(const std::string& rel, const std::string& bytes) const;
  void write_size(const std::string& rel, size_t size) const;  // bytes i % 251
  void symlink(const std::string& target, const std::string& rel) const;
  void fifo(const std::string& rel) const;
  // A file of `size` bytes that takes no room on disk: every byte reads as zero.
  void sparse(const std::string& rel, size_t size) const;
};

// The bytes write_size puts into a file: byte i is i % 251.
std::string pattern_bytes(size_t offset, size_t n);

// The bytes this process has read from files and sockets so far, as the system counts
// them: a read that did not happen cannot hide from it.
uint64_t process_bytes_read();

// Lowers this process's open-file limit and takes every descriptor left under it, so that
// the next call that needs one fails; all are given back, and the limit restored, at the
// end. CTest runs each case in a process of its own, so no other test sees the lower
// limit.
struct descriptors_exhausted {
  long old_limit = -1;
  std::vector<int> held;

  descriptors_exhausted();
  ~descriptors_exhausted();
  descriptors_exhausted(const descriptors_exhausted&) = delete;
  descriptors_exhausted& operator=(const descriptors_exhausted&) = delete;

  void release();  // gives the descriptors back now, keeping the lower limit
};
