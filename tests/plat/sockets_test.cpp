// SPDX-License-Identifier: MIT
// Sockets, threads, locks and the clock of the platform layer, on real loopback
// connections.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>

#include <csignal>
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "plat/plat.h"
#include "support/fixture.h"
#include "support/sockets.h"
#include "support/test_client.h"

namespace {

constexpr int WAIT_MS = 5000;

// A listener on 127.0.0.1 with an OS-chosen port, closed at the end of the scope.
struct listener {
  plat_socket s = PLAT_NO_SOCKET;
  int port = -1;
  listener() {
    EXPECT_EQ(plat_net_init(), 0);
    EXPECT_EQ(plat_tcp_listen("127.0.0.1", 0, &s), 0);
    port = plat_sock_port(s);
    EXPECT_GT(port, 0);
  }
  ~listener() { plat_sock_close(s); }
};

// One accepted connection: `client` is the test's end, `server` the layer's.
struct connection {
  listener l;
  test_client client;
  plat_socket server = PLAT_NO_SOCKET;
  connection() {
    EXPECT_TRUE(client.connect_to(l.port));
    EXPECT_EQ(plat_poll1(l.s, PLAT_POLL_READ, 5000), PLAT_POLL_READ);
    server = plat_accept(l.s);
    EXPECT_NE(server, PLAT_NO_SOCKET);
  }
  ~connection() { plat_sock_close(server); }
};

}  // namespace

TEST(plat_net, init_twice_and_closing_no_socket) {
  EXPECT_EQ(plat_net_init(), 0);
  EXPECT_EQ(plat_net_init(), 0);
  plat_sock_close(PLAT_NO_SOCKET);  // nothing happens
  EXPECT_EQ(plat_poll1(PLAT_NO_SOCKET, PLAT_POLL_READ, 0), -1);
}

