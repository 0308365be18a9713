// SPDX-License-Identifier: MIT
// The serve command: its options, the settings they make, the start of the server, the
// banner, and the operator console on standard input, until "quit" or an interrupt.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli.h"
#include "plat/plat.h"
#include "server/clients.h"
#include "server/roots.h"
#include "server/vorn3s.h"

static std::atomic<int> g_quit{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler stores into g_quit");

static void on_sig(int) { g_quit.store(1); }

namespace {
struct serve_options {
  const char* bind = nullptr;
  int port = 3320;
  // Where the last --platform, --order and --max-connections stand: only that one of
  // each is applied, in its place among the --set options.
  int platform_at = -1;
  int order_at = -1;
  int max_connections_at = -1;
  const char* roots[MAX_ROOTS];
  int nroots = 0;
};

// Standard input cut into pieces as fgets would return them into a 2048-byte buffer: up
// to and including a line feed, at most 2047 bytes.
struct line_reader {
  static constexpr size_t PIECE_MAX = 2047;
  char pending[2 * PIECE_MAX + 2];
  size_t have = 0;
};
}  // namespace

// False when the options are wrong (the caller then prints the usage text).
static bool parse_options(int count, char** args, serve_options* o) {
  if (count == 0) return false;
  for (int i = 0; i < count; i += 2) {
    const std::string_view word(args[i]);
    if (i + 1 >= count) return false;
    const char* value = args[i + 1];
    if (word == "--bind")
      o->bind = value;
    else if (word == "--port")
      o->port = std::atoi(value);
    else if (word == "--platform")
      o->platform_at = i;
    else if (word == "--order")
      o->order_at = i;
    else if (word == "--max-connections")
      o->max_connections_at = i;
    else if (word == "--set" && std::strchr(value, '='))
      continue;  // applied after the parse, with the others
    else if (word == "--root" && o->nroots < MAX_ROOTS)
      o->roots[o->nroots++] = value;
    else
      return false;
  }
  return o->bind != nullptr;
}

// Applies --platform, --order, --max-connections and each --set KEY=VALUE in the order of
// the command line, before anything is started. False at the first refusal: a refused
// --set or --max-connections is reported as "set: KEY: MESSAGE" on standard error, a
// refused --order says nothing.
static bool apply_settings(int count, char** args, const serve_options& o) {
  for (int i = 0; i < count; i += 2) {
    const std::string_view word(args[i]);
    const char* value = args[i + 1];
    if (word == "--platform" && i == o.platform_at) {
      if (vorn3s_config("platform", value) != 0) return false;
    } else if (word == "--order" && i == o.order_at) {
      if (vorn3s_config("action_byteorder", value) != 0) return false;
    } else if (word == "--max-connections" && i == o.max_connections_at) {
      if (vorn3s_config("max_connections", value) != 0) {
        std::fprintf(stderr, "set: max_connections: %s\n", vorn3s_last_error());
        return false;
      }
    } else if (word == "--set") {
      const char* eq = std::strchr(value, '=');
      const std::string key(value, eq);
      if (vorn3s_config(key.c_str(), eq + 1) != 0) {
        std::fprintf(stderr, "set: %s: %s\n", key.c_str(), vorn3s_last_error());
        return false;
      }
    }
  }
  return true;
}

// Takes the next piece of input into `line` (2048 bytes). 1 with a piece, 0 when none is
// there yet (after waiting up to 100 ms), -1 at the end of the input.
static int next_piece(line_reader* r, char* line) {
  for (;;) {
    const void* lf = std::memchr(r->pending, '\n', r->have);
    size_t n = 0;
    if (lf) n = static_cast<size_t>(static_cast<const char*>(lf) - r->pending) + 1;
    if (n > line_reader::PIECE_MAX || (!lf && r->have >= line_reader::PIECE_MAX)) n = line_reader::PIECE_MAX;
    if (n > 0) {
      std::memcpy(line, r->pending, n);
      line[n] = '\0';
      std::memmove(r->pending, r->pending + n, r->have - n);
      r->have -= n;
      return 1;
    }
    const int got = plat_stdin_read(r->pending + r->have, static_cast<int>(sizeof r->pending - r->have), 100);
    if (got > 0) {
      r->have += static_cast<size_t>(got);
      continue;
    }
    if (got == 0) return 0;
    if (r->have == 0) return -1;
    // The end of the input after a last line without its line feed.
    std::memcpy(line, r->pending, r->have);
    line[r->have] = '\0';
    r->have = 0;
    return 1;
  }
}

// Every live root in index order. A slot that is unused or removed gives the empty text;
// only this thread adds and removes roots, so the walk sees one state throughout.
static void print_roots() {
  int left = vorn3s_root_count();
  for (int i = 0; i < MAX_ROOTS && left > 0; i++) {
    const char* json = vorn3s_root_json(i);
    if (!*json) continue;
    std::printf("root %d %s\n", i, json);
    left--;
  }
}

// "set KEY VALUE": the key runs to the first blank, the value is the rest of the line as
// it stands; "set KEY" alone gives the empty value, which restores the initial one. A
// successful change leaves the last-error record as it was, so its message would be an
// earlier operation's: success prints "ok" instead.
static void run_set(char* args) {
  char* blank = std::strchr(args, ' ');
  const char* value = "";
  if (blank) {
    *blank = '\0';
    value = blank + 1;
  }
  const int r = vorn3s_config(args, value);
  std::printf("set %d %s\n", r, r == 0 ? "ok" : vorn3s_last_error());
}

// One line per live connection: its number, peer, seconds since it connected and since
// its last action, the open file's ID or "-", and the bytes of file data sent.
static void print_clients() {
  std::vector<client_row> rows;
  (void)clients_snapshot(&rows);  // short of memory: what could be copied
  for (auto& r : rows) {
    // An ID is a file's name, which may hold any byte: none may break the line.
    for (char& c : r.file_id) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    const uint32_t ip = r.peer.ipv4;
    std::printf("client %d %u.%u.%u.%u:%u %" PRIu64 " %" PRIu64 " %s %" PRIu64 "\n", r.number, ip >> 24,
                (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF, static_cast<unsigned>(r.peer.port),
                r.connected_s, r.idle_s, r.file_id.empty() ? "-" : r.file_id.c_str(), r.bytes_sent);
  }
}

static constexpr const char* HELP_LINES[] = {
    "add PATH        add a folder or file as a root",
    "remove PATH     remove the live root with that path",
    "roots           list the live roots",
    "status          show whether the server listens, its port and connections",
    "clients         list the connections: number, peer, seconds connected and idle, file, bytes sent",
    "set KEY VALUE   change a setting; without VALUE it returns to its initial value",
    "help            list these commands",
    "quit            stop the server and end",
};

// Carries out one console line; false for "quit".
static bool run_line(char* line) {
  size_t len = std::strlen(line);
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r' || line[len - 1] == ' '))
    line[--len] = '\0';
  const std::string_view cmd(line, len);
  if (cmd == "quit") return false;
  if (cmd == "status") {
    std::printf("running=%d port=%d conns=%d\n", vorn3s_is_running(), vorn3s_port(),
                vorn3s_connection_count());
  } else if (cmd == "roots") {
    print_roots();
  } else if (cmd.starts_with("add ")) {
    const int r = vorn3s_add_root(line + 4);
    std::printf("add %d %s\n", r, vorn3s_last_error());
  } else if (cmd.starts_with("remove ")) {
    const int r = vorn3s_remove_root(line + 7);
    std::printf("remove %d %s\n", r, vorn3s_last_error());
  } else if (cmd.starts_with("set ")) {
    run_set(line + 4);
  } else if (cmd == "clients") {
    print_clients();
  } else if (cmd == "help") {
    for (const char* h : HELP_LINES) std::printf("%s\n", h);
  } else if (!cmd.empty()) {
    std::printf("?\n");
  }
  return true;
}

int cmd_serve(int count, char** args) {
  serve_options o;
  if (!parse_options(count, args, &o)) return usage();
  if (!apply_settings(count, args, o)) return 1;
  if (vorn3s_start(o.bind, o.port, o.roots, o.nroots) != 0) {
    std::fprintf(stderr, "start: %s\n", vorn3s_last_error());
    return 1;
  }
  std::printf("listening %s:%d roots=%d handshake=%s\n", o.bind, vorn3s_port(), vorn3s_root_count(),
              vorn3s_handshake_json());
  std::fflush(stdout);
  plat_on_interrupt(on_sig);

  line_reader reader;
  char line[2048];
  while (!g_quit.load()) {
    const int got = next_piece(&reader, line);
    if (got < 0) {
      // The end of the input does not end the server: started with no input at all (by a
      // service manager, say), it serves on until a signal stops it.
      plat_sleep_ms(100);
      continue;
    }
    if (got == 0) continue;
    const bool go_on = run_line(line);
    std::fflush(stdout);
    if (!go_on) break;
  }
  vorn3s_stop();
  return 0;
}
