// SPDX-License-Identifier: MIT
// The timed transfer primitives over real loopback connections: exact counts, strings at
// and past the limit, peers that close, stall or have gone.
#include "session/transfer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "plat/plat.h"
#include "server/vorn3s.h"
#include "support/sockets.h"
#include "support/test_client.h"
#include "util/strbuf.h"

namespace {

constexpr int WAIT_MS = 5000;

}  // namespace

TEST(timed_transfer, exact_counts_in_both_directions) {
  link_pair p;
  const std::string big = std::string(3 * 1024 * 1024, 'x') + "end";
  // The peer reads while we send: the send has to continue over many partial writes.
  std::string got;
  std::thread reader([&] { got = p.peer.recv_exact(big.size()).value_or("short"); });
  EXPECT_EQ(sock_send_all(p.sock, big.data(), big.size(), WAIT_MS), 0);
  reader.join();
  EXPECT_TRUE(got == big);

  // Received in pieces that arrive one after another, by both receives: the one that
  // tries first and the one that waits first.
  for (auto* recv : {sock_recv_exact, sock_recv_next}) {
    std::thread writer([&] {
      for (const char* piece : {"ab", "cdef", "g"}) {
        p.peer.send_raw(piece);
        plat_sleep_ms(20);
      }
    });
    char buf[7];
    EXPECT_EQ(recv(p.sock, buf, sizeof buf, WAIT_MS, nullptr), 0);
    writer.join();
    EXPECT_EQ(std::string(buf, sizeof buf), "abcdefg");
  }
}

TEST(timed_transfer, nothing_to_move_succeeds_without_waiting) {
  // No socket at all: any wait would fail, so success shows that none happened.
  const uint64_t start = plat_now_ms();
  EXPECT_EQ(sock_recv_exact(PLAT_NO_SOCKET, nullptr, 0, 60000), 0);
  EXPECT_EQ(sock_recv_next(PLAT_NO_SOCKET, nullptr, 0, 60000), 0);
  EXPECT_EQ(sock_send_all(PLAT_NO_SOCKET, nullptr, 0, 60000), 0);
  link_pair p;
  EXPECT_EQ(sock_recv_exact(p.sock, nullptr, 0, 60000), 0);
  EXPECT_EQ(sock_recv_next(p.sock, nullptr, 0, 60000), 0);
  EXPECT_LT(plat_now_ms() - start, 10000u);
}

TEST(timed_transfer, receive_times_out) {
  link_pair p;
  ASSERT_TRUE(p.peer.send_raw("ab"));  // part of what is expected, then silence
  char buf[4];
  const uint64_t start = plat_now_ms();
  EXPECT_EQ(sock_recv_exact(p.sock, buf, sizeof buf, 1000), -1);
  EXPECT_LT(plat_now_ms() - start, 10000u);
}

TEST(timed_transfer, send_times_out_when_the_peer_stops_reading) {
  link_pair p;
  const int small = 4096;
  set_buffer_sizes(static_cast<test_fd>(p.sock), small, 0);
  set_buffer_sizes(p.peer.fd, 0, small);
  const std::string big(16 * 1024 * 1024, 'y');
  const uint64_t start = plat_now_ms();
  EXPECT_EQ(sock_send_all(p.sock, big.data(), big.size(), 1000), -1);
  EXPECT_LT(plat_now_ms() - start, 10000u);
}

TEST(timed_transfer, peer_closing_midway_fails_the_receive) {
  {
    link_pair p;
    ASSERT_TRUE(p.peer.send_raw("abc"));
    p.peer.close_now();
    char buf[8];
    EXPECT_EQ(sock_recv_exact(p.sock, buf, sizeof buf, WAIT_MS), -1);
  }
  {
    link_pair p;
    ASSERT_TRUE(p.peer.send_raw(be32(10) + "abc"));
    p.peer.close_now();
    char* out = nullptr;
    EXPECT_EQ(read_string(p.sock, &out, WAIT_MS), -1);
    EXPECT_EQ(out, nullptr);
  }
  {
    link_pair p;
    ASSERT_TRUE(p.peer.send_raw(std::string("\0\0", 2)));  // half a length
    p.peer.close_now();
    char* out = nullptr;
    EXPECT_EQ(read_string(p.sock, &out, WAIT_MS), -1);
    EXPECT_EQ(out, nullptr);
  }
}