TEST(plat_net, ipv4_parse) {
  struct ip_case {
    const char* text;
    int want;
  };
  static const ip_case CASES[] = {
      {"127.0.0.1", 1},  {"0.0.0.0", 1}, {"255.255.255.255", 1}, {"256.0.0.1", 0},
      {"1.2.3", 0},      {"", 0},        {nullptr, 0},           {" 127.0.0.1", 0},
      {"127.0.0.1 ", 0}, {"::1", 0},     {"localhost", 0},       {"1.2.3.4.5", 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    EXPECT_EQ(plat_ipv4_parse(c.text), c.want);
  }
}

TEST(plat_net, listen_refusals) {
  ASSERT_EQ(plat_net_init(), 0);
  plat_socket s = 12345;
  EXPECT_EQ(plat_tcp_listen("not-an-ip", 0, &s), -2);
  EXPECT_EQ(s, PLAT_NO_SOCKET);
  listener taken;
  EXPECT_EQ(plat_tcp_listen("127.0.0.1", taken.port, &s), -2);  // the port is in use
  EXPECT_EQ(s, PLAT_NO_SOCKET);
  EXPECT_EQ(plat_sock_port(PLAT_NO_SOCKET), -1);
}

TEST(plat_poll1, listener_times_out_then_sees_a_waiting_connection) {
  listener l;
  const uint64_t start = plat_now_ms();
  EXPECT_EQ(plat_poll1(l.s, PLAT_POLL_READ, 300), 0);
  EXPECT_LT(plat_now_ms() - start, 10000u);
  EXPECT_EQ(plat_accept(l.s), PLAT_NO_SOCKET);  // never blocks when nobody waits

  test_client c;
  ASSERT_TRUE(c.connect_to(l.port));
  EXPECT_EQ(plat_poll1(l.s, PLAT_POLL_READ, 5000), PLAT_POLL_READ);
  const plat_socket s = plat_accept(l.s);
  ASSERT_NE(s, PLAT_NO_SOCKET);
  EXPECT_EQ(plat_accept(l.s), PLAT_NO_SOCKET);
  plat_sock_close(s);
}

TEST(plat_net, accept_tells_the_peer_address_and_port) {
  listener l;
  test_client c;
  ASSERT_TRUE(c.connect_to(l.port));
  ASSERT_EQ(plat_poll1(l.s, PLAT_POLL_READ, 5000), PLAT_POLL_READ);
  plat_peer peer{0xFFFFFFFF, 1};
  const plat_socket s = plat_accept(l.s, &peer);
  ASSERT_NE(s, PLAT_NO_SOCKET);
  EXPECT_EQ(peer.ipv4, 0x7F000001u);
  EXPECT_EQ(peer.port, c.local_port());
  plat_sock_close(s);
}

#if !defined(_WIN32)  // descriptor limits are POSIX
// A connection that finds no descriptor stays waiting and is told apart from none
// waiting; giving the reserve back lets exactly that connection in.
TEST(plat_accept_conn, tells_exhaustion_apart_and_the_reserve_lets_one_in) {
  listener l;
  plat_socket s = 12345;
  EXPECT_EQ(plat_accept_conn(l.s, &s), -1);
  EXPECT_EQ(s, PLAT_NO_SOCKET);
  plat_reserve* reserve = plat_reserve_take();
  ASSERT_NE(reserve, nullptr);
  test_client c;
  ASSERT_TRUE(c.prepare());
  descriptors_exhausted exhausted;
  EXPECT_EQ(plat_reserve_take(), nullptr);
  ASSERT_TRUE(c.connect_prepared(l.port));
  ASSERT_EQ(plat_poll1(l.s, PLAT_POLL_READ, 5000), PLAT_POLL_READ);
  EXPECT_EQ(plat_accept_conn(l.s, &s), PLAT_EXHAUSTED);
  EXPECT_EQ(s, PLAT_NO_SOCKET);
  EXPECT_EQ(plat_poll1(l.s, PLAT_POLL_READ, 0), PLAT_POLL_READ);  // still waiting

  plat_reserve_release(reserve);
  ASSERT_EQ(plat_accept_conn(l.s, &s), 0);
  EXPECT_NE(s, PLAT_NO_SOCKET);
  plat_sock_close(s);
  EXPECT_TRUE(c.closed_by_peer());
  reserve = plat_reserve_take();
  EXPECT_NE(reserve, nullptr);
  plat_reserve_release(reserve);
  plat_reserve_release(nullptr);
}
#endif

TEST(plat_poll1, readiness_of_a_connected_socket) {
  connection c;
  EXPECT_EQ(plat_poll1(c.server, PLAT_POLL_WRITE, 5000), PLAT_POLL_WRITE);
  EXPECT_EQ(plat_poll1(c.server, PLAT_POLL_READ, 0), 0);
  char b[8];
  EXPECT_EQ(plat_recv(c.server, b, sizeof b), -2);  // nothing there: would block

  ASSERT_TRUE(c.client.send_raw("hey"));
  EXPECT_EQ(plat_poll1(c.server, PLAT_POLL_READ, 5000), PLAT_POLL_READ);
  EXPECT_EQ(plat_poll1(c.server, PLAT_POLL_READ | PLAT_POLL_WRITE, 5000), PLAT_POLL_READ | PLAT_POLL_WRITE);
  ASSERT_EQ(plat_recv(c.server, b, sizeof b), 3);
  EXPECT_EQ(std::string(b, 3), "hey");

  ASSERT_EQ(plat_send(c.server, "back", 4), 4);
  EXPECT_EQ(c.client.recv_exact(4), "back");
}

TEST(plat_poll1, peer_close_shows_as_readable_and_receive_reports_the_end) {
  connection c;
  c.client.close_now();
  EXPECT_EQ(plat_poll1(c.server, PLAT_POLL_READ, 5000) & PLAT_POLL_READ, PLAT_POLL_READ);
  char b[4];
  EXPECT_EQ(plat_recv(c.server, b, sizeof b), 0);
}

TEST(plat_poll1, reset_shows_as_readable_even_when_only_writing_is_asked) {
  connection c;
  ASSERT_TRUE(set_linger_reset(c.client.fd));  // close with a reset
  c.client.close_now();
  EXPECT_EQ(plat_poll1(c.server, PLAT_POLL_WRITE, 5000) & PLAT_POLL_READ, PLAT_POLL_READ);
  char b[4];
  if (ON_WINDOWS) {
    EXPECT_LE(plat_recv(c.server, b, sizeof b), 0);  // Wine reports the reset as the end
  } else {
    EXPECT_EQ(plat_recv(c.server, b, sizeof b), -1);
  }
}

TEST(plat_poll1, a_closed_socket_is_not_ready) {
  const test_fd fd = tcp_socket();
  ASSERT_NE(fd, NO_FD);
  close_fd(fd);
  EXPECT_EQ(plat_poll1(static_cast<plat_socket>(fd), PLAT_POLL_READ, 100), 0);
}

TEST(plat_sock_shutdown, wakes_a_wait_on_the_listener) {
  SKIP_ON_WINDOWS("Windows wakes no wait on a listening socket short of closing it");
  listener l;
  std::atomic<int> result{-99};
  std::thread waiter([&] { result = plat_poll1(l.s, PLAT_POLL_READ, 20000); });
  plat_sleep_ms(100);
  const uint64_t start = plat_now_ms();
  plat_sock_shutdown(l.s);
  waiter.join();
  EXPECT_GE(result.load(), 1);
  EXPECT_LT(plat_now_ms() - start, 10000u);
}

TEST(plat_set_nodelay, switches_nagle_off) {
  connection c;
  EXPECT_EQ(plat_set_nodelay(c.server), 0);
  EXPECT_EQ(nodelay_of(static_cast<test_fd>(c.server)), 1);
}

namespace {
// A file of pattern bytes (support/fixture.h), open for reading.
struct pattern_file {
  temp_tree tree;
  plat_file* file = nullptr;
  explicit pattern_file(size_t size) {
    tree.write_size("f.bin", size);
    file = plat_fopen_read(tree.path("f.bin").c_str());
    EXPECT_NE(file, nullptr);
  }
  ~pattern_file() { plat_fclose(file); }
};

// Sends from a file into a connection whose peer has gone, until the send fails.
int64_t send_file_to_gone_peer(plat_socket s, plat_file* f, plat_send_way way = plat_send_way::zero_copy) {
  int64_t r = 0;
  for (int i = 0; i < 100 && r >= 0; i++) {
    r = plat_send_file(s, f, 0, 65536, WAIT_MS, way);
    if (r >= 0) plat_sleep_ms(10);  // let the reset come back
  }
  return r;
}

int send_file_on_layer_thread(void* arg) {
  auto* c = static_cast<std::pair<plat_socket, plat_file*>*>(arg);
  return send_file_to_gone_peer(c->first, c->second) == -1 ? 0 : 1;
}
}  // namespace

constexpr plat_send_way SEND_WAYS[] = {plat_send_way::zero_copy, plat_send_way::copy_once};

const char* send_way_name(plat_send_way w) {
  return w == plat_send_way::zero_copy ? "zero copy" : "copy once";
}

// Sends [at, end) of `f` with calls of `step` bytes, reading each reply on the client.
std::string send_range(connection& c, plat_file* f, int64_t at, int64_t end, size_t step, plat_send_way way) {
  std::string got;
  while (at < end) {
    const int64_t r = plat_send_file(c.server, f, static_cast<uint64_t>(at), step, WAIT_MS, way);
    if (r <= 0 || r > static_cast<int64_t>(step)) return got + "<" + std::to_string(r) + ">";
    got += c.client.recv_exact(static_cast<size_t>(r)).value_or("short");
    at += r;
  }
  return got;
}

TEST(plat_send_file, sends_the_file_bytes_from_an_offset_and_nothing_at_the_end) {
  for (const plat_send_way way : SEND_WAYS) {
    SCOPED_TRACE(send_way_name(way));
    // Asks for several of the layer's pieces per call, from odd offsets, so that pieces
    // end in the middle of the file and the last call meets its end.
    const int64_t size = 1000003;
    pattern_file f(static_cast<size_t>(size));
    connection c;
    EXPECT_TRUE(send_range(c, f.file, 500, size, 300001, way) ==
                pattern_bytes(500, static_cast<size_t>(size - 500)));
    EXPECT_EQ(plat_send_file(c.server, f.file, static_cast<uint64_t>(size), 10, WAIT_MS, way), 0);
    EXPECT_EQ(plat_send_file(c.server, f.file, uint64_t{1} << 50, 10, WAIT_MS, way), 0);
    EXPECT_EQ(plat_send_file(c.server, nullptr, 0, 10, WAIT_MS, way), -1);
  }
}

// The view is made at the first send that copies once and keeps the length the file had
// then: a file that shrinks later must end its bytes where it now ends (no signal for the
// pages that are gone), and one that grows must send its new bytes too.
TEST(plat_send_file, copying_once_follows_a_file_that_shrinks_or_grows) {
  const int64_t size = 1 << 20;
  pattern_file f(static_cast<size_t>(size));
  connection c;
  const plat_send_way once = plat_send_way::copy_once;
  ASSERT_TRUE(send_range(c, f.file, 0, 1000, 1000, once) == pattern_bytes(0, 1000));

  std::filesystem::resize_file(f.tree.path("f.bin"), static_cast<uintmax_t>(size / 2));
  EXPECT_TRUE(send_range(c, f.file, size / 2 - 5000, size / 2, 300000, once) ==
              pattern_bytes(static_cast<size_t>(size / 2 - 5000), 5000));
  EXPECT_EQ(plat_send_file(c.server, f.file, static_cast<uint64_t>(size / 2), 300000, WAIT_MS, once), 0);
  EXPECT_EQ(plat_send_file(c.server, f.file, static_cast<uint64_t>(size - 100), 50, WAIT_MS, once), 0);

  f.tree.write_size("f.bin", static_cast<size_t>(3 * size));  // the same file, rewritten longer
  EXPECT_TRUE(send_range(c, f.file, size - 100, 3 * size, 300000, once) ==
              pattern_bytes(static_cast<size_t>(size - 100), static_cast<size_t>(2 * size + 100)));
}

#if !defined(_WIN32)
// Pages resident in this process that are backed by a file, from /proc/self/statm.
long file_pages_resident() {
  long size = 0, resident = 0, shared = -1;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld %ld", &size, &resident, &shared) != 3) shared = -1;
    std::fclose(f);
  }
  return shared;
}

