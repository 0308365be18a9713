// SPDX-License-Identifier: MIT
// The control socket and the access log of the serve command, driven through the program
// itself: the console's lines over the socket, the control command's statuses and its
// interactive form, what is refused at the start, and a player's journey in the log with
// the log's rotation.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "plat/plat.h"
#include "session/wire.h"
#include "support/fixture.h"
#include "support/serve_console.h"
#include "support/subprocess.h"
#include "support/test_client.h"

namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  const std::string t = lf_line_ends(text);
  for (size_t at = 0; at < t.size();) {
    const size_t lf = t.find('\n', at);
    out.push_back(t.substr(at, lf - at));
    if (lf == std::string::npos) break;
    at = lf + 1;
  }
  return out;
}

// The control command with `words` after the socket's path.
run_result control(const std::string& ctl, const args& words, const std::string& input = "") {
  args a = {"control", ctl};
  a.insert(a.end(), words.begin(), words.end());
  return run_cli(a, input);
}

// The lines of the access log once one holds `text` (or as they are after 10 s).
std::vector<std::string> log_once(const std::string& path, const std::string& text) {
  for (int i = 0; i < 500; i++) {
    const std::string all = file_text(path);
    if (all.find(text) != std::string::npos) break;
    plat_sleep_ms(20);
  }
  return file_lines(path);
}

// How many of `lines` hold `text`.
size_t count_with(const std::vector<std::string>& lines, const std::string& text) {
  size_t n = 0;
  for (const auto& l : lines) n += l.find(text) != std::string::npos ? 1 : 0;
  return n;
}

bool handshake(test_client& c) { return c.send_code(ACT_HANDSHAKE) && c.recv_string() == HANDSHAKE; }

// The two counts of seconds in the clients lines (the fourth and fifth words), which may
// tick between two asks, as "S".
std::vector<std::string> seconds_out(std::vector<std::string> lines) {
  for (auto& l : lines) {
    if (!l.starts_with("client ")) continue;
    size_t at = 0;
    for (int word = 0; word < 3 && at != std::string::npos; word++) at = l.find(' ', at + 1);
    for (int word = 0; word < 2 && at != std::string::npos; word++) {
      const size_t end = l.find(' ', at + 1);
      if (end == std::string::npos) break;
      l.replace(at + 1, end - at - 1, "S");
      at += 2;
    }
  }
  return lines;
}

}  // namespace

