// SPDX-License-Identifier: MIT
// What the two POSIX files of the platform layer share: the record of an open file,
// which the file services make and the sends from a file read. POSIX only.
#pragma once

#include <cstddef>

struct plat_file {
  int fd = -1;
  // The read-only view for copy_once sends, made at the first one and covering the file
  // as long as it was then; null until then or when it could not be made.
  char* view = nullptr;
  size_t view_len = 0;
  bool view_tried = false;
};