TEST(plat_send_file, copying_once_leaves_no_pages_of_the_file_resident) {
  const size_t size = 32u << 20;
  pattern_file f(size);
  connection c;
  const long before = file_pages_resident();
  ASSERT_GE(before, 0);
  std::string got;
  std::thread reader([&] { got = c.client.recv_exact(size).value_or("short"); });
  uint64_t at = 0;
  while (at < size) {
    const int64_t r = plat_send_file(c.server, f.file, at, size - at, WAIT_MS, plat_send_way::copy_once);
    if (r == -2 && plat_poll1(c.server, PLAT_POLL_WRITE, 5000) > 0) continue;
    if (r <= 0) break;
    at += static_cast<uint64_t>(r);
  }
  const long after = file_pages_resident();
  if (at < size) c.client.close_now();  // the reader must not wait for bytes never sent
  reader.join();
  ASSERT_EQ(at, size);
  EXPECT_TRUE(got == pattern_bytes(0, size));
  // 32 MiB is 8192 pages; what the test itself maps meanwhile stays far below a quarter.
  EXPECT_LT(after - before, static_cast<long>(size / 4096 / 4));
}
#endif

TEST(plat_send_file, reports_a_full_socket_as_would_block) {
  pattern_file f(1 << 20);
  connection c;
  int64_t r = 0;
  for (int i = 0; i < 10000 && r != -2; i++) {
    r = plat_send_file(c.server, f.file, 0, 1 << 20, 1000);
    ASSERT_NE(r, -1);
  }
  EXPECT_EQ(r, -2);
}

