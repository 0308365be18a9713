// SPDX-License-Identifier: MIT
// The control socket with a runner of its own: replies and their end markers, the limits
// on lines and on clients, clients that misbehave, and the socket's place in the file
// system (who may connect, what is refused at the start, what is left at the end).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "plat/plat.h"
#include "server/control.h"
#include "support/fixture.h"
#include "support/sockets.h"

namespace {

// Answers "got LINE"; "fail" fails, "lines N" answers N lines, "quit" quits.
command_outcome echo_runner(char* line, std::string* out) {
  std::string_view l(line);
  while (!l.empty() && (l.back() == '\n' || l.back() == '\r')) l.remove_suffix(1);
  if (l == "quit") return command_outcome::quit;
  if (l == "fail") {
    out->append("no\n");
    return command_outcome::failed;
  }
  if (l.starts_with("lines ")) {
    const int n = std::atoi(std::string(l.substr(6)).c_str());
    for (int i = 0; i < n; i++) out->append("line " + std::to_string(i) + "\n");
    return command_outcome::done;
  }
  out->append("got ").append(l).append("\n");
  return command_outcome::done;
}

// The control socket of one test, served with the echo runner, closed at the end.
struct control_fixture {
  temp_tree tree;
  std::string path = control_path(tree);
  int opened = control_open(path.c_str(), nullptr);
  control_fixture() {
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(control_serve(echo_runner), 0);
  }
  ~control_fixture() { control_close(); }
};

struct ctl_client {
  plat_local_conn* conn = nullptr;
  std::string pending;

  explicit ctl_client(const std::string& path) {
    EXPECT_EQ(plat_local_connect(path.c_str(), 5000, &conn), 0);
  }
  ~ctl_client() { plat_local_close(conn); }
  ctl_client(const ctl_client&) = delete;
  ctl_client& operator=(const ctl_client&) = delete;

  bool send(const std::string& bytes) {
    return conn && plat_local_send(conn, bytes.data(), bytes.size(), 10000) == 0;
  }
  // The next line, or none when the connection ends or nothing comes within 10 s.
  std::optional<std::string> line() {
    for (int waits = 0; waits < 100; waits++) {
      const size_t lf = pending.find('\n');
      if (lf != std::string::npos) {
        std::string l = pending.substr(0, lf);
        pending.erase(0, lf + 1);
        return l;
      }
      char buf[4096];
      const int64_t n = conn ? plat_local_recv(conn, buf, sizeof buf, 100) : -1;
      if (n == -2) continue;
      if (n <= 0) return std::nullopt;
      pending.append(buf, static_cast<size_t>(n));
      waits = 0;
    }
    return std::nullopt;
  }
  // One reply: its lines and then its end marker.
  std::vector<std::string> reply() {
    std::vector<std::string> lines;
    while (auto l = line()) {
      lines.push_back(*l);
      if (*l == CONTROL_END_OK || *l == CONTROL_END_FAILED) break;
    }
    return lines;
  }
  // True when a send fails within `ms`, as it does once the server has closed; reads
  // nothing, so that a server waiting for the client to read stays waiting.
  bool send_fails_within(int ms) {
    for (const uint64_t until = plat_now_ms() + static_cast<uint64_t>(ms); plat_now_ms() < until;) {
      if (plat_local_send(conn, "x\n", 2, 1000) != 0) return true;
      plat_sleep_ms(200);
    }
    return false;
  }
  // True when the server ends the connection within `ms`, whatever it sent before.
  bool closed_within(int ms) {
    char buf[65536];
    for (const uint64_t until = plat_now_ms() + static_cast<uint64_t>(ms); plat_now_ms() < until;) {
      const int64_t n = plat_local_recv(conn, buf, sizeof buf, 100);
      if (n == 0 || n == -1) return true;
    }
    return false;
  }
};

using lines = std::vector<std::string>;

}  // namespace

TEST(control, each_line_is_answered_then_marked_done_or_failed) {
  control_fixture f;
  ctl_client c(f.path);
  struct reply_case {
    std::string sent;
    lines reply;
  };
  const reply_case CASES[] = {
      {"hello\n", {"got hello", ". 0"}},
      {"fail\n", {"no", ". 1"}},
      {"lines 3\n", {"line 0", "line 1", "line 2", ". 0"}},
      {"lines 0\n", {". 0"}},
      {"\n", {"got ", ". 0"}},
      // Bytes that are no text reach the runner as they came; only a zero byte is refused.
      {"\x01\xff\x80 x\r\n", {"got \x01\xff\x80 x", ". 0"}},
      {std::string("a\0b\n", 4), {"refused: zero byte in the line", ". 1"}},
  };
  for (const auto& rc : CASES) {
    SCOPED_TRACE(rc.sent);
    ASSERT_TRUE(c.send(rc.sent));
    EXPECT_EQ(c.reply(), rc.reply);
  }
  // Lines sent together are answered in order, each with its marker.
  ASSERT_TRUE(c.send("one\ntwo\nfail\nthree\n"));
  EXPECT_EQ(c.reply(), (lines{"got one", ". 0"}));
  EXPECT_EQ(c.reply(), (lines{"got two", ". 0"}));
  EXPECT_EQ(c.reply(), (lines{"no", ". 1"}));
  EXPECT_EQ(c.reply(), (lines{"got three", ". 0"}));
}

