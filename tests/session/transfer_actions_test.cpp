// SPDX-License-Identifier: MIT
// The session loop and its file-transfer actions over a real connection: Size, Seek,
// Read and SeekRead byte for byte, the counting of unknown codes, End, the two time-outs,
// and sessions that cannot disturb one another.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/test_client.h"

namespace {

const std::string HANDSHAKE_REPLY = R"({"Version":3,"Platform":"quorvane-c"})";

std::string zeros(size_t n) { return std::string(n, '\0'); }

// The session still answers: a HandShake comes back as the very next bytes.
void expect_alive(test_client& c) {
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), HANDSHAKE_REPLY);
}

// A file of `size` pattern bytes in the root Movies, opened on a fresh connection.
struct open_file_session {
  temp_tree tree;
  std::unique_ptr<test_server> srv;
  test_client c;
  open_file_session(const std::string& name, size_t size) {
    tree.write_size("Movies/" + name, size);
    srv = std::make_unique<test_server>(std::initializer_list<std::string>{tree.path("Movies")});
    EXPECT_TRUE(c.connect_to(srv->port));
    open_file(c, R"({"FullName":"Movies/)" + name + R"("})");
  }
};

using clock_type = std::chrono::steady_clock;
long long ms_since(clock_type::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - t).count();
}

}  // namespace

TEST(transfer, size_and_reads_without_a_file_answer_zeros) {
  test_server srv;
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(c.send_code(ACT_SIZE));
  EXPECT_EQ(c.recv_i64(), 0);
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(6));
  EXPECT_EQ(c.recv_exact(6), zeros(6));
  ASSERT_TRUE(c.send_code(ACT_SEEKREAD));
  ASSERT_TRUE(c.send_u32(5));
  ASSERT_TRUE(c.send_i64(0));
  EXPECT_EQ(c.recv_exact(5), zeros(5));
  expect_alive(c);
}

TEST(transfer, openfile_of_a_listing_record_then_size_and_reads_advance) {
  temp_tree tree;
  tree.write_size("Movies/a.mkv", 4096);
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(c.send_code(ACT_OPENFOLDER));
  ASSERT_TRUE(c.send_string("Movies"));
  const auto listing = c.recv_string();
  ASSERT_TRUE(listing);
  const std::string record = record_for(*listing, "a.mkv");
  ASSERT_FALSE(record.empty()) << *listing;

  open_file(c, record);
  ASSERT_TRUE(c.send_code(ACT_SIZE));
  EXPECT_EQ(c.recv_i64(), 4096);  // also shows OpenFile itself sent nothing
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(100));
  EXPECT_EQ(c.recv_exact(100), pattern_bytes(0, 100));
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(300));
  EXPECT_EQ(c.recv_exact(300), pattern_bytes(100, 300));
}

TEST(transfer, reads_past_the_end_are_zero_filled_and_pos_moves_by_bytes_read) {
  open_file_session s("ten.bin", 10);
  test_client& c = s.c;

  // In order: each step starts where the one before left pos. A Seek sets it to any
  // value; Read and SeekRead move it by the bytes actually read, never past the end.
  struct step {
    const char* what;
    int32_t action;
    int64_t offset;  // where a Seek goes, or where a SeekRead reads
    uint32_t count;  // bytes a Read or SeekRead asks for
    std::string want;
  };
  const step STEPS[] = {
      {"seek into the last two bytes", ACT_SEEK, 8, 0, ""},
      {"read across the end", ACT_READ, 0, 5, pattern_bytes(8, 2) + zeros(3)},
      {"read on at the end", ACT_READ, 0, 4, zeros(4)},
      {"seek to a negative position", ACT_SEEK, -1, 0, ""},
      {"read at a negative position", ACT_READ, 0, 3, zeros(3)},
      {"read on, still negative", ACT_READ, 0, 2, zeros(2)},
      {"seekread across the end", ACT_SEEKREAD, 7, 6, pattern_bytes(7, 3) + zeros(3)},
      {"read on from the end", ACT_READ, 0, 1, zeros(1)},
      {"seekread inside", ACT_SEEKREAD, 2, 3, pattern_bytes(2, 3)},
      {"read on from offset plus bytes read", ACT_READ, 0, 2, pattern_bytes(5, 2)},
      {"seekread far past the end", ACT_SEEKREAD, int64_t{1} << 40, 4, zeros(4)},
      {"seekread at a negative offset", ACT_SEEKREAD, -5, 4, zeros(4)},
  };
  for (const auto& st : STEPS) {
    SCOPED_TRACE(st.what);
    ASSERT_TRUE(c.send_code(st.action));
    if (st.action == ACT_SEEK) {
      ASSERT_TRUE(c.send_i64(st.offset));
      continue;
    }
    ASSERT_TRUE(c.send_u32(st.count));
    if (st.action == ACT_SEEKREAD) {
      ASSERT_TRUE(c.send_i64(st.offset));
    }
    EXPECT_EQ(c.recv_exact(st.count), st.want);
  }
}

