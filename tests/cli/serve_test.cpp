// SPDX-License-Identifier: MIT
// The serve command driven through pipes: option handling, the banner, each console line,
// and how end of input and signals end the console.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "plat/plat.h"
#include "session/wire.h"
#include "support/fixture.h"
#include "support/serve_console.h"
#include "support/subprocess.h"
#include "support/test_client.h"

namespace {

std::string folder_record(const std::string& name, const std::string& path) {
  return R"({"Name":")" + name + R"(","Path":")" + json_text(path) + R"(","Kind":"folder"})";
}

}  // namespace

TEST(serve_console, banner_then_status_roots_add_and_remove) {
  temp_tree tree;
  for (const char* d : {"Movies", "Music", "Shows"}) tree.mkdir(d);
  console c({tree.path("Movies")});
  ASSERT_GT(c.port, 0);

  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 0));
  EXPECT_EQ(ask(c.proc, "roots"), "root 0 " + folder_record("Movies", tree.path("Movies")));
  EXPECT_EQ(ask(c.proc, "add " + tree.path("Music")), "add 1 root 1 added");
  EXPECT_EQ(ask(c.proc, "add " + tree.path("Shows")), "add 2 root 2 added");
  EXPECT_EQ(ask(c.proc, "add " + tree.path("Music")), "add -2 root already added");
  EXPECT_EQ(ask(c.proc, "remove " + tree.path("Music")), "remove 0 removed");
  EXPECT_EQ(ask(c.proc, "remove " + tree.path("Music")), "remove -4 not a root");
  EXPECT_EQ(ask(c.proc, "remove " + tree.path("gone")), "remove -4 cannot resolve");

  // After a removal, roots lists the live slots only, in slot order.
  ASSERT_TRUE(c.proc.write("roots\n"));
  EXPECT_EQ(c.proc.read_line(), "root 0 " + folder_record("Movies", tree.path("Movies")));
  EXPECT_EQ(c.proc.read_line(), "root 2 " + folder_record("Shows", tree.path("Shows")));

  // The server the console runs serves clients, and status counts them.
  test_client client;
  ASSERT_TRUE(client.connect_to(c.port));
  ASSERT_TRUE(client.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(client.recv_string(), HANDSHAKE);
  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 1));
  client.close_now();

  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
  EXPECT_EQ(c.proc.read_line(1000), std::nullopt);
  EXPECT_EQ(c.proc.drain_err(), "");
}

TEST(serve_console, roots_prints_nothing_without_roots) {
  console c({});
  ASSERT_GT(c.port, 0);
  ASSERT_TRUE(c.proc.write("roots\n"));
  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 0));
}