// Over the socket every command gives the lines the console prints; set reaches the
// players; quit stops the server and takes the socket away.
TEST(control_socket, gives_the_console_lines_and_quit_stops_the_server) {
  temp_tree t;
  write_films(t, "Movies/Films");
  t.mkdir("Shows");
  const std::string ctl = control_path(t);
  console c({t.path("Movies")}, {"--control", ctl, "--log", t.path("access.log")});
  ASSERT_GT(c.port, 0);
  test_client player;
  ASSERT_TRUE(player.connect_to(c.port));
  ASSERT_TRUE(handshake(player));
  test_client too_early;
  ASSERT_TRUE(too_early.connect_to(c.port));
  ASSERT_TRUE(too_early.send_code(ACT_OPENFOLDER) && too_early.send_string("Movies/Films"));
  EXPECT_TRUE(too_early.closed_by_peer());

  for (const std::string cmd : {"status", "roots", "clients", "help", "set max_string 1048576"}) {
    SCOPED_TRACE(cmd);
    const run_result r = control(ctl, {cmd});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // status is how ask_lines finds the end of an answer: it is asked alone.
    const std::vector<std::string> console_lines =
        cmd == "status" ? std::vector<std::string>{ask(c.proc, cmd).value_or("")} : ask_lines(c.proc, cmd);
    EXPECT_EQ(seconds_out(lines_of(r.out)), seconds_out(console_lines));
  }
  // The words of a command may come as separate arguments too.
  EXPECT_EQ(control(ctl, {"set", "max_string", "1048576"}).out, "set 0 ok\n");

  // Roots change the same way from either side, and each side sees the other's change.
  struct step {
    bool over_socket;
    std::string line, reply;
  };
  const step STEPS[] = {
      {true, "add " + t.path("Shows"), "add 1 root 1 added"},
      {false, "add " + t.path("Shows"), "add -2 root already added"},
      {true, "remove " + t.path("Shows"), "remove 0 removed"},
      {false, "remove " + t.path("Shows"), "remove -4 not a root"},
      {true, "remove " + t.path("Shows"), "remove -4 not a root"},
  };
  for (const auto& s : STEPS) {
    SCOPED_TRACE(s.line);
    if (s.over_socket) {
      const run_result r = control(ctl, {s.line});
      EXPECT_EQ(lf_line_ends(r.out), s.reply + "\n");
      EXPECT_EQ(r.status, s.reply.find(" -") == std::string::npos ? 0 : 1);
    } else {
      EXPECT_EQ(ask(c.proc, s.line), s.reply);
    }
  }

  // The larger max_string set over the socket reaches a player's next listing.
  ASSERT_TRUE(player.send_code(ACT_OPENFOLDER) && player.send_string("Movies/Films"));
  const auto listing = player.recv_string();
  ASSERT_TRUE(listing);
  EXPECT_GT(listing->size(), 65536u);

  const run_result quit = control(ctl, {"quit"});
  EXPECT_EQ(quit.status, 0);
  EXPECT_EQ(quit.out, "");
  EXPECT_EQ(c.proc.wait_exit(), 0);
#if !defined(_WIN32)
  EXPECT_EQ(mode_of(ctl).bits, -1) << "the socket is left behind";
#endif
  const run_result gone = control(ctl, {"status"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "control: " + ctl + ": no server listens there\n");
}

// Status 0 exactly when the reply is the command's success; the reply is printed either
// way.
TEST(control_socket, the_control_command_tells_success_from_failure) {
  temp_tree t;
  const std::string ctl = control_path(t), log = t.path("access.log");
  console c({}, {"--control", ctl, "--log", log});
  ASSERT_GT(c.port, 0);
  struct status_case {
    args words;
    std::string out;
    int status;
  };
  const status_case CASES[] = {
      {{"bogus"}, "?\n", 1},
      {{""}, "", 0},
      {{"add", t.path("gone")}, "add -4 cannot resolve " + t.path("gone") + "\n", 1},
      {{"add", t.path("")}, "add 0 root 0 added\n", 0},
      {{"remove", t.path("gone")}, "remove -4 cannot resolve\n", 1},
      {{"set", "max_string", "1"}, "set -1 out of range\n", 1},
      {{"set", "control", "x"}, "set -1 unknown key\n", 1},
      {{"log"}, "log lost=0 " + log + "\n", 0},
      {{"log", "reopen"}, "log reopen 0 ok\n", 0},
      {{"quit", "now"}, "?\n", 1},
  };
  for (const auto& sc : CASES) {
    SCOPED_TRACE(sc.words[0]);
    const run_result r = control(ctl, sc.words);
    EXPECT_EQ(lf_line_ends(r.out), sc.out);
    EXPECT_EQ(r.status, sc.status);
    EXPECT_EQ(r.err, "");
  }

  // No server: a message naming the path, status 1. Without a path the packaged one is
  // meant.
  const run_result none = control(t.path("nothing"), {"status"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "control: " + t.path("nothing") + ": no server listens there\n");
  const run_result packaged = run_cli({"control", "status"});
  EXPECT_EQ(packaged.status, 1);
  EXPECT_NE(packaged.err.find("quorvane-tessaline-vorn-v3-tcp-media-server"), std::string::npos)
      << packaged.err;

  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

// Without a command, each line of standard input is one, a console at a distance; quit
// ends it and the server.
TEST(control_socket, the_control_command_reads_lines_from_standard_input) {
  temp_tree t;
  t.mkdir("Movies");
  const std::string ctl = control_path(t);
  console c({t.path("Movies")}, {"--control", ctl});
  ASSERT_GT(c.port, 0);
  const std::vector<std::string> roots = ask_lines(c.proc, "roots");
  ASSERT_EQ(roots.size(), 1u);
  const std::string input = "status\nbogus\n" + std::string(1 << 20, 'x') + "\nroots\r\nquit\nstatus\n";
  const run_result r = control(ctl, {}, input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  const std::vector<std::string> want = {c.status(1, 0), "?", "refused: line over 2048 bytes", roots[0]};
  EXPECT_EQ(lines_of(r.out), want);
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

// What is refused at the start, before anything listens: status 1 and the reason.
TEST(control_socket, refusals_at_the_start) {
  temp_tree t;
  t.mkdir("folder");
  const std::string ctl = control_path(t);
  console running({}, {"--control", ctl});
  ASSERT_GT(running.port, 0);
  struct refusal {
    args extra;
    std::string err;
  };
  std::vector<refusal> cases = {
      {{"--control", ctl}, "control: " + ctl + ": in use by a running server\n"},
      {{"--log", t.path("folder")}, "log: " + t.path("folder") + ": cannot open\n"},
      {{"--control", ctl + "x", "--control-group", "no-such-group-here"},
       "control: " + ctl + "x: cannot give that group access\n"},
  };
  if (!ON_WINDOWS) {
    t.write("file", "keep");
    cases.push_back(
        {{"--control", t.path("file")}, "control: " + t.path("file") + ": exists and is not a socket\n"});
    cases.push_back({{"--set", "control=" + t.path("file")},
                     "control: " + t.path("file") + ": exists and is not a socket\n"});
  }
  for (const auto& rc : cases) {
    SCOPED_TRACE(rc.err);
    const run_result r = run_cli(console::make_args({}, rc.extra), "status\nquit\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, rc.err);
  }
  if (!ON_WINDOWS) {
    EXPECT_EQ(file_text(t.path("file")), "keep");
  }
  // The server that holds the socket is undisturbed.
  EXPECT_EQ(control(ctl, {"status"}).out, running.status(1, 0) + "\n");
  // An option without its value, or a group for no socket, is a wrong command line.
  for (const args& wrong : {args{"serve", "--bind", "127.0.0.1", "--control"},
                            args{"serve", "--bind", "127.0.0.1", "--control-group", "x"}}) {
    const run_result r = run_cli(wrong);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(0, 7), "usage:\n");
  }
  // A socket in a folder that does not exist (a pipe's name has no folders).
  if (!ON_WINDOWS) {
    const run_result nowhere = run_cli(console::make_args({}, {"--control", t.path("no/such/folder/ctl")}));
    EXPECT_EQ(nowhere.status, 1);
    EXPECT_EQ(nowhere.err, "control: " + t.path("no/such/folder/ctl") + ": cannot listen there\n");
  }
  ASSERT_TRUE(running.proc.write("quit\n"));
  EXPECT_EQ(running.proc.wait_exit(), 0);
}

// --set control=PATH is the same as --control PATH: a setting of this program.
TEST(control_socket, set_control_names_the_socket_too) {
  temp_tree t;
  const std::string ctl = control_path(t);
  console c({}, {"--set", "control=" + ctl, "--set", "max_string=1048576"});
  ASSERT_GT(c.port, 0);
  EXPECT_EQ(lf_line_ends(control(ctl, {"status"}).out), c.status(1, 0) + "\n");
  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

// One player's journey with a refused ID and a reply too long, and a second player who
// falls silent: a line each for the connections, the handshake, the OpenFile, the refusal
// with its ID and each end with its cause. Then the log is rotated.
TEST(access_log_file, a_players_journey_then_rotation) {
  temp_tree t;
  t.write_size("Movies/a.mkv", 4096);
  for (int i = 0; i < 600; i++)
    t.write("Movies/Big/a file with a long enough name " + std::to_string(i) + ".mkv", "");
  const std::string ctl = control_path(t), log = t.path("access.log");
  console c({t.path("Movies")}, {"--control", ctl, "--log", log, "--set", "idle_timeout_ms=1000"});
  ASSERT_GT(c.port, 0);
  test_client first, second;
  ASSERT_TRUE(first.connect_to(c.port));
  ASSERT_TRUE(handshake(first));
  ASSERT_TRUE(first.send_code(ACT_OPENFOLDER) && first.send_string("../secret"));
  EXPECT_EQ(first.recv_string(), "[]");
  ASSERT_TRUE(first.send_code(ACT_OPENFILE) && first.send_string(R"({"FullName":"Movies/a.mkv"})"));
  ASSERT_TRUE(first.send_code(ACT_SEEKREAD) && first.send_u32(100) && first.send_i64(0));
  ASSERT_TRUE(first.recv_exact(100));
  ASSERT_TRUE(first.send_code(ACT_OPENFOLDER) && first.send_string("Movies/Big"));
  EXPECT_TRUE(first.closed_by_peer());
  ASSERT_TRUE(second.connect_to(c.port));
  ASSERT_TRUE(handshake(second));

  const auto lines = log_once(log, "event=end conn=2");
  const std::string peer = "peer=127.0.0.1:" + std::to_string(first.local_port());
  for (const std::string& text :
       {"event=connect conn=1 " + peer, std::string("event=handshake conn=1 order=big"),
        std::string("event=refused conn=1 action=OpenFolder id=\"../secret\""),
        std::string("event=open conn=1 id=\"Movies/a.mkv\" size=4096"),
        std::string("event=end conn=1 reason=reply_too_long duration_ms="),
        std::string("event=connect conn=2 "),
        std::string("event=end conn=2 reason=idle_timeout duration_ms=")}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(count_with(lines, text), 1u);
  }
  EXPECT_EQ(count_with(lines, "event=handshake conn=2 order=big"), 1u);
  EXPECT_EQ(count_with(lines, " bytes=100"), 1u);
  EXPECT_EQ(lines.size(), 8u);

  // Rotation: renamed away, reopened on the console's word, continued in a new file.
  std::filesystem::rename(fs_path(log), fs_path(log + ".1"));
  EXPECT_EQ(lf_line_ends(control(ctl, {"log", "reopen"}).out), "log reopen 0 ok\n");
  test_client third;
  ASSERT_TRUE(third.connect_to(c.port));
  ASSERT_TRUE(handshake(third));
  EXPECT_EQ(count_with(log_once(log, "event=handshake conn=3"), "conn=3"), 2u);
  EXPECT_EQ(file_lines(log + ".1"), lines);

#if !defined(_WIN32)
  // And on SIGHUP, as a log rotation tool sends it.
  std::filesystem::rename(fs_path(log), fs_path(log + ".2"));
  c.proc.signal(SIGHUP);
  // The signal is seen within one wait of the console: connect until a line lands anew.
  bool reopened = false;
  for (int i = 0; i < 50 && !reopened; i++) {
    test_client next;
    ASSERT_TRUE(next.connect_to(c.port));
    ASSERT_TRUE(handshake(next));
    plat_sleep_ms(100);
    reopened = file_text(log).find("event=handshake") != std::string::npos;
  }
  EXPECT_TRUE(reopened);
  EXPECT_EQ(ask(c.proc, "status").value_or("").rfind("running=1 ", 0), 0u);
#endif
  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

// Without --log nothing is written, and the log words say so.
TEST(access_log_file, without_a_log_the_words_say_there_is_none) {
  console c({});
  ASSERT_GT(c.port, 0);
  EXPECT_EQ(ask(c.proc, "log"), "log off");
  EXPECT_EQ(ask(c.proc, "log reopen"), "log reopen -2 no log");
  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

// Control clients that flood, send garbage or never read cost the players nothing: every
// request of a player is answered meanwhile, and the console still answers afterwards.
TEST(control_socket, hostile_control_clients_leave_players_served) {
  temp_tree t;
  t.write_size("Movies/a.mkv", 1 << 20);
  const std::string ctl = control_path(t);
  console c({t.path("Movies")}, {"--control", ctl});
  ASSERT_GT(c.port, 0);
  std::atomic<bool> stop{false};
  std::thread hostile([&] {
    std::vector<plat_local_conn*> held;
    const std::string junk[] = {std::string(1 << 20, 'z') + "\n", "\x01\x02\xff\xfe\n",
                                std::string(1, '\0') + "\n",
                                "help\nhelp\nhelp\nhelp\nhelp\nhelp\nhelp\nhelp\n"};
    for (int i = 0; i < 100 && !stop; i++) {
      plat_local_conn* conn = nullptr;
      if (plat_local_connect(ctl.c_str(), 2000, &conn) != 0) continue;
      (void)plat_local_send(conn, junk[i % 4].data(), junk[i % 4].size(), 2000);
      held.push_back(conn);  // and never read
    }
    while (!stop) plat_sleep_ms(20);
    for (auto* conn : held) plat_local_close(conn);
  });
  test_client player;
  ASSERT_TRUE(player.connect_to(c.port));
  ASSERT_TRUE(player.send_code(ACT_OPENFILE) && player.send_string(R"({"FullName":"Movies/a.mkv"})"));
  for (int i = 0; i < 100; i++) {
    ASSERT_TRUE(player.send_code(ACT_SEEKREAD) && player.send_u32(65536) && player.send_i64(i * 4096));
    ASSERT_EQ(player.recv_exact(65536), pattern_bytes(static_cast<size_t>(i) * 4096, 65536));
  }
  stop = true;
  hostile.join();
  const run_result r = control(ctl, {"status"});
  EXPECT_EQ(lf_line_ends(r.out), c.status(1, 1) + "\n");
  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}
