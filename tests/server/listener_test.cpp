// SPDX-License-Identifier: MIT
// Starting and stopping the listener on 127.0.0.1: the argument checks, the initial
// roots, bind failures, stop with sessions still open, restart, the connection count and
// its limit, and running out of descriptors.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/fixture.h"
#include "support/sockets.h"
#include "support/test_client.h"

namespace {

const char BIND_REFUSED[] = "bind_ip must be an IPv4 literal of one interface (D12)";
const std::string HANDSHAKE_REPLY = R"({"Version":3,"Platform":"quorvane-c"})";

void expect_error(int code, const std::string& message) {
  EXPECT_EQ(vorn3s_last_code(), code);
  EXPECT_EQ(std::string(vorn3s_last_error()), message);
}

// Polls `done` until it holds or 10 s have passed.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1000; i++) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

bool handshake(test_client& c) { return c.send_code(ACT_HANDSHAKE) && c.recv_string() == HANDSHAKE_REPLY; }

// A socket of the test itself listening on a free loopback port, so that the server's
// bind on that port fails.
struct port_holder {
  test_fd fd = tcp_socket();
  int port = fd == NO_FD ? 0 : listen_loopback(fd);
  ~port_holder() { close_fd(fd); }
};

}  // namespace

TEST(listener, refuses_addresses_that_are_not_one_interface) {
  temp_tree tree;
  tree.mkdir("Movies");
  const std::string movies = tree.path("Movies");
  const char* roots[] = {movies.c_str()};
  static const char* const REFUSED[] = {
      nullptr,     "",         "0.0.0.0",     "255.255.255.255", "224.0.0.1", "239.255.255.255", "1.2.3",
      "1.2.3.4.5", "1.2.3.4 ", "127.0.0.1\n", " 127.0.0.1",      "1.2.3.256", "256.1.1.1",       "-1.2.3.4",
      "localhost", "::1",      "1.2.3.",      "1..2.3",
  };
  for (const char* ip : REFUSED) {
    SCOPED_TRACE(ip ? ip : "(null)");
    EXPECT_EQ(vorn3s_start(ip, 0, roots, 1), VORN3S_EBADARG);
    expect_error(VORN3S_EBADARG, BIND_REFUSED);
    EXPECT_EQ(vorn3s_is_running(), 0);
  }
  // The checks come before any root is registered.
  EXPECT_EQ(vorn3s_root_count(), 0);
}

// These pass the address checks; no interface has them, so the bind itself fails.
TEST(listener, addresses_outside_the_refused_classes_reach_the_bind) {
  for (const char* ip : {"223.255.255.255", "240.0.0.1"}) {
    SCOPED_TRACE(ip);
    EXPECT_EQ(vorn3s_start(ip, 0, nullptr, 0), VORN3S_ENET);
    expect_error(VORN3S_ENET, "bind/listen failed");
    EXPECT_EQ(vorn3s_is_running(), 0);
    EXPECT_EQ(vorn3s_port(), 0);
  }
}

TEST(listener, refuses_ports_out_of_range_and_missing_roots) {
  for (int port : {-1, 65536, 100000}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(vorn3s_start("127.0.0.1", port, nullptr, 0), VORN3S_EBADARG);
    expect_error(VORN3S_EBADARG, "port range");
  }
  EXPECT_EQ(vorn3s_start("127.0.0.1", 0, nullptr, 2), VORN3S_EBADARG);
  expect_error(VORN3S_EBADARG, "roots NULL");
  EXPECT_EQ(vorn3s_is_running(), 0);
}

TEST(listener, no_initial_roots_keeps_the_table_as_it_is) {
  temp_tree tree;
  tree.mkdir("Movies");
  ASSERT_EQ(vorn3s_add_root(tree.path("Movies").c_str()), 0);
  for (int n : {0, -1}) {
    SCOPED_TRACE(n);
    ASSERT_EQ(vorn3s_start("127.0.0.1", 0, nullptr, n), 0) << vorn3s_last_error();
    EXPECT_EQ(vorn3s_is_running(), 1);
    EXPECT_EQ(vorn3s_root_count(), 1);
    vorn3s_stop();
  }
}

TEST(listener, port_zero_binds_a_free_port_and_reports_it) {
  temp_tree tree;
  tree.mkdir("Movies");
  const std::string movies = tree.path("Movies");
  const char* roots[] = {movies.c_str()};
  ASSERT_EQ(vorn3s_start("127.0.0.1", 0, roots, 1), 0) << vorn3s_last_error();
  const int port = vorn3s_port();
  EXPECT_GT(port, 0);
  expect_error(0, "listening on 127.0.0.1:" + std::to_string(port));
  EXPECT_EQ(vorn3s_is_running(), 1);
  EXPECT_EQ(vorn3s_root_count(), 1);

  test_client c;
  ASSERT_TRUE(c.connect_to(port));
  EXPECT_TRUE(handshake(c));
  c.close_now();
  vorn3s_stop();
}

