// SPDX-License-Identifier: MIT
// The access log as the server writes it, in this process: the lines of a player's
// journey, the cause of every way a session ends, the connection limit and the shortage
// of descriptors.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "server/access_log.h"
#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/fixture.h"
#include "support/sockets.h"
#include "support/test_client.h"

namespace {

// True when `line` begins with a UTC time as 2025-05-04T18:03:11.042Z, then " event=".
bool begins_with_time(const std::string& line) {
  static constexpr char FORM[] = "dddd-dd-ddTdd:dd:dd.dddZ event=";
  if (line.size() < sizeof FORM - 1) return false;
  for (size_t i = 0; i + 1 < sizeof FORM; i++) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (FORM[i] == 'd' ? !digit : line[i] != FORM[i]) return false;
  }
  return true;
}

// The log of one test in a fresh folder, open for its whole life.
struct logged {
  temp_tree tree;
  std::string path = tree.path("access.log");
  logged() { EXPECT_EQ(access_log_open(path.c_str()), 0); }
  ~logged() { access_log_close(); }

  // Every line without its time, each checked to begin with one.
  std::vector<std::string> events() const {
    std::vector<std::string> out;
    for (const auto& l : file_lines(path)) {
      EXPECT_TRUE(begins_with_time(l)) << l;
      out.push_back(l.substr(l.find(' ') + 1));
    }
    return out;
  }
  // The events once `done` holds for them, or as they are after 10 s.
  std::vector<std::string> events_once(
      const std::function<bool(const std::vector<std::string>&)>& done) const {
    for (int i = 0; i < 500; i++) {
      const auto e = events();
      if (done(e)) return e;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return events();
  }
  std::vector<std::string> events_with(const std::string& text, size_t count = 1) const {
    return events_once([&](const std::vector<std::string>& e) {
      size_t n = 0;
      for (const auto& l : e) n += l.find(text) != std::string::npos ? 1 : 0;
      return n >= count;
    });
  }
};

std::string peer_of(const test_client& c) { return "127.0.0.1:" + std::to_string(c.local_port()); }

// The duration field's value, a number, replaced by "N".
std::string without_duration(std::string line) {
  const size_t at = line.find("duration_ms=");
  if (at == std::string::npos) return line;
  const size_t from = at + 12;
  const size_t to = line.find_first_not_of("0123456789", from);
  return line.replace(from, (to == std::string::npos ? line.size() : to) - from, "N");
}

bool handshake(test_client& c) { return c.send_code(ACT_HANDSHAKE) && c.recv_string().has_value(); }

}  // namespace

// One player's journey: a line each for the connection, its handshake, each OpenFile with
// its outcome, each ID refused by the containment rule (as it was sent) and the end.
TEST(log_events, a_players_journey) {
  logged log;
  log.tree.write_size("Movies/a.mkv", 4096);
  test_server srv({log.tree.path("Movies")});
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(handshake(c));
  ASSERT_TRUE(handshake(c));  // a second adds nothing
  ASSERT_TRUE(c.send_code(ACT_OPENFOLDER) && c.send_string("../etc"));
  EXPECT_EQ(c.recv_string(), "[]");
  ASSERT_TRUE(c.send_code(ACT_SUBFOLDERS) && c.send_string("Movies/..\\x\x01"));
  EXPECT_EQ(c.recv_string(), "[]");
  ASSERT_TRUE(c.send_code(ACT_OPENFOLDER) && c.send_string("Movies/a..b"));
  EXPECT_EQ(c.recv_string(), "[]");
  ASSERT_TRUE(c.send_code(ACT_OPENFILE) && c.send_string(R"({"FullName":"Movies/../../etc/passwd"})"));
  ASSERT_TRUE(c.send_code(ACT_OPENFILE) && c.send_string(R"({"FullName":"Movies/none.mkv"})"));
  ASSERT_TRUE(c.send_code(ACT_OPENFILE) && c.send_string("not json"));
  ASSERT_TRUE(c.send_code(ACT_OPENFILE) && c.send_string(R"({"Folder":"Movies","Name":"a.mkv"})"));
  ASSERT_TRUE(c.send_code(ACT_SEEKREAD) && c.send_u32(1000) && c.send_i64(4000));
  ASSERT_TRUE(c.recv_exact(1000));
  ASSERT_TRUE(c.send_code(ACT_END));
  EXPECT_TRUE(c.closed_by_peer());

  std::vector<std::string> got = log.events_with("event=end");
  for (auto& l : got) l = without_duration(l);
  const std::vector<std::string> want = {
      "event=connect conn=1 peer=" + peer_of(c),
      "event=handshake conn=1 order=big",
      R"(event=refused conn=1 action=OpenFolder id="../etc")",
      R"(event=refused conn=1 action=SubFolders id="Movies/..\\x\x01")",
      R"(event=refused conn=1 action=OpenFolder id="Movies/a..b")",
      R"(event=refused conn=1 action=OpenFile id="Movies/../../etc/passwd")",
      R"(event=open conn=1 id="Movies/../../etc/passwd" code=-7)",
      R"(event=open conn=1 id="Movies/none.mkv" code=-4)",
      R"(event=open conn=1 id="not json" code=-1)",
      R"(event=open conn=1 id="Movies/a.mkv" size=4096)",
      "event=end conn=1 reason=end duration_ms=N bytes=1000",
  };
  EXPECT_EQ(got, want);
}

