// SPDX-License-Identifier: MIT
// The console's commands: each line is carried out and its output written into a text,
// which standard output or a control client then receives as it stands.
#include "cli/console.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <vector>

#include "server/access_log.h"
#include "server/clients.h"
#include "server/roots.h"
#include "server/vorn3s.h"

static std::mutex s_console_lock;  // one command at a time

static void out_printf(std::string* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void out_printf(std::string* out, const char* format, ...) {
  char small[1024];
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(small, sizeof small, format, ap);
  va_end(ap);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    out->append(small, static_cast<size_t>(n));
    return;
  }
  // A long line (a root's record, a path): formatted again into room of its own.
  const size_t at = out->size();
  out->resize(at + static_cast<size_t>(n) + 1);
  va_start(ap, format);
  std::vsnprintf(out->data() + at, static_cast<size_t>(n) + 1, format, ap);
  va_end(ap);
  out->resize(at + static_cast<size_t>(n));
}

// Every live root in index order. A slot that is unused or removed gives the empty text;
// roots change only under the console lock, so the walk sees one state throughout.
static void print_roots(std::string* out) {
  int left = vorn3s_root_count();
  for (int i = 0; i < MAX_ROOTS && left > 0; i++) {
    const char* json = vorn3s_root_json(i);
    if (!*json) continue;
    out_printf(out, "root %d %s\n", i, json);
    left--;
  }
}

// "set KEY VALUE": the key runs to the first blank, the value is the rest of the line as
// it stands; "set KEY" alone gives the empty value, which restores the initial one. A
// successful change leaves the last-error record as it was, so its message would be an
// earlier operation's: success prints "ok" instead.
static bool run_set(char* args, std::string* out) {
  char* blank = std::strchr(args, ' ');
  const char* value = "";
  if (blank) {
    *blank = '\0';
    value = blank + 1;
  }
  const int r = vorn3s_config(args, value);
  out_printf(out, "set %d %s\n", r, r == 0 ? "ok" : vorn3s_last_error());
  return r == 0;
}

// One line per live connection: its number, peer, seconds since it connected and since
// its last action, the open file's ID or "-", and the bytes of file data sent.
static void print_clients(std::string* out) {
  std::vector<client_row> rows;
  (void)clients_snapshot(&rows);  // short of memory: what could be copied
  for (auto& r : rows) {
    // An ID is a file's name, which may hold any byte: none may break the line.
    for (char& c : r.file_id) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    const uint32_t ip = r.peer.ipv4;
    out_printf(out, "client %d %u.%u.%u.%u:%u %" PRIu64 " %" PRIu64 " %s %" PRIu64 "\n", r.number, ip >> 24,
               (ip >> 16) & 0xFF, (ip >> 8) & 0xFF, ip & 0xFF, static_cast<unsigned>(r.peer.port),
               r.connected_s, r.idle_s, r.file_id.empty() ? "-" : r.file_id.c_str(), r.bytes_sent);
  }
}

// "log": where the access log goes and how many of its lines were lost; "log off" when
// there is none.
static void print_log(std::string* out) {
  const access_log_status st = access_log_state();
  if (st.path.empty())
    out_printf(out, "log off\n");
  else
    out_printf(out, "log lost=%" PRIu64 " %s\n", st.lost, st.path.c_str());
}

static bool reopen_log(std::string* out) {
  const int r = access_log_reopen();
  if (r == VORN3S_ECONFLICT)
    out_printf(out, "log reopen %d no log\n", r);
  else if (r != 0)
    out_printf(out, "log reopen %d cannot open %s\n", r, access_log_state().path.c_str());
  else
    out_printf(out, "log reopen 0 ok\n");
  return r == 0;
}

static constexpr const char* HELP_LINES[] = {
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

// Carries out one trimmed line.
static command_outcome run_command(char* line, size_t len, std::string* out) {
  const std::string_view cmd(line, len);
  if (cmd == "quit") return command_outcome::quit;
  bool ok = true;
  if (cmd == "status") {
    out_printf(out, "running=%d port=%d conns=%d\n", vorn3s_is_running(), vorn3s_port(),
               vorn3s_connection_count());
  } else if (cmd == "roots") {
    print_roots(out);
  } else if (cmd.starts_with("add ")) {
    const int r = vorn3s_add_root(line + 4);
    out_printf(out, "add %d %s\n", r, vorn3s_last_error());
    ok = r >= 0;
  } else if (cmd.starts_with("remove ")) {
    const int r = vorn3s_remove_root(line + 7);
    out_printf(out, "remove %d %s\n", r, vorn3s_last_error());
    ok = r == 0;
  } else if (cmd.starts_with("set ")) {
    ok = run_set(line + 4, out);
  } else if (cmd == "clients") {
    print_clients(out);
  } else if (cmd == "log") {
    print_log(out);
  } else if (cmd == "log reopen") {
    ok = reopen_log(out);
  } else if (cmd == "help") {
    for (const char* h : HELP_LINES) out_printf(out, "%s\n", h);
  } else if (!cmd.empty()) {
    out_printf(out, "?\n");
    ok = false;
  }
  return ok ? command_outcome::done : command_outcome::failed;
}

command_outcome console_run(char* line, std::string* out) {
  size_t len = std::strlen(line);
  while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r' || line[len - 1] == ' '))
    line[--len] = '\0';
  std::lock_guard g(s_console_lock);
  try {
    return run_command(line, len, out);
  } catch (const std::bad_alloc&) {
    return command_outcome::failed;  // what was written before memory ran out stands
  }
}
