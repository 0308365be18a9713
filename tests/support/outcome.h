// SPDX-License-Identifier: MIT
// One record for what the catalogue gives back, so that its tests compare alike: a
// resolution's code, path and root index, or an exported query's text with the
// last-error record after it.
#pragma once

#include <string>

struct outcome {
  int code = 0;
  std::string path;     // a resolution's canonical path; empty on failure
  int index = -1;       // a resolution's root index
  std::string text;     // a query's JSON text
  std::string message;  // the last-error message after a query
};

// Takes over what a resolution returned: frees `path`, and checks that a failure left no
// path and index -1.
outcome resolution(int code, char* path, int index);
// What an exported JSON query returned, with the last-error record after it; checks that
// the text is never null.
outcome query_result(const char* text);