TEST(timed_transfer, sending_to_a_peer_that_has_gone_fails_without_a_signal) {
#if !defined(_WIN32)
  // The default action of SIGPIPE ends the process; the sends must never raise it.
  struct sigaction dfl {
  }, old{};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &dfl, &old), 0);
#endif

  link_pair p;
  p.peer.close_now();
  const std::string chunk(64 * 1024, 'z');
  int failed_at = -1;
  for (int i = 0; i < 100 && failed_at < 0; i++) {
    if (sock_send_all(p.sock, chunk.data(), chunk.size(), 1000) != 0)
      failed_at = i;
    else
      plat_sleep_ms(10);  // let the reset come back
  }
  EXPECT_GE(failed_at, 0);
  EXPECT_EQ(w_string(p.sock, "still alive", 1000), -1);
#if !defined(_WIN32)
  sigaction(SIGPIPE, &old, nullptr);
#endif
}

TEST(w_string, sends_length_and_bytes_up_to_the_limit) {
  ASSERT_EQ(vorn3s_config("max_string", "256"), 0);
  link_pair p;
  struct send_case {
    std::string text;
    int result;
  };
  const send_case CASES[] = {
      {std::string(256, 'm'), 0},
      {std::string(257, 'n'), -1},
      {"caf\xc3\xa9", 0},
      {std::string(300, 'o'), -1},
      {"after", 0},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.text.size());
    EXPECT_EQ(w_string(p.sock, c.text.c_str(), WAIT_MS), c.result);
  }
  // Only the accepted texts went out, each whole: a refused one sent not even its length.
  for (const auto& c : CASES) {
    if (c.result != 0) continue;
    SCOPED_TRACE(c.text.size());
    EXPECT_EQ(p.peer.recv_exact(4), be32(static_cast<uint32_t>(c.text.size())));
    EXPECT_EQ(p.peer.recv_exact(c.text.size()), c.text);
  }
  EXPECT_TRUE(p.peer.silent_for(200));
}

TEST(w_string, empty_and_null_are_four_zero_bytes) {
  link_pair p;
  EXPECT_EQ(w_string(p.sock, "", WAIT_MS), 0);
  EXPECT_EQ(w_string(p.sock, nullptr, WAIT_MS), 0);
  EXPECT_EQ(p.peer.recv_exact(8), std::string(8, '\0'));
  EXPECT_TRUE(p.peer.silent_for(200));
}

TEST(read_string, accepts_up_to_the_limit) {
  ASSERT_EQ(vorn3s_config("max_string", "256"), 0);
  link_pair p;
  for (const std::string& text :
       {std::string(256, 'a'), std::string(), std::string("x"), std::string("\xe6\x97\xa5\xff")}) {
    SCOPED_TRACE(text.size());
    ASSERT_TRUE(p.peer.send_string(text));
    char* out = nullptr;
    ASSERT_EQ(read_string(p.sock, &out, WAIT_MS), 0);
    text_ptr owned(out);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out), text);
  }
}

TEST(read_string, refuses_a_length_past_the_limit_without_reading_on) {
  ASSERT_EQ(vorn3s_config("max_string", "256"), 0);
  for (uint32_t len : {257u, 0x7fffffffu, 0xffffffffu}) {
    SCOPED_TRACE(len);
    link_pair p;
    ASSERT_TRUE(p.peer.send_raw(be32(len) + "rest"));
    char sentinel = 0;
    char* out = &sentinel;
    EXPECT_EQ(read_string(p.sock, &out, WAIT_MS), -1);
    EXPECT_EQ(out, &sentinel);
    char rest[4];
    ASSERT_EQ(sock_recv_exact(p.sock, rest, 4, WAIT_MS), 0);  // still in the stream
    EXPECT_EQ(std::string(rest, 4), "rest");
  }
}

