// SPDX-License-Identifier: MIT
// The server of a test inside the test's own process, through the exported interface.
#include <gtest/gtest.h>

#include <vector>

#include "server/vorn3s.h"
#include "support/test_client.h"

test_server::test_server(std::initializer_list<std::string> roots) {
  std::vector<const char*> paths;
  for (const auto& r : roots) paths.push_back(r.c_str());
  const int r = vorn3s_start("127.0.0.1", 0, paths.data(), static_cast<int>(paths.size()));
  EXPECT_EQ(r, 0) << vorn3s_last_error();
  port = vorn3s_port();
}

test_server::~test_server() { vorn3s_stop(); }
