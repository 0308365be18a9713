// SPDX-License-Identifier: MIT
// A protocol client for tests: raw bytes over a real TCP connection on 127.0.0.1, with a
// receive time-out on every read so that a hang fails the test instead of stalling it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>

#include "plat/plat.h"
#include "support/sockets.h"

struct test_client {
  test_fd fd = NO_FD;
  int timeout_ms = 5000;

  test_client() = default;
  ~test_client();
  test_client(const test_client&) = delete;
  test_client& operator=(const test_client&) = delete;

  bool connect_to(int port);
  // The two halves of connect_to: the socket made now, connected later (for instance once
  // the test has taken every other descriptor).
  bool prepare();
  bool connect_prepared(int port);
  void close_now();
  int local_port() const;  // the port this end of the connection has, or -1

  bool send_raw(const std::string& bytes);
  bool send_code(int32_t code, bool little_endian = false);
  bool send_u32(uint32_t v);
  bool send_i64(int64_t v);
  bool send_string(const std::string& text);  // 4-byte big-endian length, then the bytes

  std::optional<std::string> recv_exact(size_t n);
  std::optional<std::string> recv_string();
  std::optional<int64_t> recv_i64();
  // True when the server closes the connection within the time-out, having sent nothing.
  bool closed_by_peer();
  // True when nothing at all arrives within `ms` (and the connection stays open).
  bool silent_for(int ms);
};

std::string be32(uint32_t v);
std::string be64(int64_t v);

// A server started for one test on 127.0.0.1, port 0: through the exported interface in
// this process (test_server.cpp), or as the Windows program under Wine, with the roots
// on its command line (test_server_wine.cpp).
struct test_server {
  int port = 0;
  std::shared_ptr<void> outside;  // the program, when the server runs outside this process
  explicit test_server(std::initializer_list<std::string> roots = {});
  ~test_server();
  test_server(const test_server&) = delete;
  test_server& operator=(const test_server&) = delete;
};

// One loopback connection: `peer` is the test's end, `sock` the non-blocking end that a
// session would use.
struct link_pair {
  plat_socket listen_sock = PLAT_NO_SOCKET;
  plat_socket sock = PLAT_NO_SOCKET;
  test_client peer;

  link_pair();
  ~link_pair();
  link_pair(const link_pair&) = delete;
  link_pair& operator=(const link_pair&) = delete;
};
