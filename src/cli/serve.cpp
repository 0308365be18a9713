// SPDX-License-Identifier: MIT
// The serve command: its options, the settings they make, the access log and the control
// socket, the start of the server, the banner, and the operator console on standard input,
// until "quit" (there or on the control socket) or an interrupt.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/cli.h"
#include "cli/console.h"
#include "plat/plat.h"
#include "server/access_log.h"
#include "server/control.h"
#include "server/roots.h"
#include "server/vorn3s.h"

static std::atomic<int> g_quit{0};
static std::atomic<int> g_reopen{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers store into g_quit and g_reopen");

static void on_sig(int) { g_quit.store(1); }
static void on_reopen(int) { g_reopen.store(1); }

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
  const char* control = nullptr;        // --control, or --set control=
  const char* control_group = nullptr;  // --control-group
  const char* log = nullptr;            // --log
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
    else if (word == "--control")
      o->control = value;
    else if (word == "--control-group")
      o->control_group = value;
    else if (word == "--log")
      o->log = value;
    else if (word == "--set" && std::strncmp(value, "control=", 8) == 0)
      o->control = value + 8;  // a setting of this program, not of the server
    else if (word == "--set" && std::strchr(value, '='))
      continue;  // applied after the parse, with the others
    else if (word == "--root" && o->nroots < MAX_ROOTS)
      o->roots[o->nroots++] = value;
    else
      return false;
  }
  if (o->control && !*o->control) o->control = nullptr;  // an empty value: no socket
  // A group for a socket that is not there is a mistake in the command line.
  if (o->control_group && !o->control) return false;
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
    } else if (word == "--set" && std::strncmp(value, "control=", 8) != 0) {
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

// The runner of the control socket's clients: a "quit" there ends the console too.
static command_outcome control_command(char* line, std::string* out) {
  const command_outcome r = console_run(line, out);
  if (r == command_outcome::quit) g_quit.store(1);
  return r;
}

// Opens the access log and the control socket that the options ask for, before anything
// is started: false, with the reason on standard error, when either is refused.
static bool open_log_and_control(const serve_options& o) {
  if (o.log && access_log_open(o.log) != 0) {
    std::fprintf(stderr, "log: %s: cannot open\n", o.log);
    return false;
  }
  if (!o.control) return true;
  const int r = control_open(o.control, o.control_group);
  if (r == 0) return true;
  std::fprintf(stderr, "control: %s: %s\n", o.control, control_error_text(r, true));
  access_log_close();
  return false;
}

static void close_log_and_control() {
  control_close();
  access_log_close();
}

int cmd_serve(int count, char** args) {
  serve_options o;
  if (!parse_options(count, args, &o)) return usage();
  if (!apply_settings(count, args, o)) return 1;
  if (!open_log_and_control(o)) return 1;
  if (vorn3s_start(o.bind, o.port, o.roots, o.nroots) != 0) {
    std::fprintf(stderr, "start: %s\n", vorn3s_last_error());
    close_log_and_control();
    return 1;
  }
  std::printf("listening %s:%d roots=%d handshake=%s\n", o.bind, vorn3s_port(), vorn3s_root_count(),
              vorn3s_handshake_json());
  std::fflush(stdout);
  // Commands run only after the banner, which reads the shared result buffer outside the
  // console's lock. Clients that connected before wait in the socket's queue.
  if (o.control && control_serve(control_command) != 0) {
    std::fprintf(stderr, "control: %s: cannot start\n", o.control);
    vorn3s_stop();
    close_log_and_control();
    return 1;
  }
  plat_on_interrupt(on_sig);
  // Only a server that logs takes the request to reopen its files; any other keeps the
  // signal's usual meaning.
  if (o.log) plat_on_reopen(on_reopen);

  line_reader reader;
  char line[2048];
  std::string out;
  while (!g_quit.load()) {
    if (g_reopen.exchange(0)) (void)access_log_reopen();
    const int got = next_piece(&reader, line);
    if (got < 0) {
      // The end of the input does not end the server: started with no input at all (by a
      // service manager, say), it serves on until a signal or the control socket stops it.
      plat_sleep_ms(100);
      continue;
    }
    if (got == 0) continue;
    out.clear();
    const bool go_on = console_run(line, &out) != command_outcome::quit;
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (!go_on) break;
  }
  // The listener's last events still reach the log.
  control_close();
  vorn3s_stop();
  access_log_close();
  return 0;
}