// 2048 bytes with the line feed is the longest line taken whole; one byte more is refused
// with a message, never cut, and the connection goes on with the next line.
TEST(control, a_line_over_2048_bytes_is_refused_whole) {
  control_fixture f;
  ctl_client c(f.path);
  const std::string longest(CONTROL_LINE_MAX - 1 - 4, 'x');
  ASSERT_TRUE(c.send("say " + longest + "\n"));
  EXPECT_EQ(c.reply(), (lines{"got say " + longest, ". 0"}));
  ASSERT_TRUE(c.send("say " + longest + "y\nafter\n"));
  EXPECT_EQ(c.reply(), (lines{"refused: line over 2048 bytes", ". 1"}));
  EXPECT_EQ(c.reply(), (lines{"got after", ". 0"}));
}

// A line of 1 MiB is refused as soon as it is too long, while the rest of it still comes
// in; other clients are served meanwhile, and the client goes on after its line ends.
TEST(control, a_line_of_one_mebibyte_is_refused_and_others_are_served) {
  control_fixture f;
  ctl_client big(f.path);
  std::atomic<bool> sent{false};
  std::thread sender([&] { sent = big.send(std::string(1 << 20, 'z') + "\nnext\n"); });
  EXPECT_EQ(big.reply(), (lines{"refused: line over 2048 bytes", ". 1"}));
  ctl_client other(f.path);
  ASSERT_TRUE(other.send("hello\n"));
  EXPECT_EQ(other.reply(), (lines{"got hello", ". 0"}));
  sender.join();
  EXPECT_TRUE(sent);
  EXPECT_EQ(big.reply(), (lines{"got next", ". 0"}));
}

// A client that asks for long replies and reads none is closed once a reply cannot go out
// in time; another client is answered at once all the while.
TEST(control, a_client_that_never_reads_is_closed_after_a_bounded_time) {
  control_fixture f;
  ctl_client deaf(f.path);
  std::string asks;
  for (int i = 0; i < 20; i++) asks += "lines 20000\n";
  ASSERT_TRUE(deaf.send(asks));
  ctl_client other(f.path);
  for (int i = 0; i < 3; i++) {
    ASSERT_TRUE(other.send("hello\n"));
    EXPECT_EQ(other.reply(), (lines{"got hello", ". 0"}));
    plat_sleep_ms(200);
  }
  EXPECT_TRUE(deaf.send_fails_within(30000));
}

// A hundred clients at once: each is answered or told that there are too many, and once
// they have gone a new one is served.
TEST(control, a_hundred_clients_at_once_are_each_served_or_refused) {
  control_fixture f;
  std::vector<std::unique_ptr<ctl_client>> clients;
  for (int i = 0; i < 100; i++) clients.push_back(std::make_unique<ctl_client>(f.path));
  int served = 0, refused = 0;
  for (auto& c : clients) {
    // A refused client may already be closed when it sends: its refusal is waiting.
    (void)c->send("hello\n");
    const lines r = c->reply();
    if (r == lines{"got hello", ". 0"})
      served++;
    else if (r == lines{"refused: too many control clients", ". 1"})
      refused++;
    else
      ADD_FAILURE() << (r.empty() ? "<nothing>" : r[0]);
  }
  EXPECT_EQ(served + refused, 100);
  EXPECT_GT(served, 0);
  EXPECT_GT(refused, 0);
  clients.clear();
  // The served clients' threads count themselves out as they notice the close.
  bool again = false;
  for (int i = 0; i < 50 && !again; i++) {
    ctl_client late(f.path);
    late.send("late\n");
    again = late.reply() == lines{"got late", ". 0"};
    if (!again) plat_sleep_ms(100);
  }
  EXPECT_TRUE(again);
}

TEST(control, quit_is_answered_then_the_connection_ends) {
  control_fixture f;
  ctl_client c(f.path);
  ASSERT_TRUE(c.send("quit\nhello\n"));
  EXPECT_EQ(c.reply(), (lines{". 0"}));
  EXPECT_TRUE(c.closed_within(5000));
}

