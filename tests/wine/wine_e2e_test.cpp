// SPDX-License-Identifier: MIT
// The Windows program serving under Wine on 127.0.0.1, driven from Linux: hostile IDs
// and links through the protocol, a root whose name is not ASCII given on the command
// line, and Ctrl-C from the terminal ending the console. The player's journey and the Subtitle and
// OpenFile cases of the session tests run against it too (see tests/CMakeLists.txt).
//
// Run as: windows_e2e_tests RUNNER PROGRAM [GoogleTest options], where RUNNER runs a
// Windows program under Wine and PROGRAM is the console program's .exe.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "server/vorn3s.h"
#include "session/wire.h"
#include "support/expected.h"
#include "support/fixture.h"
#include "support/hostile_ids.h"
#include "support/subprocess.h"
#include "support/test_client.h"
#include "wine/wine_server.h"

namespace {

std::string s_runner, s_program;  // from the command line

// `text` as a JSON string, control bytes escaped, so that any ID can travel in a FILEJSON.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string ask(test_client& c, int32_t code, const std::string& id) {
  if (!c.send_code(code) || !c.send_string(id)) return "<send failed>";
  return c.recv_string().value_or("<no reply>");
}

// The size of the file that OpenFile with `filejson` opened: 0 when it opened none.
int64_t opened_size(test_client& c, const std::string& filejson) {
  if (!c.send_code(ACT_OPENFILE) || !c.send_string(filejson) || !c.send_code(ACT_SIZE)) return -1;
  return c.recv_i64().value_or(-1);
}

}  // namespace

// The hostile tree of the resolution tests, its links made by Linux, which Wine follows:
// every file inside the root holds one byte, so a size or a name from outside it shows in
// a reply that has left the root. Wine's drive Z: is a Linux folder that tells case apart,
// so the neighbour "movies" beside the root "Movies" is there too, as on a case-sensitive
// folder of Windows.
TEST(wine_hostile_ids, never_reach_outside_the_root) {
  hostile_tree h(true);
  test_server srv({h.root()});
  ASSERT_GT(srv.port, 0);
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));

  const auto nothing_reached = [&](const char* id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ask(c, ACT_OPENFOLDER, id), "[]");
    EXPECT_EQ(ask(c, ACT_SUBFOLDERS, id), "[]");
    EXPECT_EQ(opened_size(c, "{\"FullName\":" + json_string(id) + "}"), 0);
  };
  for (const char* id : REFUSED_IDS) nothing_reached(id);
  for (const char* id : ESCAPING_LINK_IDS) nothing_reached(id);
  for (const char* id : ODD_IDS) {
    SCOPED_TRACE(id);
    for (int32_t code : {ACT_OPENFOLDER, ACT_SUBFOLDERS}) {
      const std::string reply = ask(c, code, id);
      EXPECT_EQ(reply.find("secret"), std::string::npos) << reply;
      EXPECT_EQ(reply.find("x.mkv"), std::string::npos) << reply;
    }
    const int64_t size = opened_size(c, "{\"FullName\":" + json_string(id) + "}");
    EXPECT_TRUE(size == 0 || size == 1) << size;
  }
  // The session is still in step after all of it.
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), R"({"Version":3,"Platform":"quorvane-c"})");
}

namespace {

// The bytes of a file of the root Media as a player gets them: opened by `filejson`, its
// size, then a SeekRead of all of it. "(none)" when nothing was opened.
std::string served(test_client& c, const std::string& filejson) {
  const int64_t size = opened_size(c, filejson);
  if (size <= 0) return "(none)";
  if (!c.send_code(ACT_SEEKREAD) || !c.send_u32(static_cast<uint32_t>(size)) || !c.send_i64(0))
    return "(lost)";
  return c.recv_exact(static_cast<size_t>(size)).value_or("(lost)");
}

// The one-shot resolve command of the program, its line.
std::string resolve_line(const std::string& root, const std::string& rel) {
  const run_result r = run_cli({"resolve", wine_path(root), rel}, "", 60000);
  return lf_line_ends(r.out);
}

}  // namespace

