// SPDX-License-Identifier: MIT
// The control command: a client of a running server's control socket. With a command it
// sends that one line and prints the reply; without one it sends each line of standard
// input in turn, an operator console at a distance.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "plat/plat.h"
#include "server/control.h"

#ifndef VORN3S_CONTROL_DEFAULT
#error "the build names the packaged control socket in VORN3S_CONTROL_DEFAULT"
#endif

// How long the client waits to connect, and for each part of a reply: a command such as
// "add" may walk a slow file system.
static constexpr int CONNECT_MS = 5000;
static constexpr int REPLY_MS = 60000;

namespace {
struct control_link {
  const char* path = nullptr;
  plat_local_conn* conn = nullptr;
  std::string pending;  // bytes received beyond the last whole line taken
};
enum class reply { ok, failed, lost };
}  // namespace

// Prints the lines of one reply up to its end marker.
static reply read_reply(control_link* link) {
  char buf[4096];
  for (;;) {
    size_t lf;
    while ((lf = link->pending.find('\n')) != std::string::npos) {
      const std::string_view line(link->pending.data(), lf);
      const bool ok = line == CONTROL_END_OK;
      if (ok || line == CONTROL_END_FAILED) {
        link->pending.erase(0, lf + 1);
        std::fflush(stdout);
        return ok ? reply::ok : reply::failed;
      }
      std::fwrite(link->pending.data(), 1, lf + 1, stdout);
      link->pending.erase(0, lf + 1);
    }
    const int64_t n = plat_local_recv(link->conn, buf, sizeof buf, REPLY_MS);
    if (n <= 0) {
      std::fflush(stdout);
      std::fprintf(stderr, "control: %s: %s\n", link->path,
                   n == -2 ? "no answer in time" : "the server closed the connection");
      return reply::lost;
    }
    link->pending.append(buf, static_cast<size_t>(n));
  }
}

static reply ask(control_link* link, const std::string& line) {
  if (plat_local_send(link->conn, line.data(), line.size(), REPLY_MS) != 0) {
    // A server that refused the client at once has said why: show it.
    const reply r = read_reply(link);
    return r == reply::ok ? reply::lost : r;
  }
  return read_reply(link);
}

// True for the line that stops the server, as the console trims it.
static bool is_quit(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
    line.remove_suffix(1);
  return line == "quit";
}

// Sends every line of standard input, each answered before the next goes, until the
// input ends or "quit" has stopped the server. A line longer than the server takes is
// sent only as far as shows that, then its end. 1 when the connection was lost.
static int interactive(control_link* link) {
  std::string line;
  char buf[4096];
  for (;;) {
    const int n = plat_stdin_read(buf, sizeof buf, 1000);
    if (n == 0) continue;
    if (n < 0) break;
    for (int i = 0; i < n; i++) {
      if (buf[i] != '\n') {
        if (line.size() <= CONTROL_LINE_MAX) line += buf[i];
        continue;
      }
      line += '\n';
      const reply r = ask(link, line);
      if (r == reply::lost) return 1;
      if (r == reply::ok && is_quit(line)) return 0;
      line.clear();
    }
  }
  if (!line.empty() && ask(link, line + "\n") == reply::lost) return 1;
  return 0;
}

int cmd_control(int count, char** args) {
  // The socket's path is named when the first word holds a separator; else the packaged
  // one is meant.
  control_link link;
  link.path = VORN3S_CONTROL_DEFAULT;
  int first = 0;
  if (count > 0 && std::strpbrk(args[0], "/\\")) {
    link.path = args[0];
    first = 1;
  }
  const int r = plat_local_connect(link.path, CONNECT_MS, &link.conn);
  if (r != 0) {
    std::fprintf(stderr, "control: %s: %s\n", link.path, control_error_text(r, false));
    return 1;
  }
  int status;
  if (first == count) {
    status = interactive(&link);
  } else {
    std::string line = args[first];
    for (int i = first + 1; i < count; i++) line.append(" ").append(args[i]);
    line += '\n';
    status = ask(&link, line) == reply::ok ? 0 : 1;
  }
  plat_local_close(link.conn);
  return status;
}