// Trailing line feeds, carriage returns and blanks are cut; tabs and leading blanks stay.
TEST(serve_console, lines_are_trimmed_at_the_end_only) {
  temp_tree tree;
  tree.mkdir("Movies");
  console c({});
  ASSERT_GT(c.port, 0);
  struct line_case {
    std::string line, reply;
  };
  const line_case CASES[] = {
      {"status  \r", c.status(1, 0)},
      {"status\r\r \r", c.status(1, 0)},
      {"status\t", "?"},
      {" status", "?"},
      {"Status", "?"},
      {"Quit", "?"},
      {" quit", "?"},
      {"quit\t", "?"},
      {"quitx", "?"},
      {"add", "?"},
      {"add   ", "?"},
      {"remove", "?"},
      {"remove \r", "?"},
      {"addx", "?"},
      {"set", "?"},
      {"set   ", "?"},
      {"setx 1", "?"},
      {"Set max_string 1024", "?"},
      {"clients\t", "?"},
      {"clients x", "?"},
      {"Help", "?"},
      {"help me", "?"},
      {"add " + tree.path("nothing"), "add -4 cannot resolve " + tree.path("nothing")},
      {"add  " + tree.path("Movies"), "add -4 cannot resolve  " + tree.path("Movies")},
      {"add " + tree.path("Movies") + "  \r", "add 0 root 0 added"},
      {"remove  " + tree.path("Movies"), "remove -4 cannot resolve"},
      {"roots", "root 0 " + folder_record("Movies", tree.path("Movies"))},
  };
  for (const auto& lc : CASES) {
    SCOPED_TRACE(lc.line);
    EXPECT_EQ(ask(c.proc, lc.line), lc.reply);
  }
  // An empty line, or one of blanks only, prints nothing: the next line answers the next
  // command.
  ASSERT_TRUE(c.proc.write("\n  \n\r\n"));
  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 0));

  ASSERT_TRUE(c.proc.write("quit   \r\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
  EXPECT_EQ(c.proc.read_line(1000), std::nullopt);
}

// A line longer than 2047 bytes reaches the console as several pieces of at most 2047.
TEST(serve_console, long_lines_are_handled_in_pieces) {
  console c({});
  ASSERT_GT(c.port, 0);
  ASSERT_TRUE(c.proc.write(std::string(2047, 'x') + "status\n"));
  EXPECT_EQ(c.proc.read_line(), "?");
  EXPECT_EQ(c.proc.read_line(), c.status(1, 0));

  // Two full pieces, then the line feed alone, which is an empty line.
  ASSERT_TRUE(c.proc.write(std::string(4094, 'y') + "\n"));
  EXPECT_EQ(c.proc.read_line(), "?");
  EXPECT_EQ(c.proc.read_line(), "?");
  // 2046 bytes and the line feed are one piece.
  ASSERT_TRUE(c.proc.write(std::string(2046, 'z') + "\n"));
  EXPECT_EQ(c.proc.read_line(), "?");
  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 0));

  // A path cut by the piece limit is added as the cut text.
  const std::string tail(2047 - 4, 'p');
  ASSERT_TRUE(c.proc.write("add " + tail + "quit\n"));
  EXPECT_EQ(c.proc.read_line(), "add -1 path too long");
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

TEST(serve_console, last_line_without_line_feed_is_still_a_command) {
  const run_result r = run_cli({"serve", "--bind", "127.0.0.1", "--port", "0"}, "status\nquit");
  EXPECT_EQ(r.status, 0);
  const size_t lf = r.out.find('\n');
  ASSERT_NE(lf, std::string::npos) << r.out;
  EXPECT_EQ(r.out.substr(0, 10), "listening ");
  const std::string rest = r.out.substr(lf + 1);
  EXPECT_EQ(rest.substr(0, 15), "running=1 port=");
  EXPECT_EQ(rest.back(), '\n');
  EXPECT_EQ(rest.find('\n'), rest.size() - 1);
  EXPECT_EQ(r.err, "");
}