// sendfile knows no MSG_NOSIGNAL; a peer that has gone must still not end the program,
// whether the layer started the thread or not.
TEST(plat_send_file, a_peer_that_has_gone_fails_the_send_without_a_signal) {
  sigpipe_default guard;
  pattern_file f(1 << 20);
  for (const plat_send_way way : SEND_WAYS) {
    connection c;
    c.client.close_now();
    EXPECT_EQ(send_file_to_gone_peer(c.server, f.file, way), -1);
#if !defined(_WIN32)
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);  // none left behind for this thread
#endif
  }
  {
    connection c;
    c.client.close_now();
    std::pair<plat_socket, plat_file*> arg{c.server, f.file};
    plat_thread t = nullptr;
    ASSERT_EQ(plat_thread_start(&t, send_file_on_layer_thread, &arg), 0);
    plat_thread_join(t);
  }
}

namespace {
int set_flag(void* arg) {
  static_cast<std::atomic<int>*>(arg)->store(42);
  return 0;
}

int report_stack(void* arg) {
  size_t size = 0;
#if defined(_WIN32)
  ULONG_PTR low = 0, high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  size = high - low;  // the whole reservation
#else
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
#endif
  *static_cast<size_t*>(arg) = size;
  return 0;
}
}  // namespace

TEST(plat_thread, start_and_join) {
  std::atomic<int> flag{0};
  plat_thread t = nullptr;
  ASSERT_EQ(plat_thread_start(&t, set_flag, &flag), 0);
  ASSERT_NE(t, nullptr);
  plat_thread_join(t);
  EXPECT_EQ(flag.load(), 42);

  // Deep call chains with large path buffers run on these threads.
  size_t stack = 0;
  ASSERT_EQ(plat_thread_start(&t, report_stack, &stack), 0);
  plat_thread_join(t);
  EXPECT_GE(stack, size_t{1024 * 1024});
}