// Windows names as the file system stores them, made by Linux where Win32 could not make
// them: a neighbour whose name differs from the root's only in case, names with a trailing
// dot or blank, names of devices, a path past 260 characters, and names with a colon.
// Each is served as itself or refused; none opens another file.
TEST(wine_names, every_name_opens_exactly_its_own_file) {
  temp_tree t;
  t.write("Media/film.mkv", "film");
  t.write("Media/film.srt", "subs of film");
  t.write("media/secret.mkv", "the secret");
  t.write("media/secret.srt", "secret subtitles");
  t.write("Media/movie", "the plain one");
  t.write("Media/movie.", "the dotted one");
  t.write("Media/con.mkv", "not the console");
  t.write("Media/nul.txt", "not null");
  t.write("Media/film.mkv:x", "a name with a colon");
  t.symlink("../media/secret.mkv", "Media/lnk.mkv");
  t.symlink("../media", "Media/lnkdir");
  std::string deep = "Media";
  for (char c = 'a'; c < 'g'; c++) deep += "/" + std::string(50, c);
  t.write(deep + "/deep.mkv", "deep down");
  const std::string root = t.path("Media");
  ASSERT_GT(wine_path(t.path(deep + "/deep.mkv")).size(), 300u);

  test_server srv({root});
  ASSERT_GT(srv.port, 0);
  test_client c;
  ASSERT_TRUE(c.connect_to(srv.port));
  const std::string listing = ask(c, ACT_OPENFOLDER, "Media");
  for (const char* name : {"movie", "movie.", "con.mkv", "nul.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(record_for(listing, name), file_record(name, "Media", std::string("Media/") + name)) << listing;
  }
  // Listed names serve their own bytes.
  EXPECT_EQ(served(c, record_for(listing, "movie")), "the plain one");
  EXPECT_EQ(served(c, record_for(listing, "movie.")), "the dotted one");
  EXPECT_EQ(served(c, record_for(listing, "con.mkv")), "not the console");
  EXPECT_EQ(served(c, R"({"FullName":"Media/nul.txt"})"), "not null");

  // The neighbour "media" is out of reach by name, by ID and by link, for Subtitle too.
  for (const char* filejson :
       {R"({"Name":"../media/secret.mkv"})", R"({"FullName":"Media/lnk.mkv"})", R"({"Name":"lnk.mkv"})",
        R"({"Folder":"Media/lnkdir","Name":"secret.mkv"})", R"({"FullName":"media/secret.mkv"})"}) {
    SCOPED_TRACE(filejson);
    EXPECT_EQ(served(c, filejson), "(none)");
    test_client s;
    ASSERT_TRUE(s.connect_to(srv.port));
    ASSERT_TRUE(s.send_code(ACT_SUBTITLE));
    ASSERT_TRUE(s.send_string(filejson));
    const auto reply = s.recv_string();
    EXPECT_TRUE(!reply || reply->find("secret") == std::string::npos) << *reply;
  }
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "Media/lnkdir"), "[]");
  // An unknown root name alone falls back to the roots themselves, never to the neighbour.
  EXPECT_EQ(ask(c, ACT_OPENFOLDER, "media").find("secret"), std::string::npos);

  // Names with a colon are refused, whether a stream or a Linux name.
  for (const char* id : {"Media/film.mkv:x", "Media/film.mkv::$DATA", "Media/film.mkv:x:$DATA"}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(served(c, "{\"FullName\":" + json_string(id) + "}"), "(none)");
    EXPECT_EQ(ask(c, ACT_OPENFOLDER, id), "[]");
  }

  // A path past 260 characters lists, resolves and streams.
  std::string deep_id = deep;
  const std::string deep_listing = ask(c, ACT_OPENFOLDER, deep_id);
  EXPECT_EQ(record_for(deep_listing, "deep.mkv"),
            file_record("deep.mkv", std::string(50, 'f'), deep_id + "/deep.mkv"))
      << deep_listing;
  EXPECT_EQ(served(c, record_for(deep_listing, "deep.mkv")), "deep down");
  ASSERT_TRUE(c.send_code(ACT_HANDSHAKE));
  EXPECT_EQ(c.recv_string(), R"({"Version":3,"Platform":"quorvane-c"})");

  // The one-shot resolve command says the same.
  // Wine shows a Linux link as the entry it leads to, not as a link, so the refusal
  // cannot say that a link was the way out; Windows itself names a link there.
  EXPECT_EQ(resolve_line(root, "lnk.mkv").rfind("-7 refused (D3)", 0), 0u);
  EXPECT_EQ(resolve_line(root, "../media/secret.mkv"), "-7 refused (D3) \n");
  EXPECT_EQ(resolve_line(root, "film.mkv:x"), "-7 refused (D3) \n");
  EXPECT_EQ(resolve_line(root, "film.mkv::$DATA"), "-7 refused (D3) \n");
  EXPECT_EQ(resolve_line(root, "movie."), "0 resolved " + wine_path(t.path("Media/movie.")) + "\n");
  EXPECT_EQ(resolve_line(root, "con.mkv"), "0 resolved " + wine_path(t.path("Media/con.mkv")) + "\n");
  const std::string deep_rel = deep.substr(6) + "/deep.mkv";
  EXPECT_EQ(resolve_line(root, deep_rel), "0 resolved " + wine_path(t.path(deep + "/deep.mkv")) + "\n");
}

