// SPDX-License-Identifier: MIT
// A small real tree in a fresh temporary folder, removed when the fixture ends.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct temp_tree {
  std::string root;  // canonical absolute path of the folder

  temp_tree();
  ~temp_tree();
  temp_tree(const temp_tree&) = delete;
  temp_tree& operator=(const temp_tree&) = delete;

  // root, the system's separator, and rel with each "/" turned into that separator; a
  // path as the system's canonical form writes it.
  std::string path(const std::string& rel) const;
  void mkdir(const std::string& rel) const;  // with parents
  void write(const std::string& rel, const std::string& bytes) const;
  void write_size(const std::string& rel, size_t size) const;  // bytes i % 251
  void symlink(const std::string& target, const std::string& rel) const;
  void fifo(const std::string& rel) const;
  // A file of `size` bytes that takes no room on disk: every byte reads as zero.
  void sparse(const std::string& rel, size_t size) const;
};

// A name for a control socket that no other test uses: a file in the tree, or on Windows
// a pipe named after the tree's folder.
std::string control_path(const temp_tree& t);

// The whole contents of a file, or "" when it cannot be read.
std::string file_text(const std::string& path);
// The lines of a file without their line feeds; a last line without one counts too.
std::vector<std::string> file_lines(const std::string& path);

// A UTF-8 text as a path of the standard library, and back: on Windows a plain string
// would be taken in the ANSI code page.
std::filesystem::path fs_path(const std::string& utf8);
std::string utf8_of(const std::filesystem::path& p);

// The bytes write_size puts into a file: byte i is i % 251.
std::string pattern_bytes(size_t offset, size_t n);

// A text as it stands inside a JSON string: backslashes and quotes escaped, as paths of
// Windows need in root records.
std::string json_text(const std::string& text);

// Cases that need what only the POSIX systems give the tests skip on Windows, saying why;
// expectations that differ between the systems name the difference.
#if defined(_WIN32)
inline constexpr bool ON_WINDOWS = true;
#define SKIP_ON_WINDOWS(reason) GTEST_SKIP() << (reason)
#else
inline constexpr bool ON_WINDOWS = false;
#define SKIP_ON_WINDOWS(reason) static_cast<void>(0)
#endif
inline constexpr const char* NEEDS_LINKS =
    "needs symbolic links: under Wine CreateSymbolicLinkW reports success and creates nothing, and "
    "Windows grants creating them to privileged users only";
inline constexpr const char* NEEDS_FIFOS = "needs a FIFO, which Windows file systems do not have";
inline constexpr const char* NEEDS_MODES = "needs POSIX permission bits, which Windows does not have";

#if !defined(_WIN32)
// The permission bits and the group of `path` itself (not of a link's target); -1 each
// when it cannot be examined.
struct file_mode {
  int bits = -1;
  long gid = -1;
};
file_mode mode_of(const std::string& path);
// The name of this process's effective group.
std::string own_group_name();

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
#endif