// A second start is refused before its arguments are looked at.
TEST(listener, second_start_is_already_running_even_with_bad_arguments) {
  test_server srv;
  EXPECT_EQ(vorn3s_start(nullptr, -5, nullptr, 3), -2);
  expect_error(VORN3S_ECONFLICT, "already running");
  EXPECT_EQ(vorn3s_start("127.0.0.1", 0, nullptr, 0), VORN3S_ECONFLICT);
  EXPECT_EQ(vorn3s_port(), srv.port);
  EXPECT_EQ(vorn3s_is_running(), 1);
}

TEST(listener, initial_roots_are_added_in_order_up_to_the_first_failure) {
  temp_tree tree;
  tree.mkdir("A");
  tree.mkdir("C");
  const std::string a = tree.path("A"), missing = tree.path("B"), c = tree.path("C");
  const char* roots[] = {a.c_str(), missing.c_str(), c.c_str()};
  EXPECT_EQ(vorn3s_start("127.0.0.1", 0, roots, 3), VORN3S_ENOTFOUND);
  expect_error(VORN3S_ENOTFOUND, "cannot resolve " + missing);
  EXPECT_EQ(vorn3s_root_count(), 1);
  EXPECT_EQ(vorn3s_root_json(0), R"({"Name":"A","Path":")" + json_text(a) + R"(","Kind":"folder"})");
  EXPECT_EQ(vorn3s_is_running(), 0);
  EXPECT_EQ(vorn3s_port(), 0);
  // Not left half-started: a start without the failing root goes through.
  const char* rest[] = {c.c_str()};
  EXPECT_EQ(vorn3s_start("127.0.0.1", 0, rest, 1), 0) << vorn3s_last_error();
  EXPECT_EQ(vorn3s_root_count(), 2);
  vorn3s_stop();
}

TEST(listener, bind_failure_keeps_the_roots_and_a_repeat_finds_them) {
  temp_tree tree;
  tree.mkdir("Movies");
  port_holder held;
  ASSERT_GT(held.port, 0);
  const std::string movies = tree.path("Movies");
  const char* roots[] = {movies.c_str()};
  EXPECT_EQ(vorn3s_start("127.0.0.1", held.port, roots, 1), VORN3S_ENET);
  expect_error(VORN3S_ENET, "bind/listen failed");
  EXPECT_EQ(vorn3s_is_running(), 0);
  EXPECT_EQ(vorn3s_port(), 0);
  EXPECT_EQ(vorn3s_root_count(), 1);

  EXPECT_EQ(vorn3s_start("127.0.0.1", held.port, roots, 1), VORN3S_ECONFLICT);
  expect_error(VORN3S_ECONFLICT, "root already added");
  EXPECT_EQ(vorn3s_is_running(), 0);
}

TEST(listener, stop_without_a_server_does_nothing) {
  vorn3s_stop();
  EXPECT_EQ(vorn3s_is_running(), 0);
  EXPECT_EQ(vorn3s_port(), 0);
  EXPECT_EQ(vorn3s_last_code(), 0);
  EXPECT_STREQ(vorn3s_last_error(), "");
  { test_server srv; }
  vorn3s_stop();  // a second stop after a stop
  EXPECT_EQ(vorn3s_is_running(), 0);
}

// Stop closes the listener only: an open session goes on until its client ends it.
TEST(listener, stop_leaves_open_sessions_running) {
  temp_tree tree;
  tree.mkdir("Movies");
  const std::string movies = tree.path("Movies");
  const char* roots[] = {movies.c_str()};
  ASSERT_EQ(vorn3s_start("127.0.0.1", 0, roots, 1), 0) << vorn3s_last_error();
  const int port = vorn3s_port();
  test_client c;
  ASSERT_TRUE(c.connect_to(port));
  ASSERT_TRUE(handshake(c));
  ASSERT_TRUE(eventually([] { return vorn3s_connection_count() == 1; }));

  vorn3s_stop();
  EXPECT_EQ(vorn3s_is_running(), 0);
  EXPECT_EQ(vorn3s_port(), 0);
  EXPECT_EQ(vorn3s_root_count(), 1);
  EXPECT_EQ(vorn3s_connection_count(), 1);

  EXPECT_TRUE(handshake(c));
  ASSERT_TRUE(c.send_code(ACT_FOLDERS));
  const auto folders = c.recv_string();
  ASSERT_TRUE(folders);
  EXPECT_NE(folders->find(R"("FullName":"Movies")"), std::string::npos) << *folders;

  test_client late;
  EXPECT_FALSE(late.connect_to(port));

  ASSERT_TRUE(c.send_code(ACT_END));
  EXPECT_TRUE(c.closed_by_peer());
  EXPECT_TRUE(eventually([] { return vorn3s_connection_count() == 0; }));
}

