// SPDX-License-Identifier: MIT
// The Windows program's control pipe and access log under Wine, driven from Linux: the
// console's lines through "control" over a named pipe, a player's journey in the log, and
// quit over the pipe ending the program.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "session/wire.h"
#include "support/fixture.h"
#include "support/serve_console.h"
#include "support/subprocess.h"
#include "support/test_client.h"
#include "wine/wine_server.h"

namespace {

// A pipe name no other run uses.
std::string fresh_pipe() { return "\\\\.\\pipe\\vorn3s-wine-" + std::to_string(std::random_device{}()); }

std::string count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return std::to_string(n);
}

}  // namespace

TEST(wine_control, the_pipe_gives_the_console_lines_and_quit_ends_the_program) {
  temp_tree t;
  t.write_size("Movies/a.mkv", 2048);
  t.mkdir("Shows");
  const std::string pipe = fresh_pipe(), log = t.path("access.log");
  cli_process p({"serve", "--bind", "127.0.0.1", "--port", "0", "--root", wine_path(t.path("Movies")),
                 "--control", pipe, "--log", wine_path(log)});
  const auto banner = p.read_line(60000);
  ASSERT_TRUE(banner) << p.drain_err();
  const int port = banner_port(*banner);
  ASSERT_GT(port, 0) << *banner;

  for (const std::string cmd : {"roots", "clients", "help", "set max_string 1048576", "log"}) {
    SCOPED_TRACE(cmd);
    const run_result r = run_cli({"control", pipe, cmd});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string console_lines;
    for (const auto& l : ask_lines(p, cmd)) console_lines += l + "\n";
    EXPECT_EQ(r.out, console_lines);
  }
  const run_result status = run_cli({"control", pipe, "status"});
  EXPECT_EQ(status.out, "running=1 port=" + std::to_string(port) + " conns=0\n");
  EXPECT_EQ(run_cli({"control", pipe, "add " + wine_path(t.path("Shows"))}).out, "add 1 root 1 added\n");
  const run_result again = run_cli({"control", pipe, "add", wine_path(t.path("Shows"))});
  EXPECT_EQ(again.out, "add -2 root already added\n");
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(run_cli({"control", pipe, "remove " + wine_path(t.path("Shows"))}).out, "remove 0 removed\n");

  test_client player;
  ASSERT_TRUE(player.connect_to(port));
  ASSERT_TRUE(player.send_code(ACT_HANDSHAKE) && player.recv_string());
  ASSERT_TRUE(player.send_code(ACT_OPENFOLDER) && player.send_string("../secret"));
  EXPECT_EQ(player.recv_string(), "[]");
  ASSERT_TRUE(player.send_code(ACT_OPENFILE) && player.send_string(R"({"FullName":"Movies/a.mkv"})"));
  ASSERT_TRUE(player.send_code(ACT_SIZE));
  EXPECT_EQ(player.recv_i64(), 2048);
  ASSERT_TRUE(player.send_code(ACT_END));
  EXPECT_TRUE(player.closed_by_peer());

  const run_result quit = run_cli({"control", pipe, "quit"});
  EXPECT_EQ(quit.status, 0);
  EXPECT_EQ(p.wait_exit(10000), 0);
  const run_result gone = run_cli({"control", pipe, "status"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "control: " + pipe + ": no server listens there\n");

  const std::string text = file_text(log);
  for (const char* line :
       {"event=connect conn=1 peer=127.0.0.1:", "event=handshake conn=1 order=big",
        "event=refused conn=1 action=OpenFolder id=\"../secret\"",
        "event=open conn=1 id=\"Movies/a.mkv\" size=2048", "event=end conn=1 reason=end "}) {
    EXPECT_EQ(count_of(text, line), "1") << line << "\n" << text;
  }
}
