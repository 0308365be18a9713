#include "support/test_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "server/vorn3s.h"

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
  if (fd >= 0) ::close(fd);
  fd = -1;
}

bool test_client::connect_to(int port) { return prepare() && connect_prepared(port); }

bool test_client::prepare() {
  close_now();
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd >= 0;
}

bool test_client::connect_prepared(int port) {
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close_now();
    return false;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

int test_client::local_port() const {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  return ntohs(sa.sin_port);
}

bool test_client::send_raw(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
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
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    const ssize_t got = recv(fd, out.data() + done, n - done, 0);
    if (got < 0 && errno == EINTR) continue;
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
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, timeout_ms) <= 0) return false;
  char c;
  const ssize_t got = recv(fd, &c, 1, 0);
  return got == 0 || (got < 0 && errno == ECONNRESET);
}

bool test_client::silent_for(int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

test_server::test_server(std::initializer_list<std::string> roots) {
  std::vector<const char*> paths;
  for (const auto& r : roots) paths.push_back(r.c_str());
  const int r = vorn3s_start("127.0.0.1", 0, paths.data(), static_cast<int>(paths.size()));
  EXPECT_EQ(r, 0) << vorn3s_last_error();
  port = vorn3s_port();
}

test_server::~test_server() { vorn3s_stop(); }