// The root "Фильмы" reaches the program through its UTF-16 command line; its name, its
// files and its canonical path come back as UTF-8, on the console and on the wire.
TEST(wine_console, root_whose_name_is_not_ascii_on_the_command_line) {
  const std::string films = "\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b";  // Фильмы
  const std::string video = "\xe6\x98\xa0\xe7\x94\xbb.mkv";                      // 映画.mkv
  const std::string subs = "\xe6\x98\xa0\xe7\x94\xbb.srt";
  temp_tree t;
  t.write_size(films + "/" + video, 321);
  t.write(films + "/" + subs, "hi");
  cli_process p({"serve", "--bind", "127.0.0.1", "--port", "0", "--root", wine_path(t.path(films))});
  const auto banner = p.read_line(60000);
  ASSERT_TRUE(banner) << p.drain_err();
  const int port = banner_port(*banner);
  ASSERT_GT(port, 0) << *banner;
  EXPECT_NE(banner->find(" roots=1 "), std::string::npos) << *banner;

  // The canonical path: the drive letter, a colon and backslashes, no long-path prefix.
  ASSERT_TRUE(p.write("roots\n"));
  EXPECT_EQ(p.read_line(), "root 0 {\"Name\":\"" + films + "\",\"Path\":\"" +
                               json_text(wine_path(t.path(films))) + "\",\"Kind\":\"folder\"}");

  test_client c;
  ASSERT_TRUE(c.connect_to(port));
  ASSERT_TRUE(c.send_code(ACT_FOLDERS));
  EXPECT_EQ(c.recv_string(), "[" + folder_record(films, films, true) + "]");
  const std::string files = ask(c, ACT_OPENFOLDER, films);
  const std::string record = record_for(files, video);
  EXPECT_EQ(record, file_record(video, films, films + "/" + video));
  EXPECT_EQ(opened_size(c, record), 321);
  ASSERT_TRUE(c.send_code(ACT_SUBTITLE));
  ASSERT_TRUE(c.send_string(record));
  EXPECT_EQ(c.recv_string(), "[" + subtitle_record(subs, "hi") + "]");
  c.close_now();

  ASSERT_TRUE(p.write("quit\n"));
  EXPECT_EQ(p.wait_exit(10000), 0);
  EXPECT_EQ(p.drain_err(), "");
}

// SIGINT to the process under Wine is how Wine delivers Ctrl-C from a terminal: the
// console ends promptly, also while it waits for a line and after its input has ended.
TEST(wine_console, ctrl_c_from_the_terminal_ends_the_console) {
  for (bool input_ended : {false, true}) {
    SCOPED_TRACE(input_ended ? "input ended" : "waiting for a line");
    cli_process p({"serve", "--bind", "127.0.0.1", "--port", "0"});
    const auto banner = p.read_line(60000);
    ASSERT_TRUE(banner) << p.drain_err();
    ASSERT_GT(banner_port(*banner), 0) << *banner;
    // The answer shows that the console loop, and so its handler, is in place.
    ASSERT_TRUE(p.write("status\n"));
    const auto status = p.read_line();
    ASSERT_TRUE(status);
    EXPECT_EQ(status->rfind("running=1 ", 0), 0u) << *status;
    if (input_ended) {
      p.close_stdin();
      EXPECT_EQ(p.wait_exit(500), std::nullopt);
    }
    p.signal(SIGINT);
    EXPECT_EQ(p.wait_exit(10000), 0);
    EXPECT_EQ(p.drain_err(), "");
  }
}

namespace {

// The program under Wine on a terminal of its own (a pseudo-terminal), which gives it a
// console: what it shows, its escape sequences taken out, and what is typed at it.
struct terminal_program {
  pid_t pid = -1;
  int fd = -1;
  std::string shown;

