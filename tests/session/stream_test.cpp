// SPDX-License-Identifier: MIT
// File replies streamed over real loopback connections, every way the file's bytes can
// travel (straight from the file, copied once from a view of it, or read into the
// session's buffer and sent): exact bytes across chunk boundaries, the zero fill wherever
// it starts, a count of 0, offsets outside the file, peers that stall or close in the
// middle, and whole sessions, alone and several at once.
#include "session/stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "plat/plat.h"
#include "server/vorn3s.h"
#include "session/transfer.h"
#include "session/wire.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/sockets.h"
#include "support/test_client.h"

namespace {

constexpr int WAIT_MS = 5000;
constexpr int64_t CHUNK = static_cast<int64_t>(STREAM_CHUNK);
constexpr stream_way WAYS[] = {stream_way::zero_copy, stream_way::copy_once, stream_way::buffer};

const char* way_name(stream_way w) {
  switch (w) {
    case stream_way::zero_copy: return "zero copy";
    case stream_way::copy_once: return "copy once";
    case stream_way::buffer: return "buffer";
    case stream_way::best: break;
  }
  return "best";
}

std::string zeros(size_t n) { return std::string(n, '\0'); }

// Holds a file of `size` pattern bytes open for reading.
struct open_pattern_file {
  temp_tree tree;
  plat_file* file = nullptr;
  explicit open_pattern_file(int64_t size) {
    tree.write_size("film.mkv", static_cast<size_t>(size));
    file = plat_fopen_read(tree.path("film.mkv").c_str());
    EXPECT_NE(file, nullptr);
  }
  ~open_pattern_file() { plat_fclose(file); }
};

struct stream_case {
  const char* what;
  int64_t file_size;  // -1: no file open
  int64_t offset;
  uint64_t count;
};

const stream_case CASES[] = {
    {"inside the file across chunk boundaries", 3 * CHUNK + 1000, 100, 2 * CHUNK + 500},
    {"the whole file, ending on a chunk boundary", 2 * CHUNK, 0, 2 * CHUNK},
    {"zero fill starting inside a chunk", CHUNK + 1000, 0, 3 * CHUNK},
    {"zero fill starting on a chunk boundary", 2 * CHUNK, 0, 3 * CHUNK + 7},
    {"zero fill from the first byte, at the end", 1000, 1000, CHUNK + 1},
    {"a count of 0", 1000, 10, 0},
    {"an offset far past the end", 1000, int64_t{1} << 40, CHUNK + 3},
    {"an offset near the largest one", 1000, INT64_MAX - 10, 100},
    {"a negative offset", 1000, -5, 100},
    {"no file open", -1, 0, CHUNK + 100},
};

// What the reply must be: the file's bytes from the offset, then zeros.
int64_t file_part_of(const stream_case& c) {
  if (c.file_size < 0 || c.offset < 0 || c.offset >= c.file_size) return 0;
  return std::min<int64_t>(c.file_size - c.offset, static_cast<int64_t>(c.count));
}

}  // namespace

TEST(stream, sends_the_file_bytes_then_zeros_exactly) {
  for (const stream_way way : WAYS) {
    for (const auto& c : CASES) {
      SCOPED_TRACE(std::string(way_name(way)) + ": " + c.what);
      open_pattern_file f(c.file_size < 0 ? 0 : c.file_size);
      link_pair p;
      stream_buffer buf;
      const int64_t in_file = file_part_of(c);
      const std::string want = (in_file ? pattern_bytes(static_cast<size_t>(c.offset), static_cast<size_t>(in_file))
                                        : std::string()) +
                               zeros(static_cast<size_t>(c.count - static_cast<uint64_t>(in_file)));
      // The peer reads the reply and a marker behind it, which shows that nothing more
      // and nothing less was sent.
      std::string got;
      std::thread reader([&] { got = p.peer.recv_exact(want.size() + 4).value_or("short"); });
      int64_t file_bytes = -1;
      EXPECT_EQ(stream_file_bytes(p.sock, c.file_size < 0 ? nullptr : f.file, c.offset, c.count, &buf, WAIT_MS,
                                  &file_bytes, way),
                VORN3S_OK);
      EXPECT_EQ(sock_send_all(p.sock, "end!", 4, WAIT_MS), 0);
      reader.join();
      EXPECT_EQ(file_bytes, in_file);
      ASSERT_EQ(got.size(), want.size() + 4);
      EXPECT_TRUE(got.compare(0, want.size(), want) == 0);
      EXPECT_EQ(got.substr(want.size()), "end!");
      EXPECT_LE(buf.cap, STREAM_CHUNK);  // a connection holds at most one chunk
    }
  }
}