TEST(transfer, size_keeps_what_openfile_found) {
  open_file_session s("grow.bin", 10);
  test_client& c = s.c;
  ASSERT_TRUE(c.send_code(ACT_SIZE));
  ASSERT_EQ(c.recv_i64(), 10);
  s.tree.write_size("Movies/grow.bin", 50);
  ASSERT_TRUE(c.send_code(ACT_SIZE));
  EXPECT_EQ(c.recv_i64(), 10);
}

TEST(transfer, read_of_zero_bytes_sends_nothing) {
  open_file_session s("ten.bin", 10);
  test_client& c = s.c;
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(0));
  ASSERT_TRUE(c.send_code(ACT_SEEKREAD));
  ASSERT_TRUE(c.send_u32(0));
  ASSERT_TRUE(c.send_i64(3));
  // Nothing for either: the next bytes are the HandShake's, and SeekRead moved pos to 3.
  expect_alive(c);
  ASSERT_TRUE(c.send_code(ACT_READ));
  ASSERT_TRUE(c.send_u32(2));
  EXPECT_EQ(c.recv_exact(2), pattern_bytes(3, 2));
}

TEST(transfer, count_at_max_read_is_answered_and_one_more_ends_the_session) {
  ASSERT_EQ(vorn3s_config("max_read", "1024"), 0);
  temp_tree tree;
  tree.write_size("Movies/big.bin", 3000);
  test_server srv({tree.path("Movies")});

  struct over_case {
    const char* what;
    std::string request;
  };
  const over_case cases[] = {
      {"Read", be32(ACT_READ) + be32(1025)},
      {"SeekRead", be32(ACT_SEEKREAD) + be32(1025) + be64(0)},
      {"Read of the largest count", be32(ACT_READ) + be32(0xFFFFFFFFu)},
  };
  for (const auto& oc : cases) {
    SCOPED_TRACE(oc.what);
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    open_file(c, R"({"FullName":"Movies/big.bin"})");
    ASSERT_TRUE(c.send_code(ACT_READ));
    ASSERT_TRUE(c.send_u32(1024));
    EXPECT_EQ(c.recv_exact(1024), pattern_bytes(0, 1024));
    ASSERT_TRUE(c.send_code(ACT_SEEKREAD));
    ASSERT_TRUE(c.send_u32(1024));
    ASSERT_TRUE(c.send_i64(2500));
    EXPECT_EQ(c.recv_exact(1024), pattern_bytes(2500, 500) + zeros(524));
    ASSERT_TRUE(c.send_raw(oc.request));
    EXPECT_TRUE(c.closed_by_peer());  // closed with not one byte sent
  }
}

