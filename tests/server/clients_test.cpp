// SPDX-License-Identifier: MIT
// The table of live connections: the rows it copies out, what a real session records in
// it, and entries that come and go while the table is being copied.
#include "server/clients.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/fixture.h"
#include "support/test_client.h"

namespace {

std::vector<client_row> snapshot() {
  std::vector<client_row> rows;
  EXPECT_EQ(clients_snapshot(&rows), 0);
  return rows;
}

// Waits (10 s at most) until the table holds `n` entries.
bool wait_for_rows(size_t n) {
  for (int i = 0; i < 1000 && snapshot().size() != n; i++) plat_sleep_ms(10);
  return snapshot().size() == n;
}

// Sends HandShake and takes its reply: once it is back, every earlier action of the
// session has been recorded.
bool round_trip(test_client& c) { return c.send_code(ACT_HANDSHAKE) && c.recv_string().has_value(); }

bool open_file(test_client& c, const std::string& id) {
  return c.send_code(ACT_OPENFILE) && c.send_string(R"({"FullName":")" + id + R"("})");
}

}  // namespace

TEST(clients_table, rows_follow_registration_updates_and_removal) {
  EXPECT_TRUE(snapshot().empty());
  client_entry a, b;
  clients_register(&a, plat_peer{0x7F000001, 40001});
  clients_register(&b, plat_peer{0xC0000202, 40002});
  client_note_sent(&b, 1000);
  client_note_sent(&b, 24);
  client_set_file(&b, "Movies/film.mkv");
  client_note_action(&a);
  client_note_sent(nullptr, 5);  // a session run without the table
  client_set_file(nullptr, "x");

  auto rows = snapshot();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].number, rows[0].number + 1);
  EXPECT_EQ(rows[0].peer.ipv4, 0x7F000001u);
  EXPECT_EQ(rows[0].peer.port, 40001);
  EXPECT_EQ(rows[0].file_id, "");
  EXPECT_EQ(rows[0].bytes_sent, 0u);
  EXPECT_EQ(rows[1].peer.ipv4, 0xC0000202u);
  EXPECT_EQ(rows[1].file_id, "Movies/film.mkv");
  EXPECT_EQ(rows[1].bytes_sent, 1024u);

  client_set_file(&b, nullptr);
  clients_unregister(&a);
  rows = snapshot();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].number, b.number);
  EXPECT_EQ(rows[0].file_id, "");

  // A later entry takes a new number, never a freed one.
  client_entry c;
  clients_register(&c, plat_peer{});
  EXPECT_EQ(c.number, b.number + 1);
  clients_unregister(&b);
  clients_unregister(&c);
  EXPECT_TRUE(snapshot().empty());
}

// Sessions that end while the console copies the table: every copied row is whole, and
// no entry is read after its session has released it (the sanitizer run checks that).
TEST(clients_table, entries_come_and_go_while_it_is_copied) {
  constexpr int THREADS = 4, ROUNDS = 2000;
  std::atomic<int> running{THREADS};
  std::vector<std::thread> sessions;
  for (int t = 0; t < THREADS; t++) {
    sessions.emplace_back([&running, t] {
      for (int i = 0; i < ROUNDS; i++) {
        auto* e = new client_entry;
        clients_register(e, plat_peer{static_cast<uint32_t>(t), static_cast<uint16_t>(i)});
        client_set_file(e, "Movies/a.mkv");
        client_note_sent(e, 7);
        clients_unregister(e);
        delete e;
      }
      running.fetch_sub(1);
    });
  }
  while (running.load() > 0) {
    for (const auto& row : snapshot()) {
      EXPECT_LT(row.peer.ipv4, static_cast<uint32_t>(THREADS));
      EXPECT_TRUE(row.file_id.empty() || row.file_id == "Movies/a.mkv");
      EXPECT_TRUE(row.bytes_sent == 0 || row.bytes_sent == 7);
    }
  }
  for (auto& s : sessions) s.join();
  EXPECT_TRUE(snapshot().empty());
}

namespace {
struct id_case {
  std::string opened, shown;
};

// Opens each file in turn; the one session's row shows the ID given.
void expect_open_file_ids(test_client& c, const std::vector<id_case>& cases) {
  for (const auto& ic : cases) {
    SCOPED_TRACE(ic.opened);
    ASSERT_TRUE(open_file(c, ic.opened));
    ASSERT_TRUE(round_trip(c));
    const auto rows = snapshot();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].file_id, ic.shown);
  }
}
}  // namespace

// A real session: its peer, the ID of the file it opened, the bytes of file data sent.
TEST(clients_table, sessions_record_their_peer_open_file_and_bytes_sent) {
  temp_tree tree;
  tree.write_size("Movies/Sub/film.mkv", 5000);
  tree.write_size("solo.mkv", 300);
  test_server srv({tree.path("Movies"), tree.path("solo.mkv")});

  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(round_trip(c));
  auto rows = snapshot();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].peer.ipv4, 0x7F000001u);
  EXPECT_EQ(rows[0].peer.port, c.local_port());
  EXPECT_EQ(rows[0].file_id, "");
  EXPECT_EQ(rows[0].bytes_sent, 0u);

  // Read and SeekRead replies count, zero bytes past the end included.
  ASSERT_TRUE(open_file(c, "Movies/Sub/film.mkv"));
  ASSERT_TRUE(c.send_code(ACT_SEEKREAD) && c.send_u32(1000) && c.send_i64(4500));
  ASSERT_TRUE(c.recv_exact(1000));
  ASSERT_TRUE(c.send_code(ACT_READ) && c.send_u32(24));
  ASSERT_TRUE(c.recv_exact(24));
  ASSERT_TRUE(round_trip(c));
  rows = snapshot();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].file_id, "Movies/Sub/film.mkv");
  EXPECT_EQ(rows[0].bytes_sent, 1024u);

  // The ID is the one a listing gives the file; for a single-file root, the root's name.
  expect_open_file_ids(
      c, {
             {"solo.mkv", "solo.mkv"}, {"Movies/none.mkv", ""},  // a failed OpenFile leaves no file open
         });
  c.close_now();
  EXPECT_TRUE(wait_for_rows(0));
}

// Through a link inside the root, the ID is the target's.
TEST(clients_table, a_file_opened_through_a_link_shows_as_its_target) {
  SKIP_ON_WINDOWS(NEEDS_LINKS);
  temp_tree tree;
  tree.write_size("Movies/Sub/film.mkv", 5000);
  tree.symlink(tree.path("Movies/Sub/film.mkv"), "Movies/link.mkv");
  test_server srv({tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  expect_open_file_ids(c, {{"Movies/link.mkv", "Movies/Sub/film.mkv"}});
}
