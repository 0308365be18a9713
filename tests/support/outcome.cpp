// SPDX-License-Identifier: MIT
// Filling the shared outcome record.
#include "support/outcome.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "server/vorn3s.h"

outcome resolution(int code, char* path, int index) {
  outcome r;
  r.code = code;
  r.path = path ? path : "";
  r.index = index;
  if (code != VORN3S_OK) {
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(index, -1);
  }
  std::free(path);
  return r;
}

outcome query_result(const char* text) {
  EXPECT_NE(text, nullptr);
  outcome r;
  r.text = text ? text : "";
  r.code = vorn3s_last_code();
  r.message = vorn3s_last_error();
  return r;
}