// Fifteen unknown codes are tolerated and the sixteenth ends the session; only a
// completed Seek, Subtitle, SubFolders or SeekRead sets the count back.
TEST(transfer, unknown_codes_are_counted_and_only_some_actions_reset_the_count) {
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 20);
  test_server srv({tree.path("Movies")});
  // Unknown codes of every kind: just past the table, just around HandShake, negative.
  const std::string unknown[] = {be32(11),          be32(3319),        be32(3321),
                                 be32(0xFFFFFFFFu), be32(0x80000000u), be32(0x7FFFFFFFu)};
  auto fifteen_unknown = [&] {
    std::string s;
    for (int i = 0; i < 15; i++) s += unknown[i % 6];
    return s;
  };

  {
    SCOPED_TRACE("fifteen, then a sixteenth");
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    ASSERT_TRUE(c.send_raw(fifteen_unknown()));
    expect_alive(c);
    ASSERT_TRUE(c.send_raw(be32(12)));
    EXPECT_TRUE(c.closed_by_peer());
  }

  // What an action answers: nothing, raw bytes of a length, or one string.
  struct action_case {
    const char* what;
    std::string request;
    int reply;  // -1 a string, else that many bytes
    bool resets;
  };
  const std::string filejson = R"({"FullName":"Movies/film.mkv"})";
  const std::string filejson_arg = be32(static_cast<uint32_t>(filejson.size())) + filejson;
  const action_case cases[] = {
      {"Seek", be32(ACT_SEEK) + be64(3), 0, true},
      {"SeekRead", be32(ACT_SEEKREAD) + be32(2) + be64(0), 2, true},
      {"SubFolders", be32(ACT_SUBFOLDERS) + be32(0), -1, true},
      {"Subtitle", be32(ACT_SUBTITLE) + filejson_arg, -1, true},
      {"Size", be32(ACT_SIZE), 8, false},
      {"Read", be32(ACT_READ) + be32(2), 2, false},
      {"HandShake", be32(ACT_HANDSHAKE), -1, false},
      {"Files", be32(ACT_FILES), -1, false},
      {"Folders", be32(ACT_FOLDERS), -1, false},
      {"OpenFolder", be32(ACT_OPENFOLDER) + be32(0), -1, false},
      {"OpenFile", be32(ACT_OPENFILE) + filejson_arg, 0, false},
  };
  for (const auto& ac : cases) {
    SCOPED_TRACE(ac.what);
    test_client c;
    ASSERT_TRUE(c.connect_to(srv.port));
    ASSERT_TRUE(c.send_raw(fifteen_unknown() + ac.request));
    if (ac.reply < 0) {
      ASSERT_TRUE(c.recv_string());
    } else if (ac.reply > 0) {
      ASSERT_TRUE(c.recv_exact(static_cast<size_t>(ac.reply)));
    }
    if (ac.resets) {
      ASSERT_TRUE(c.send_raw(fifteen_unknown()));
      expect_alive(c);
    } else {
      ASSERT_TRUE(c.send_raw(unknown[0]));
      EXPECT_TRUE(c.closed_by_peer());
    }
  }
}

TEST(transfer, end_closes_the_connection_without_a_reply) {
  open_file_session s("film.mkv", 20);
  test_client& c = s.c;
  // Nothing after End is read: the HandShake behind it goes unanswered.
  ASSERT_TRUE(c.send_raw(be32(ACT_END) + be32(ACT_HANDSHAKE)));
  EXPECT_TRUE(c.closed_by_peer());
}