TEST(listener, restarts_after_stop) {
  temp_tree tree;
  tree.mkdir("Movies");
  const std::string movies = tree.path("Movies");
  const char* roots[] = {movies.c_str()};
  ASSERT_EQ(vorn3s_start("127.0.0.1", 0, roots, 1), 0) << vorn3s_last_error();
  vorn3s_stop();

  EXPECT_EQ(vorn3s_start("127.0.0.1", 0, roots, 1), VORN3S_ECONFLICT);
  expect_error(VORN3S_ECONFLICT, "root already added");
  EXPECT_EQ(vorn3s_is_running(), 0);

  ASSERT_EQ(vorn3s_start("127.0.0.1", 0, nullptr, 0), 0) << vorn3s_last_error();
  EXPECT_EQ(vorn3s_is_running(), 1);
  test_client c;
  ASSERT_TRUE(c.connect_to(vorn3s_port()));
  EXPECT_TRUE(handshake(c));
  c.close_now();
  vorn3s_stop();
  EXPECT_EQ(vorn3s_port(), 0);
}

TEST(listener, counts_concurrent_connections) {
  test_server srv;
  std::vector<test_client> clients(4);
  for (auto& c : clients) {
    ASSERT_TRUE(c.connect_to(srv.port));
    ASSERT_TRUE(handshake(c));
  }
  EXPECT_TRUE(eventually([] { return vorn3s_connection_count() == 4; }));
  clients[0].close_now();
  ASSERT_TRUE(clients[1].send_code(ACT_END));
  EXPECT_TRUE(eventually([] { return vorn3s_connection_count() == 2; }));
  // The sessions left are untouched by the others' ends.
  EXPECT_TRUE(handshake(clients[2]));
  for (auto& c : clients) c.close_now();
  EXPECT_TRUE(eventually([] { return vorn3s_connection_count() == 0; }));
}

// Exactly max_connections sessions are served at once; one more is accepted and closed at
// once, and a place freed by a session that ends is taken again.
TEST(listener, closes_connections_past_max_connections) {
  ASSERT_EQ(vorn3s_config("max_connections", "3"), 0);
  test_server srv;
  std::vector<test_client> clients(3);
  for (auto& c : clients) {
    ASSERT_TRUE(c.connect_to(srv.port));
    ASSERT_TRUE(handshake(c));
  }
  EXPECT_EQ(vorn3s_connection_count(), 3);

  test_client over;
  ASSERT_TRUE(over.connect_to(srv.port));
  EXPECT_TRUE(over.closed_by_peer());
  EXPECT_EQ(vorn3s_connection_count(), 3);
  for (auto& c : clients) EXPECT_TRUE(handshake(c));

  ASSERT_TRUE(clients[0].send_code(ACT_END));
  EXPECT_TRUE(clients[0].closed_by_peer());
  ASSERT_TRUE(eventually([] { return vorn3s_connection_count() == 2; }));
  test_client again;
  ASSERT_TRUE(again.connect_to(srv.port));
  EXPECT_TRUE(handshake(again));
  EXPECT_EQ(vorn3s_connection_count(), 3);
  test_client over_again;
  ASSERT_TRUE(over_again.connect_to(srv.port));
  EXPECT_TRUE(over_again.closed_by_peer());

  // The limit is read at each accept: raising it lets the next client in.
  ASSERT_EQ(vorn3s_config("max_connections", "4"), 0);
  test_client fourth;
  ASSERT_TRUE(fourth.connect_to(srv.port));
  EXPECT_TRUE(handshake(fourth));
  EXPECT_EQ(vorn3s_connection_count(), 4);
}

#if !defined(_WIN32)  // descriptor limits are POSIX
// Out of descriptors, each waiting client is closed at once instead of left without an
// answer; the session already running goes on, and new clients are served again as soon
// as descriptors are free.
TEST(listener, out_of_descriptors_waiting_clients_see_a_clean_close) {
  test_server srv;
  test_client running;
  ASSERT_TRUE(running.connect_to(srv.port));
  ASSERT_TRUE(handshake(running));
  std::vector<test_client> waiting(3);
  for (auto& c : waiting) ASSERT_TRUE(c.prepare());
  {
    descriptors_exhausted exhausted;
    for (auto& c : waiting) {
      ASSERT_TRUE(c.connect_prepared(srv.port));
      // Closed before the client sent anything: an orderly end, not a reset.
      ASSERT_GT(wait_readable(c.fd, c.timeout_ms), 0);
      char byte;
      EXPECT_EQ(recv_some(c.fd, &byte, 1), 0);
    }
    EXPECT_TRUE(handshake(running));
    EXPECT_EQ(vorn3s_connection_count(), 1);
    exhausted.release();
    test_client next;
    ASSERT_TRUE(next.connect_to(srv.port));
    EXPECT_TRUE(handshake(next));
    EXPECT_EQ(vorn3s_connection_count(), 2);
  }
  EXPECT_TRUE(handshake(running));
}
#endif