TEST(serve_options, banner_shows_the_settings_and_the_bound_port) {
  temp_tree tree;
  tree.mkdir("Movies");
  // A port without digits is 0, so the system chooses; later options replace earlier ones.
  cli_process p({"serve", "--bind", "0.0.0.0", "--port", "3320", "--platform", "first", "--root",
                 tree.path("Movies"), "--bind", "127.0.0.1", "--port", "none", "--platform", "box", "--order",
                 "big"});
  const int port = read_banner(p, "127.0.0.1", 1, R"({"Version":3,"Platform":"box"})");
  ASSERT_GT(port, 0);

  // The byte order is fixed to big: a little-endian HandShake is an unknown code.
  test_client little;
  ASSERT_TRUE(little.connect_to(port));
  ASSERT_TRUE(little.send_raw(std::string("\xf8\x0c\x00\x00", 4)));
  EXPECT_TRUE(little.silent_for(300));
  test_client big;
  ASSERT_TRUE(big.connect_to(port));
  ASSERT_TRUE(big.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(big.recv_string(), R"({"Version":3,"Platform":"box"})");

  ASSERT_TRUE(p.write("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
}

// --max-connections sets the limit: one client is served, the next closed at once.
TEST(serve_options, max_connections_closes_clients_past_it) {
  console c({}, {"--max-connections", "1"});
  ASSERT_GT(c.port, 0);
  test_client first, second;
  ASSERT_TRUE(first.connect_to(c.port));
  ASSERT_TRUE(first.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(first.recv_string(), HANDSHAKE);
  ASSERT_TRUE(second.connect_to(c.port));
  EXPECT_TRUE(second.closed_by_peer());
  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 1));
  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

TEST(serve_options, refusals_end_with_status_1) {
  temp_tree tree;
  tree.mkdir("Movies");
  const std::string movies = tree.path("Movies");
  struct refusal {
    args argv;
    std::string err;
  };
  const refusal CASES[] = {
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--order", "BIG"}, ""},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--order", ""}, ""},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--max-connections", "0"},
       "set: max_connections: out of range\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--max-connections", "65537"},
       "set: max_connections: out of range\n"},
      {{"serve", "--bind", "0.0.0.0", "--port", "0"},
       "start: bind_ip must be an IPv4 literal of one interface (D12)\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--root", movies, "--root", movies + "/"},
       "start: root already added\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "65536"}, "start: port range\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "-1"}, "start: port range\n"},
      {{"serve", "--bind", "127.0.0.1", "--port", "0", "--root", tree.path("gone")},
       "start: cannot resolve " + tree.path("gone") + "\n"},
  };
  for (const auto& c : CASES) {
    SCOPED_TRACE(c.argv[2] + " " + c.argv.back());
    const run_result r = run_cli(c.argv, "status\nquit\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(serve_options, sixty_four_roots_are_accepted_and_a_sixty_fifth_is_usage) {
  temp_tree tree;
  args argv = {"serve", "--bind", "127.0.0.1", "--port", "0"};
  for (int i = 0; i < 65; i++) {
    const std::string dir = "r" + std::to_string(i);
    tree.mkdir(dir);
    argv.push_back("--root");
    argv.push_back(tree.path(dir));
  }
  const run_result over = run_cli(argv);
  EXPECT_EQ(over.status, 2);
  EXPECT_EQ(over.out, "");
  EXPECT_EQ(over.err.substr(0, 7), "usage:\n");

  argv.resize(argv.size() - 2);
  cli_process p(argv);
  EXPECT_GT(read_banner(p, "127.0.0.1", 64), 0);
  ASSERT_TRUE(p.write("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
}

// At the end of its input the console keeps the server running until a signal ends it.
TEST(serve_signals, end_of_input_keeps_serving_until_a_signal) {
  for (int sig : {SIGINT, BREAK_SIGNAL}) {
    SCOPED_TRACE(sig);
    console c({});
    ASSERT_GT(c.port, 0);
    // The answer shows that the console loop, and so its handler, is in place.
    EXPECT_EQ(ask(c.proc, "status"), c.status(1, 0));
    c.proc.close_stdin();
    EXPECT_EQ(c.proc.wait_exit(500), std::nullopt);

    test_client client;
    ASSERT_TRUE(client.connect_to(c.port));
    ASSERT_TRUE(client.send_code(ACT_HANDSHAKE));
    EXPECT_EQ(client.recv_string(), HANDSHAKE);
    client.close_now();

    c.proc.signal(sig);
    EXPECT_EQ(c.proc.wait_exit(10000), 0);
    EXPECT_EQ(c.proc.drain_err(), "");
  }
}

// Standard input on the null device ("< NUL", "< /dev/null") is at its end from the
// start: the server keeps serving until an interrupt or a break ends it.
TEST(serve_signals, null_input_keeps_serving_until_a_signal) {
  for (int sig : {SIGINT, BREAK_SIGNAL}) {
    SCOPED_TRACE(sig);
    cli_process p(console::make_args({}, {}), true);
    const int port = read_banner(p, "127.0.0.1", 0);
    ASSERT_GT(port, 0);
    // Still there well after the banner, so the handler that follows it is in place.
    EXPECT_EQ(p.wait_exit(500), std::nullopt);
    test_client client;
    ASSERT_TRUE(client.connect_to(port));
    ASSERT_TRUE(client.send_code(ACT_HANDSHAKE));
    EXPECT_EQ(client.recv_string(), HANDSHAKE);
    client.close_now();

    p.signal(sig);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_EQ(p.drain_err(), "");
  }
}

TEST(serve_signals, interrupt_ends_a_console_waiting_for_a_line) {
  console c({});
  ASSERT_GT(c.port, 0);
  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 0));
  c.proc.signal(SIGINT);
  EXPECT_EQ(c.proc.wait_exit(10000), 0);
  EXPECT_EQ(c.proc.read_line(1000), std::nullopt);
}

// Sessions still open when the console ends do not hold the process.
TEST(serve_signals, quit_with_an_open_session_ends_the_process) {
  console c({});
  ASSERT_GT(c.port, 0);
  test_client client;
  ASSERT_TRUE(client.connect_to(c.port));
  ASSERT_TRUE(client.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(client.recv_string(), HANDSHAKE);
  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(10000), 0);
  EXPECT_TRUE(client.closed_by_peer());
}

TEST(serve_console, help_lists_the_commands) {
  console c({});
  ASSERT_GT(c.port, 0);
  const std::vector<std::string> HELP = {
      "add PATH        add a folder or file as a root",
      "remove PATH     remove the live root with that path",
      "roots           list the live roots",
      "status          show whether the server listens, its port and connections",
      "clients         list the connections: number, peer, seconds connected and idle, file, bytes sent",
      "set KEY VALUE   change a setting; without VALUE it returns to its initial value",
      "log             show where the access log goes and how many lines it lost",
      "log reopen      reopen the access log, after it was renamed away",
      "help            list these commands",
      "quit            stop the server and end",
  };
  EXPECT_EQ(ask_lines(c.proc, "help"), HELP);
  EXPECT_EQ(ask_lines(c.proc, "help \r"), HELP);
}

// The default max_string of 64 KiB is too short for the listing of a folder of 500
// films: the session ends. Raised at the console, it reaches the next request.
TEST(serve_console, set_changes_a_setting_while_serving) {
  temp_tree tree;
  write_films(tree, "Movies/Films");
  console c({tree.path("Movies")});
  ASSERT_GT(c.port, 0);
  const auto open_films = [&](test_client& client) {
    return client.connect_to(c.port) && client.send_code(ACT_OPENFOLDER) &&
           client.send_string("Movies/Films");
  };

  test_client before;
  ASSERT_TRUE(open_films(before));
  EXPECT_TRUE(before.closed_by_peer());

  struct set_case {
    std::string line, reply;
  };
  const set_case CASES[] = {
      {"set max_string 255", "set -1 out of range"},
      {"set Max_string 1048576", "set -1 unknown key"},
      {"set  1048576", "set -1 key required"},
      {"set action_byteorder BIG", "set -1 auto|big|little"},
      // A success does not repeat the last refusal's message.
      {"set max_string 1048576", "set 0 ok"},
  };
  for (const auto& sc : CASES) {
    SCOPED_TRACE(sc.line);
    EXPECT_EQ(ask(c.proc, sc.line), sc.reply);
  }

  test_client after;
  ASSERT_TRUE(open_films(after));
  const auto listing = after.recv_string();
  ASSERT_TRUE(listing);
  EXPECT_GT(listing->size(), 65536u);
  size_t records = 0;
  for (size_t at = listing->find("\"FullName\""); at != std::string::npos;
       at = listing->find("\"FullName\"", at + 1))
    records++;
  EXPECT_EQ(records, 500u);

  // Without a value the setting returns to its initial value: the listing is too long
  // again.
  EXPECT_EQ(ask(c.proc, "set max_string"), "set 0 ok");
  test_client restored;
  ASSERT_TRUE(open_films(restored));
  EXPECT_TRUE(restored.closed_by_peer());
}

namespace {
struct client_line {
  int number = 0, port = 0;
  std::string file;
  long long bytes = -1;
};

// Parses "client N 127.0.0.1:PORT SECONDS SECONDS ID BYTES" (an ID without blanks); the
// seconds are only checked to be numbers.
std::optional<client_line> parse_client_line(const std::string& line) {
  std::vector<std::string> f;
  for (size_t at = 0; at <= line.size();) {
    const size_t blank = std::min(line.find(' ', at), line.size());
    f.push_back(line.substr(at, blank - at));
    at = blank + 1;
  }
  const auto number = [](const std::string& t) {
    return !t.empty() && t.find_first_not_of("0123456789") == std::string::npos;
  };
  const std::string host = "127.0.0.1:";
  if (f.size() != 7 || f[0] != "client" || f[2].rfind(host, 0) != 0) return std::nullopt;
  const std::string port = f[2].substr(host.size());
  for (const auto& t : {f[1], port, f[3], f[4], f[6]}) {
    if (!number(t)) return std::nullopt;
  }
  return client_line{std::stoi(f[1]), std::stoi(port), f[5], std::stoll(f[6])};
}
}  // namespace

TEST(serve_console, clients_lists_each_live_connection) {
  temp_tree tree;
  tree.write_size("Movies/film.mkv", 5000);
  console c({tree.path("Movies")});
  ASSERT_GT(c.port, 0);
  EXPECT_EQ(ask_lines(c.proc, "clients"), std::vector<std::string>{});

  // Each reply shows that the session has recorded everything before it.
  test_client idle, reading;
  ASSERT_TRUE(idle.connect_to(c.port));
  ASSERT_TRUE(idle.send_code(ACT_HANDSHAKE));
  ASSERT_TRUE(idle.recv_string());
  ASSERT_TRUE(reading.connect_to(c.port));
  ASSERT_TRUE(reading.send_code(ACT_OPENFILE) && reading.send_string(R"({"FullName":"Movies/film.mkv"})"));
  ASSERT_TRUE(reading.send_code(ACT_SEEKREAD) && reading.send_u32(1000) && reading.send_i64(0));
  ASSERT_TRUE(reading.recv_exact(1000));
  ASSERT_TRUE(reading.send_code(ACT_SIZE));
  EXPECT_EQ(reading.recv_i64(), 5000);

  auto lines = ask_lines(c.proc, "clients");
  ASSERT_EQ(lines.size(), 2u);
  const auto first = parse_client_line(lines[0]);
  const auto second = parse_client_line(lines[1]);
  ASSERT_TRUE(first) << lines[0];
  ASSERT_TRUE(second) << lines[1];
  EXPECT_EQ(first->port, idle.local_port());
  EXPECT_EQ(first->file, "-");
  EXPECT_EQ(first->bytes, 0);
  EXPECT_EQ(second->number, first->number + 1);
  EXPECT_EQ(second->port, reading.local_port());
  EXPECT_EQ(second->file, "Movies/film.mkv");
  EXPECT_EQ(second->bytes, 1000);

  // Once a client has gone, its line goes too (the session ends on its own thread, so
  // ask until it has).
  idle.close_now();
  for (int i = 0; i < 200 && lines.size() != 1; i++) {
    plat_sleep_ms(50);
    lines = ask_lines(c.proc, "clients");
  }
  ASSERT_EQ(lines.size(), 1u);
  const auto left = parse_client_line(lines[0]);
  ASSERT_TRUE(left) << lines[0];
  EXPECT_EQ(left->number, second->number);
  EXPECT_EQ(left->file, "Movies/film.mkv");
  EXPECT_EQ(left->bytes, 1000);
  EXPECT_EQ(ask(c.proc, "status"), c.status(1, 1));

  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

// A control byte in a file's name cannot break the line.
TEST(serve_console, clients_line_stays_one_line_whatever_the_file_name) {
  SKIP_ON_WINDOWS("needs control bytes in a file name, which Windows names cannot hold");
  temp_tree tree;
  tree.write("Movies/odd\nname\x01.mkv", "x");
  console c({tree.path("Movies")});
  ASSERT_GT(c.port, 0);
  test_client reading;
  ASSERT_TRUE(reading.connect_to(c.port));
  ASSERT_TRUE(reading.send_code(ACT_OPENFILE) &&
              reading.send_string(R"({"FullName":"Movies/odd\nname\u0001.mkv"})"));
  ASSERT_TRUE(reading.send_code(ACT_SIZE));
  EXPECT_EQ(reading.recv_i64(), 1);
  const auto lines = ask_lines(c.proc, "clients");
  ASSERT_EQ(lines.size(), 1u);
  const auto odd = parse_client_line(lines[0]);
  ASSERT_TRUE(odd) << lines[0];
  EXPECT_EQ(odd->file, "Movies/odd?name?.mkv");

  ASSERT_TRUE(c.proc.write("quit\n"));
  EXPECT_EQ(c.proc.wait_exit(), 0);
}

// --set KEY=VALUE takes any key, in command-line order with --platform and --order, of
// which only the last of each counts, as before.
TEST(serve_options, set_applies_settings_in_order_before_the_start) {
  struct order_case {
    args extra;
    std::string platform;
  };
  const order_case CASES[] = {
      {{"--set", "platform=one"}, "one"},
      {{"--set", "platform=a=b"}, "a=b"},
      {{"--set", "platform=one", "--platform", "two"}, "two"},
      {{"--platform", "two", "--set", "platform=one"}, "one"},
      {{"--platform", "two", "--set", "platform=one", "--platform", "three"}, "three"},
      {{"--platform", "two", "--set", "platform=", "--set", "max_string=1048576", "--set",
        "idle_timeout_ms=5000"},
       "quorvane-c"},
  };
  for (const auto& oc : CASES) {
    SCOPED_TRACE(oc.extra[0] + " " + oc.extra[1]);
    cli_process p(console::make_args({}, oc.extra));
    EXPECT_GT(read_banner(p, "127.0.0.1", 0, R"({"Version":3,"Platform":")" + oc.platform + R"("})"), 0);
    ASSERT_TRUE(p.write("quit\n"));
    EXPECT_EQ(p.wait_exit(), 0);
  }

  // A refused --order that a later one replaces is never applied; a --set after the
  // last --order overrides it: the order is fixed to little, so a big-endian HandShake
  // is an unknown code.
  cli_process p(
      console::make_args({}, {"--order", "BIG", "--order", "big", "--set", "action_byteorder=little"}));
  const int port = read_banner(p, "127.0.0.1", 0);
  ASSERT_GT(port, 0);
  test_client big;
  ASSERT_TRUE(big.connect_to(port));
  ASSERT_TRUE(big.send_code(ACT_HANDSHAKE));
  EXPECT_TRUE(big.silent_for(300));
  test_client little;
  ASSERT_TRUE(little.connect_to(port));
  ASSERT_TRUE(little.send_code(ACT_HANDSHAKE, true));
  EXPECT_EQ(little.recv_string(), HANDSHAKE);
  ASSERT_TRUE(p.write("quit\n"));
  EXPECT_EQ(p.wait_exit(), 0);
}

// A refused --set names its key and the reason and ends with status 1 before the start:
// the missing root is never looked at.
TEST(serve_options, set_refusals_end_with_status_1_and_start_nothing) {
  temp_tree tree;
  struct refusal {
    args sets;
    std::string err;
  };
  const refusal CASES[] = {
      {{"--set", "max_string=255"}, "set: max_string: out of range\n"},
      {{"--set", "max_string=1048577"}, "set: max_string: out of range\n"},
      {{"--set", "max_strin=1024"}, "set: max_strin: unknown key\n"},
      {{"--set", "=1024"}, "set: : key required\n"},
      {{"--set", "action_byteorder="}, "set: action_byteorder: auto|big|little\n"},
      {{"--set", "platform=x", "--set", "read_timeout_ms=999"}, "set: read_timeout_ms: out of range\n"},
      {{"--set", "max_read=1", "--order", "BIG"}, "set: max_read: out of range\n"},
      // --order keeps its silent refusal, also when it comes first.
      {{"--order", "BIG", "--set", "max_read=1"}, ""},
  };
  for (const auto& rc : CASES) {
    SCOPED_TRACE(rc.sets[1]);
    const run_result r = run_cli(console::make_args({tree.path("gone")}, rc.sets), "status\nquit\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, rc.err);
  }

  // A --set without "=", or without its value, is a wrong command line.
  for (const args& wrong : {args{"--set", "max_string"}, args{"--set"}}) {
    const run_result r = run_cli(console::make_args({}, wrong));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.substr(0, 7), "usage:\n");
  }
}