// A client that stops in the middle of a request is dropped after read_timeout_ms, even
// though the idle time-out is far longer. All are started at once to share the wait.
TEST(transfer, client_stopping_mid_argument_is_dropped_after_the_read_timeout) {
  ASSERT_EQ(vorn3s_config("read_timeout_ms", "1000"), 0);
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 20);
  test_server srv({tree.path("Movies")});
  const std::string partial[] = {
      be32(ACT_SEEK) + std::string(3, '\0'),                // Seek, 3 of its 8 bytes
      be32(ACT_READ) + std::string(2, '\0'),                // Read, half its count
      be32(ACT_SEEKREAD) + be32(4) + std::string(5, '\0'),  // SeekRead, count and part of the offset
      be32(ACT_OPENFOLDER) + std::string(2, '\0'),          // OpenFolder, half a length
      be32(ACT_SUBFOLDERS) + be32(10) + "Movi",             // SubFolders, part of the text
      be32(ACT_OPENFILE) + be32(30) + R"({"FullName":)",    // OpenFile, part of the text
  };
  constexpr size_t n = sizeof partial / sizeof partial[0];
  test_client clients[n];
  for (size_t i = 0; i < n; i++) {
    ASSERT_TRUE(clients[i].connect_to(srv.port));
    ASSERT_TRUE(clients[i].send_raw(partial[i]));
  }
  const auto start = clock_type::now();
  for (size_t i = 0; i < n; i++) {
    SCOPED_TRACE(i);
    clients[i].timeout_ms = 10000;
    EXPECT_TRUE(clients[i].closed_by_peer());
  }
  EXPECT_LT(ms_since(start), 10000);
}

TEST(transfer, idle_client_is_dropped_after_the_idle_timeout) {
  ASSERT_EQ(vorn3s_config("idle_timeout_ms", "1000"), 0);
  test_server srv;
  test_client silent, after_handshake;
  ASSERT_TRUE(silent.connect_to(srv.port));
  ASSERT_TRUE(after_handshake.connect_to(srv.port));
  expect_alive(after_handshake);
  const auto start = clock_type::now();
  silent.timeout_ms = after_handshake.timeout_ms = 10000;
  EXPECT_TRUE(silent.closed_by_peer());
  EXPECT_TRUE(after_handshake.closed_by_peer());
  EXPECT_LT(ms_since(start), 10000);
}

// Garbage on one connection and a client vanishing mid-request on another end those
// sessions only; a session reading a file meanwhile gets every byte right.
TEST(transfer, broken_sessions_do_not_disturb_another_session) {
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 100000);
  test_server srv({tree.path("Movies")});
  test_client player;
  ASSERT_TRUE(player.connect_to(srv.port));
  open_file(player, R"({"FullName":"Movies/film.mkv"})");
  int64_t pos = 0;
  auto read_chunk = [&] {
    ASSERT_TRUE(player.send_code(ACT_READ));
    ASSERT_TRUE(player.send_u32(7000));
    EXPECT_EQ(player.recv_exact(7000), pattern_bytes(static_cast<size_t>(pos), 7000));
    pos += 7000;
  };
  read_chunk();

  {
    // Text that is no protocol at all: unknown codes, then enough 0xFF codes to pass 15.
    test_client garbage;
    ASSERT_TRUE(garbage.connect_to(srv.port));
    ASSERT_TRUE(garbage.send_raw("GET / HTTP/1.1\r\n\r\n"));
    read_chunk();
    garbage.send_raw(std::string(64, '\xff'));
    EXPECT_TRUE(garbage.closed_by_peer());
  }
  read_chunk();
  {
    // A string length no session accepts.
    test_client huge;
    ASSERT_TRUE(huge.connect_to(srv.port));
    ASSERT_TRUE(huge.send_raw(be32(ACT_OPENFOLDER) + be32(0xFFFFFFFFu)));
    EXPECT_TRUE(huge.closed_by_peer());
  }
  read_chunk();
  for (const std::string& request :
       {be32(ACT_SEEK) + "abc", be32(ACT_OPENFILE) + be32(40) + "{\"Full", be32(ACT_SEEKREAD) + be32(9)}) {
    test_client vanishing;
    ASSERT_TRUE(vanishing.connect_to(srv.port));
    ASSERT_TRUE(vanishing.send_raw(request));
    vanishing.close_now();
    read_chunk();
  }
  ASSERT_TRUE(player.send_code(ACT_SIZE));
  EXPECT_EQ(player.recv_i64(), 100000);
  expect_alive(player);
}