  explicit terminal_program(const std::vector<std::string>& args) {
    std::vector<std::string> words = {s_runner, s_program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    winsize size{50, 400, 0, 0};  // wide enough that no line of the test wraps
    pid = forkpty(&fd, nullptr, nullptr, &size);
    if (pid == 0) {
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~terminal_program() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (fd >= 0) close(fd);
  }

  // Waits until Wine's console has taken the terminal over (it reads keys one by one,
  // not lines), so that what is typed next reaches the console unchanged.
  bool console_reads_keys(int timeout_ms = 20000) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
      termios now{};
      if (tcgetattr(fd, &now) == 0 && !(now.c_lflag & ICANON)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  void type(const std::string& keys) {
    ASSERT_EQ(write(fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }

  // Reads until what is shown holds `text`; false when the time runs out first.
  bool shows(const std::string& text, int timeout_ms = 20000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string raw;
    while (plain(raw).find(text) == std::string::npos) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[4096];
      const ssize_t n = read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      raw.append(chunk, static_cast<size_t>(n));
    }
    shown += plain(raw);
    return plain(raw).find(text) != std::string::npos;
  }

  // The exit status once the program has ended, or -1 when it does not in time.
  int exit_status(int timeout_ms = 10000) {
    for (int waited = 0; waited <= timeout_ms; waited += 10) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  // The text without the terminal's escape sequences; a cursor moved right is blanks.
  static std::string plain(const std::string& raw) {
    std::string out;
    for (size_t i = 0; i < raw.size(); i++) {
      if (raw[i] == '\r') continue;
      if (raw[i] != '\x1b' || i + 1 >= raw.size() || raw[i + 1] != '[') {
        out += raw[i];
        continue;
      }
      size_t end = i + 2;
      while (end < raw.size() && !std::isalpha(static_cast<unsigned char>(raw[end]))) end++;
      if (end < raw.size() && raw[end] == 'C') out.append(std::max(1, std::atoi(raw.c_str() + i + 2)), ' ');
      i = end;
    }
    return out;
  }
};

}  // namespace

// Typed at a terminal, lines reach the program through its console (read in UTF-16, a
// name beyond ASCII included), its output shows as UTF-8, and Ctrl-C ends it.
TEST(wine_console, a_terminal_console_reads_lines_shows_utf8_and_ends_on_ctrl_c) {
  const std::string films = "\xd0\xa4\xd0\xb8\xd0\xbb\xd1\x8c\xd0\xbc\xd1\x8b";  // Фильмы
  temp_tree t;
  t.mkdir(films);
  terminal_program p({"serve", "--bind", "127.0.0.1", "--port", "0"});
  ASSERT_GT(p.pid, 0);
  ASSERT_TRUE(p.shows("listening 127.0.0.1:", 60000)) << p.shown;
  ASSERT_TRUE(p.console_reads_keys());
  p.type("add " + wine_path(t.path(films)) + "\r");
  ASSERT_TRUE(p.shows("add 0 root 0 added")) << p.shown;
  p.type("roots\r");
  EXPECT_TRUE(p.shows("root 0 {\"Name\":\"" + films + "\",\"Path\":\"" + json_text(wine_path(t.path(films))) +
                      "\",\"Kind\":\"folder\"}"))
      << p.shown;
  p.type("\x03");  // Ctrl-C
  EXPECT_EQ(p.exit_status(), 0) << p.shown;
}

int main(int argc, char** argv) {
  // Left out unless asked for: the cases that change the settings or the roots of this
  // process, which the program under Wine does not share.
  testing::GTEST_FLAG(filter) =
      "-browse.removed_root_disappears_from_every_reply_and_lookup"
      ":browse.reply_over_max_string_ends_only_that_session"
      ":browse.id_that_cannot_be_received_ends_the_session"
      ":subtitle.file_of_exactly_sub_max_bytes_is_taken_and_one_over_is_not"
      ":browse.roots_changing_during_walks_give_consistent_replies"
      ":subtitle.reply_over_max_string_ends_the_session_without_reading_it";
  testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: windows_e2e_tests RUNNER PROGRAM [GoogleTest options]\n");
    return 2;
  }
  s_runner = argv[1];
  s_program = argv[2];
  set_cli_command({argv[1], argv[2]}, true);
  set_wine_runner(argv[1]);
  // Listings keep the order in which the program enumerates a folder: Wine's, not Linux's.
  set_dir_lister(wine_dir_order);
  return RUN_ALL_TESTS();
}