TEST(read_string, refuses_a_zero_byte_anywhere_inside) {
  for (const std::string& text :
       {std::string("\0bcde", 5), std::string("ab\0de", 5), std::string("abcd\0", 5), std::string(1, '\0')}) {
    SCOPED_TRACE(testing::PrintToString(text));
    link_pair p;
    ASSERT_TRUE(p.peer.send_string(text));
    char sentinel = 0;
    char* out = &sentinel;
    EXPECT_EQ(read_string(p.sock, &out, WAIT_MS), -1);
    EXPECT_EQ(out, &sentinel);
  }
}

TEST(read_string, times_out_on_a_silent_peer) {
  link_pair p;
  ASSERT_TRUE(p.peer.send_raw(be32(5) + "ab"));
  char* out = nullptr;
  const uint64_t start = plat_now_ms();
  EXPECT_EQ(read_string(p.sock, &out, 1000), -1);
  EXPECT_LT(plat_now_ms() - start, 10000u);
  EXPECT_EQ(out, nullptr);
}

TEST(timed_transfer, failures_tell_their_cause) {
  ASSERT_EQ(vorn3s_config("max_string", "256"), 0);
  struct cause_case {
    const char* what;
    std::function<void(link_pair&)> peer;  // what the peer does first
    std::function<int(link_pair&, xfer_cause*)> call;
    xfer_cause want;
  };
  const auto recv8 = [](link_pair& p, xfer_cause* why) {
    char buf[8];
    return sock_recv_exact(p.sock, buf, sizeof buf, 1000, why);
  };
  const auto read_str = [](link_pair& p, xfer_cause* why) {
    char* out = nullptr;
    const int r = read_string(p.sock, &out, 1000, why);
    std::free(out);
    return r;
  };
  const cause_case CASES[] = {
      {"silence", [](link_pair&) {}, recv8, xfer_cause::timeout},
      {"silence before a code", [](link_pair&) {},
       [](link_pair& p, xfer_cause* why) {
         char buf[4];
         return sock_recv_next(p.sock, buf, sizeof buf, 1000, why);
       },
       xfer_cause::timeout},
      {"the peer closes midway",
       [](link_pair& p) {
         p.peer.send_raw("abc");
         p.peer.close_now();
       },
       recv8, xfer_cause::closed},
      {"a string over max_string", [](link_pair& p) { p.peer.send_raw(be32(257)); }, read_str,
       xfer_cause::bad_string},
      {"a zero byte in a string", [](link_pair& p) { p.peer.send_string(std::string("a\0b", 3)); }, read_str,
       xfer_cause::bad_string},
      {"a text over max_string", [](link_pair&) {},
       [](link_pair& p, xfer_cause* why) {
         return w_string(p.sock, std::string(257, 'x').c_str(), 1000, why);
       },
       xfer_cause::too_long},
      {"a peer that reset the connection",
       [](link_pair& p) {
         set_linger_reset(p.peer.fd);
         p.peer.close_now();
         plat_sleep_ms(50);  // let the reset arrive
       },
       [](link_pair& p, xfer_cause* why) {
         const std::string chunk(64 * 1024, 'z');
         int r = 0;
         for (int i = 0; i < 100 && r == 0; i++)
           r = sock_send_all(p.sock, chunk.data(), chunk.size(), 1000, why);
         return r;
       },
       xfer_cause::error},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.what);
    link_pair p;
    c.peer(p);
    xfer_cause why = xfer_cause::none;
    EXPECT_EQ(c.call(p, &why), -1);
    EXPECT_EQ(static_cast<int>(why), static_cast<int>(c.want));
  }
}

TEST(sock_set_nodelay, succeeds_on_a_connection) {
  link_pair p;
  EXPECT_EQ(sock_set_nodelay(p.sock), 0);
}