TEST(plat_thread, detached_thread_runs_on_by_itself) {
  std::atomic<int> flag{0};
  plat_thread t = nullptr;
  ASSERT_EQ(plat_thread_start(&t, set_flag, &flag), 0);
  plat_thread_detach(t);
  for (int i = 0; i < 1000 && flag.load() != 42; i++) plat_sleep_ms(10);
  EXPECT_EQ(flag.load(), 42);
}

namespace {
struct contended {
  plat_mutex m;
  long counter = 0;  // guarded by m, deliberately not atomic
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
};

int hammer(void* arg) {
  auto* c = static_cast<contended*>(arg);
  for (int i = 0; i < 20000; i++) {
    plat_guard g(c->m);
    if (c->inside.fetch_add(1) != 0) c->overlaps++;
    c->counter++;
    c->inside.fetch_sub(1);
  }
  return 0;
}
}  // namespace

TEST(plat_mutex, one_holder_at_a_time) {
  contended c;
  plat_thread threads[4];
  for (auto& t : threads) ASSERT_EQ(plat_thread_start(&t, hammer, &c), 0);
  for (auto& t : threads) plat_thread_join(t);
  EXPECT_EQ(c.counter, 4 * 20000);
  EXPECT_EQ(c.overlaps.load(), 0);
}

TEST(plat_clock, monotonic_and_sleep_waits_at_least_its_time) {
  uint64_t last = plat_now_ms();
  for (int i = 0; i < 10000; i++) {
    const uint64_t now = plat_now_ms();
    ASSERT_GE(now, last);
    last = now;
  }
  // The clock of Windows moves in steps of about 16 ms, so a reading may lag by one step.
  const uint64_t step = ON_WINDOWS ? 16 : 0;
  const uint64_t before = plat_now_ms();
  plat_sleep_ms(50);
  EXPECT_GE(plat_now_ms() - before + step, 50u);
  plat_sleep_ms(0);
  plat_sleep_ms(-5);  // nothing to wait for
}