// Closing ends connected clients too, within the bound of one reply, and frees the name
// for the next server.
TEST(control, close_ends_the_clients_and_frees_the_name) {
  temp_tree t;
  const std::string path = control_path(t);
  ASSERT_EQ(control_open(path.c_str(), nullptr), 0);
  ASSERT_EQ(control_serve(echo_runner), 0);
  ctl_client idle(path);
  ASSERT_TRUE(idle.send("hello\n"));
  EXPECT_EQ(idle.reply(), (lines{"got hello", ". 0"}));
  control_close();
  EXPECT_TRUE(idle.closed_within(5000));
#if !defined(_WIN32)
  EXPECT_EQ(mode_of(path).bits, -1) << "the socket file is left behind";
#endif
  plat_local_conn* none = nullptr;
  EXPECT_EQ(plat_local_connect(path.c_str(), 100, &none), PLAT_LOCAL_ABSENT);
  ASSERT_EQ(control_open(path.c_str(), nullptr), 0);
  control_close();
}

// A name a running server listens on is refused; the server goes on undisturbed.
TEST(control, a_name_in_use_by_a_running_server_is_refused) {
  control_fixture f;
  plat_local_listener* second = nullptr;
  EXPECT_EQ(plat_local_listen(f.path.c_str(), nullptr, &second), PLAT_LOCAL_IN_USE);
  EXPECT_EQ(second, nullptr);
  ctl_client c(f.path);
  ASSERT_TRUE(c.send("hello\n"));
  EXPECT_EQ(c.reply(), (lines{"got hello", ". 0"}));
}

TEST(control, a_name_too_long_for_the_system_is_refused) {
  temp_tree t;
  const std::string path =
      ON_WINDOWS ? "\\\\.\\pipe\\" + std::string(300, 'p') : t.path(std::string(120, 'p'));
  plat_local_listener* l = nullptr;
  EXPECT_EQ(plat_local_listen(path.c_str(), nullptr, &l), PLAT_LOCAL_TOO_LONG);
  plat_local_conn* c = nullptr;
  EXPECT_EQ(plat_local_connect(path.c_str(), 100, &c), PLAT_LOCAL_TOO_LONG);
}

#if !defined(_WIN32)
// Only the owner may connect: the socket has mode 0600 from the moment it exists.
TEST(control_posix, the_socket_is_the_owners_alone_or_a_groups_too) {
  temp_tree t;
  plat_local_listener* l = nullptr;
  ASSERT_EQ(plat_local_listen(t.path("own").c_str(), nullptr, &l), 0);
  EXPECT_EQ(mode_of(t.path("own")).bits, 0600);
  plat_local_listen_close(l);

  const std::string group = own_group_name();
  ASSERT_FALSE(group.empty());
  ASSERT_EQ(plat_local_listen(t.path("shared").c_str(), group.c_str(), &l), 0);
  const file_mode m = mode_of(t.path("shared"));
  EXPECT_EQ(m.bits, 0660);
  EXPECT_EQ(m.gid, static_cast<long>(getegid()));
  plat_local_listen_close(l);

  EXPECT_EQ(plat_local_listen(t.path("nogroup").c_str(), "no-such-group-here", &l), PLAT_LOCAL_GROUP);
  EXPECT_EQ(mode_of(t.path("nogroup")).bits, -1);
}

// What lies at the path decides: something that is no socket is refused and left as it
// is; a socket that no server answers on is a leftover and is replaced.
TEST(control_posix, what_lies_at_the_path_is_refused_or_replaced) {
  temp_tree t;
  t.write("file", "keep me");
  t.mkdir("folder");
  plat_local_listener* l = nullptr;
  for (const char* taken : {"file", "folder"}) {
    SCOPED_TRACE(taken);
    EXPECT_EQ(plat_local_listen(t.path(taken).c_str(), nullptr, &l), PLAT_LOCAL_NOT_SOCKET);
  }
  EXPECT_EQ(file_text(t.path("file")), "keep me");

  ASSERT_TRUE(leave_stale_local_socket(t.path("stale")));
  plat_local_conn* c = nullptr;
  EXPECT_EQ(plat_local_connect(t.path("stale").c_str(), 100, &c), PLAT_LOCAL_ABSENT);
  ASSERT_EQ(plat_local_listen(t.path("stale").c_str(), nullptr, &l), 0);
  ASSERT_EQ(plat_local_connect(t.path("stale").c_str(), 1000, &c), 0);
  plat_local_close(c);
  plat_local_listen_close(l);
}

// Removed at the end only while it is still the one made: a newer server's stays.
TEST(control_posix, close_leaves_a_socket_that_replaced_ours) {
  temp_tree t;
  const std::string path = t.path("ctl");
  plat_local_listener* first = nullptr;
  ASSERT_EQ(plat_local_listen(path.c_str(), nullptr, &first), 0);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  plat_local_listener* second = nullptr;
  ASSERT_EQ(plat_local_listen(path.c_str(), nullptr, &second), 0);
  plat_local_listen_close(first);
  plat_local_conn* c = nullptr;
  EXPECT_EQ(plat_local_connect(path.c_str(), 1000, &c), 0);
  plat_local_close(c);
  plat_local_listen_close(second);
  EXPECT_EQ(mode_of(path).bits, -1);
}
#endif