TEST(stream, a_send_that_would_block_halfway_waits_and_goes_on) {
  for (const stream_way way : WAYS) {
    SCOPED_TRACE(way_name(way));
    open_pattern_file f(4 * CHUNK + 11);
    link_pair p;
    // Small buffers on both ends: the socket is full long before the reply is out.
    const int small = 64 * 1024;
    ASSERT_TRUE(set_buffer_sizes(static_cast<test_fd>(p.sock), small, 0));
    ASSERT_TRUE(set_buffer_sizes(p.peer.fd, 0, small));
    const uint64_t count = 5 * STREAM_CHUNK;
    std::string got;
    std::thread reader([&] {
      plat_sleep_ms(200);  // the sender meets a full socket first
      got = p.peer.recv_exact(count).value_or("short");
    });
    stream_buffer buf;
    int64_t file_bytes = -1;
    EXPECT_EQ(stream_file_bytes(p.sock, f.file, 0, count, &buf, WAIT_MS, &file_bytes, way), VORN3S_OK);
    reader.join();
    EXPECT_EQ(file_bytes, 4 * CHUNK + 11);
    EXPECT_TRUE(got == pattern_bytes(0, 4 * STREAM_CHUNK + 11) + zeros(STREAM_CHUNK - 11));
  }
}

TEST(stream, a_peer_that_stops_reading_fails_the_reply_after_the_timeout) {
  for (const stream_way way : WAYS) {
    SCOPED_TRACE(way_name(way));
    open_pattern_file f(2 * CHUNK);
    link_pair p;
    stream_buffer buf;
    int64_t file_bytes = -1;
    // Far more than both socket buffers hold; the peer reads nothing at all.
    EXPECT_EQ(stream_file_bytes(p.sock, f.file, 0, 64u << 20, &buf, 500, &file_bytes, way), VORN3S_ENET);
  }
}

TEST(stream, a_peer_closing_in_the_middle_of_a_chunk_fails_the_reply_without_a_signal) {
  sigpipe_default guard;
  for (const stream_way way : WAYS) {
    for (const bool past_the_end : {false, true}) {
      SCOPED_TRACE(std::string(way_name(way)) + (past_the_end ? ", in the zero fill" : ", in the file"));
      open_pattern_file f(past_the_end ? 1000 : 8 * CHUNK);
      link_pair p;
      std::thread reader([&] {
        EXPECT_TRUE(p.peer.recv_exact(static_cast<size_t>(CHUNK / 2 + 3)));
        p.peer.close_now();
      });
      stream_buffer buf;
      int64_t file_bytes = -1;
      EXPECT_EQ(stream_file_bytes(p.sock, f.file, 0, 64u << 20, &buf, WAIT_MS, &file_bytes, way), VORN3S_ENET);
      reader.join();
    }
  }
}

