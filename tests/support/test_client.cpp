// SPDX-License-Identifier: MIT
#include "support/test_client.h"

#include <gtest/gtest.h>

#include <vector>

std::string be32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 3; i >= 0; i--, v >>= 8) s[i] = static_cast<char>(v & 0xFF);
  return s;
}

std::string be64(int64_t v) {
  auto u = static_cast<uint64_t>(v);
  std::string s(8, '\0');
  for (int i = 7; i >= 0; i--, u >>= 8) s[i] = static_cast<char>(u & 0xFF);
  return s;
}

test_client::~test_client() { close_now(); }

void test_client::close_now() {
  close_fd(fd);
  fd = NO_FD;
}

bool test_client::connect_to(int port) { return prepare() && connect_prepared(port); }

bool test_client::prepare() {
  close_now();
  fd = tcp_socket();
  return fd != NO_FD;
}

bool test_client::connect_prepared(int port) {
  if (fd == NO_FD) return false;
  if (!connect_loopback(fd, port)) {
    close_now();
    return false;
  }
  set_nodelay_on(fd);
  return true;
}

int test_client::local_port() const { return local_port_of(fd); }

bool test_client::send_raw(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const int64_t r = send_some(fd, bytes.data() + done, bytes.size() - done);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

bool test_client::send_code(int32_t code, bool little_endian) {
  std::string b = be32(static_cast<uint32_t>(code));
  if (little_endian) b = std::string(b.rbegin(), b.rend());
  return send_raw(b);
}

bool test_client::send_u32(uint32_t v) { return send_raw(be32(v)); }
bool test_client::send_i64(int64_t v) { return send_raw(be64(v)); }
bool test_client::send_string(const std::string& text) {
  return send_raw(be32(static_cast<uint32_t>(text.size())) + text);
}

std::optional<std::string> test_client::recv_exact(size_t n) {
  std::string out(n, '\0');
  size_t done = 0;
  while (done < n) {
    if (wait_readable(fd, timeout_ms) <= 0) return std::nullopt;
    const int64_t got = recv_some(fd, out.data() + done, n - done);
    if (got <= 0) return std::nullopt;
    done += static_cast<size_t>(got);
  }
  return out;
}

std::optional<std::string> test_client::recv_string() {
  const auto len = recv_exact(4);
  if (!len) return std::nullopt;
  uint32_t n = 0;
  for (unsigned char c : *len) n = (n << 8) | c;
  return recv_exact(n);
}

std::optional<int64_t> test_client::recv_i64() {
  const auto b = recv_exact(8);
  if (!b) return std::nullopt;
  uint64_t v = 0;
  for (unsigned char c : *b) v = (v << 8) | c;
  return static_cast<int64_t>(v);
}

bool test_client::closed_by_peer() {
  if (wait_readable(fd, timeout_ms) <= 0) return false;
  char c;
  const int64_t got = recv_some(fd, &c, 1);
  return got == 0 || (got < 0 && last_error_was_reset());
}

bool test_client::silent_for(int ms) { return wait_readable(fd, ms) == 0; }

link_pair::link_pair() {
  EXPECT_EQ(plat_net_init(), 0);
  EXPECT_EQ(plat_tcp_listen("127.0.0.1", 0, &listen_sock), 0);
  EXPECT_TRUE(peer.connect_to(plat_sock_port(listen_sock)));
  EXPECT_GE(plat_poll1(listen_sock, PLAT_POLL_READ, 5000), 1);
  sock = plat_accept(listen_sock);
  EXPECT_NE(sock, PLAT_NO_SOCKET);
}

link_pair::~link_pair() {
  plat_sock_close(sock);
  plat_sock_close(listen_sock);
}