// An ID longer than a line should carry is cut, and its whole length given.
TEST(log_events, a_long_id_is_cut_and_its_length_given) {
  logged log;
  test_server srv;
  test_client c;
  const std::string id = "../" + std::string(5000, 'x');
  ASSERT_TRUE(c.connect_to(srv.port));
  ASSERT_TRUE(c.send_code(ACT_OPENFOLDER) && c.send_string(id));
  EXPECT_EQ(c.recv_string(), "[]");
  const auto got = log.events_with("event=refused");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1], "event=refused conn=1 action=OpenFolder id=\"" + id.substr(0, 1024) + "\" id_bytes=5003");
}

// Each way a session ends is named in its end line.
TEST(log_events, the_end_line_names_why_the_session_ended) {
  logged log;
  for (int i = 0; i < 300; i++)
    log.tree.write("Big/a file with a long enough name " + std::to_string(i) + ".mkv", "");
  ASSERT_EQ(vorn3s_config("idle_timeout_ms", "1000"), 0);
  ASSERT_EQ(vorn3s_config("read_timeout_ms", "1000"), 0);
  ASSERT_EQ(vorn3s_config("max_string", "1024"), 0);
  test_server srv({log.tree.path("Big")});
  struct end_case {
    const char* reason;
    std::function<void(test_client&)> act;
  };
  const end_case CASES[] = {
      {"end", [](test_client& c) { c.send_code(ACT_END); }},
      {"peer_closed", [](test_client& c) { c.close_now(); }},
      {"idle_timeout", [](test_client&) {}},
      {"read_timeout",
       [](test_client& c) { c.send_code(ACT_OPENFOLDER) && c.send_raw(std::string(2, '\0')); }},
      {"reply_too_long", [](test_client& c) { c.send_code(ACT_OPENFOLDER) && c.send_string("Big"); }},
      {"count_too_large", [](test_client& c) { c.send_code(ACT_READ) && c.send_u32(4194305); }},
      {"unknown_codes",
       [](test_client& c) {
         for (int i = 0; i < 16; i++) c.send_code(99);
       }},
  };
  std::vector<std::unique_ptr<test_client>> clients;
  for (const auto& ec : CASES) {
    clients.push_back(std::make_unique<test_client>());
    ASSERT_TRUE(clients.back()->connect_to(srv.port));
    ASSERT_TRUE(handshake(*clients.back()));
    ec.act(*clients.back());
  }
  const auto got = log.events_with("event=end", std::size(CASES));
  for (size_t i = 0; i < std::size(CASES); i++) {
    SCOPED_TRACE(CASES[i].reason);
    const std::string head = "event=end conn=" + std::to_string(i + 1) + " reason=";
    const auto line =
        std::find_if(got.begin(), got.end(), [&](const std::string& l) { return l.starts_with(head); });
    ASSERT_NE(line, got.end());
    EXPECT_EQ(without_duration(*line), head + CASES[i].reason + " duration_ms=N bytes=0");
  }
}

TEST(log_events, a_connection_past_the_limit_is_logged_with_its_peer) {
  logged log;
  ASSERT_EQ(vorn3s_config("max_connections", "1"), 0);
  test_server srv;
  test_client first, second;
  ASSERT_TRUE(first.connect_to(srv.port));
  ASSERT_TRUE(handshake(first));
  ASSERT_TRUE(second.connect_to(srv.port));
  EXPECT_TRUE(second.closed_by_peer());
  const auto got = log.events_with("event=busy");
  EXPECT_NE(std::find(got.begin(), got.end(), "event=busy peer=" + peer_of(second) + " max_connections=1"),
            got.end());
}

#if !defined(_WIN32)  // descriptor limits are POSIX
// Out of descriptors, the connections closed unserved are counted in lines of their own,
// at most one a second.
TEST(log_events, connections_closed_for_want_of_descriptors_are_counted) {
  logged log;
  test_server srv;
  // Served once, so that the listener holds its reserve descriptor before they run out.
  test_client running;
  ASSERT_TRUE(running.connect_to(srv.port));
  ASSERT_TRUE(handshake(running));
  std::vector<test_client> waiting(3);
  for (auto& c : waiting) ASSERT_TRUE(c.prepare());
  {
    descriptors_exhausted exhausted;
    for (auto& c : waiting) {
      ASSERT_TRUE(c.connect_prepared(srv.port));
      ASSERT_GT(wait_readable(c.fd, c.timeout_ms), 0);
    }
  }
  const auto closed_in = [](const std::vector<std::string>& e) {
    int sum = 0;
    const std::string head = "event=exhausted closed=";
    for (const auto& l : e) {
      if (l.starts_with(head)) sum += std::stoi(l.substr(head.size()));
    }
    return sum;
  };
  const auto got = log.events_once([&](const std::vector<std::string>& e) { return closed_in(e) == 3; });
  EXPECT_EQ(closed_in(got), 3);
}
#endif