// Whole sessions: replies of many chunks, the position moving by what was read, and a
// client that goes in the middle of a reply without disturbing the server.
TEST(stream, sessions_stream_long_replies_and_survive_clients_that_go) {
  sigpipe_default guard;
  ASSERT_EQ(vorn3s_config("max_read", "16777216"), 0);
  temp_tree tree;
  const size_t size = 3 * STREAM_CHUNK + 5000;
  tree.write_size("Movies/film.mkv", size);
  test_server srv({tree.path("Movies")});

  {
    test_client leaving;
    ASSERT_TRUE(leaving.connect_to(srv.port));
    open_file(leaving, R"({"FullName":"Movies/film.mkv"})");
    ASSERT_TRUE(leaving.send_raw(be32(ACT_SEEKREAD) + be32(16u << 20) + be64(0)));
    ASSERT_TRUE(leaving.recv_exact(STREAM_CHUNK + 17));
  }

  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  open_file(c, R"({"FullName":"Movies/film.mkv"})");
  // Past the end from inside a chunk; the position is then the end of the file.
  ASSERT_TRUE(c.send_raw(be32(ACT_SEEKREAD) + be32(4 * STREAM_CHUNK) + be64(100)));
  EXPECT_TRUE(c.recv_exact(4 * STREAM_CHUNK) == pattern_bytes(100, size - 100) + zeros(STREAM_CHUNK + 100 - 5000));
  ASSERT_TRUE(c.send_raw(be32(ACT_READ) + be32(3)));
  EXPECT_EQ(c.recv_exact(3), zeros(3));
  // Across chunk boundaries inside the file; Read goes on where SeekRead stopped.
  ASSERT_TRUE(c.send_raw(be32(ACT_SEEKREAD) + be32(2 * STREAM_CHUNK + 1) + be64(7)));
  EXPECT_TRUE(c.recv_exact(2 * STREAM_CHUNK + 1) == pattern_bytes(7, 2 * STREAM_CHUNK + 1));
  ASSERT_TRUE(c.send_raw(be32(ACT_READ) + be32(STREAM_CHUNK)));
  EXPECT_TRUE(c.recv_exact(STREAM_CHUNK) == pattern_bytes(2 * STREAM_CHUNK + 8, STREAM_CHUNK));
  ASSERT_TRUE(c.send_code(ACT_SIZE));
  EXPECT_EQ(c.recv_i64(), static_cast<int64_t>(size));
}

// Several sessions sending long replies at once take the other way from the file (copied
// once), each from its own view: every byte still where it belongs.
TEST(stream, sessions_sending_long_replies_at_once_each_get_their_own_bytes) {
  ASSERT_EQ(vorn3s_config("max_read", "16777216"), 0);
  temp_tree tree;
  const size_t size = 8 * STREAM_CHUNK + 333;
  tree.write_size("Movies/film.mkv", size);
  test_server srv({tree.path("Movies")});

  constexpr int CLIENTS = 4;
  constexpr int ROUNDS = 6;
  std::vector<std::string> failures(CLIENTS);
  std::vector<std::thread> clients;
  for (int i = 0; i < CLIENTS; i++) {
    clients.emplace_back([&, i] {
      test_client c;
      if (!c.connect_to(srv.port)) return void(failures[i] = "no connection");
      open_file(c, R"({"FullName":"Movies/film.mkv"})");
      for (int round = 0; round < ROUNDS; round++) {
        // Odd offsets and lengths, different for each client and round; the last round
        // runs past the end of the file.
        const uint64_t at = (static_cast<uint64_t>(i) * 7 + static_cast<uint64_t>(round) * 3) * 100003 % size;
        const uint32_t count = round == ROUNDS - 1 ? static_cast<uint32_t>(size - at + 5000)
                                                   : static_cast<uint32_t>(2 * STREAM_CHUNK + 17 * (i + 1));
        const size_t in_file = std::min<size_t>(count, size - at);
        if (!c.send_raw(be32(ACT_SEEKREAD) + be32(count) + be64(at)))
          return void(failures[i] = "send failed");
        const auto got = c.recv_exact(count);
        if (!got || *got != pattern_bytes(at, in_file) + zeros(count - in_file))
          return void(failures[i] = "wrong bytes in round " + std::to_string(round));
      }
    });
  }
  for (auto& t : clients) t.join();
  for (int i = 0; i < CLIENTS; i++) EXPECT_EQ(failures[i], "") << "client " << i;
}
