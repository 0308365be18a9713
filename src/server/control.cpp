// SPDX-License-Identifier: MIT
// The control socket's listener and its clients. A client's thread reads lines, runs
// each through the console's runner and sends the reply with its end marker; a line too
// long, a zero byte or a client past the limit is refused with a line of its own.
#include "server/control.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "plat/plat.h"
#include "server/vorn3s.h"

// Clients served at once; one more is told so and closed.
static constexpr int MAX_CONTROL_CLIENTS = 16;
// The longest a client may stay silent between lines, and the time a reply, or the rest
// of a refused line, may take to go out or come in.
static constexpr uint64_t IDLE_MS = 5 * 60 * 1000;
static constexpr int SEND_MS = 5000;
static constexpr uint64_t DISCARD_MS = 5000;
// Each wait is cut into slices this long, so that a stop is seen within one.
static constexpr int SLICE_MS = 200;
static constexpr int LINGER_MS = 1000;

static constexpr char TOO_LONG[] = "refused: line over 2048 bytes\n";
static constexpr char ZERO_BYTE[] = "refused: zero byte in the line\n";
static constexpr char TOO_MANY[] = "refused: too many control clients\n";

namespace {
struct control_state {
  plat_local_listener* listener = nullptr;
  plat_thread acceptor = nullptr;
  command_runner run = nullptr;
  std::atomic<bool> stopping{false};
  std::mutex lock;                // `clients`
  std::condition_variable ended;  // a client's thread has ended
  int clients = 0;
};
}  // namespace

// Never destroyed: a client's thread that outlives a stop still counts itself out here.
static control_state& state() {
  static control_state* s = new control_state;
  return *s;
}

const char* control_error_text(int code, bool listening) {
  switch (code) {
    case PLAT_LOCAL_NOT_SOCKET: return "exists and is not a socket";
    case PLAT_LOCAL_IN_USE: return "in use by a running server";
    case PLAT_LOCAL_TOO_LONG: return "name too long";
    case PLAT_LOCAL_GROUP: return "cannot give that group access";
    case PLAT_LOCAL_DENIED: return "permission denied";
    case PLAT_LOCAL_ABSENT: return "no server listens there";
    default: return listening ? "cannot listen there" : "cannot connect there";
  }
}

// Sends `text` followed by the end marker; false when it did not go out in time.
static bool send_reply(plat_local_conn* c, std::string* text, bool ok) {
  text->append(ok ? CONTROL_END_OK : CONTROL_END_FAILED);
  text->push_back('\n');
  return plat_local_send(c, text->data(), text->size(), SEND_MS) == 0;
}

// Waits a little for the client to close first, so that the last reply is read before
// the connection ends (a pipe closed by the server may lose what the client had not read).
static void linger_close(plat_local_conn* c) {
  const uint64_t until = plat_now_ms() + LINGER_MS;
  char sink[512];
  while (plat_now_ms() < until && plat_local_recv(c, sink, sizeof sink, SLICE_MS) != 0) {
  }
  plat_local_close(c);
}

namespace {
// One client's input: the line being gathered, and whether the rest of a refused line is
// being skipped.
struct line_state {
  char line[CONTROL_LINE_MAX + 1];
  size_t have = 0;
  bool skipping = false;
  uint64_t skip_until = 0;
};
enum class step { go_on, close, quit };
}  // namespace

// Runs one whole line and sends its reply.
static step run_line(plat_local_conn* c, line_state* ls) {
  ls->line[ls->have] = '\0';
  const size_t have = ls->have;
  ls->have = 0;
  std::string out;
  if (std::memchr(ls->line, '\0', have)) {
    out = ZERO_BYTE;
    return send_reply(c, &out, false) ? step::go_on : step::close;
  }
  const command_outcome r = state().run(ls->line, &out);
  if (!send_reply(c, &out, r != command_outcome::failed)) return step::close;
  return r == command_outcome::quit ? step::quit : step::go_on;
}

// Takes `n` bytes that came in; runs every line they complete.
static step take_bytes(plat_local_conn* c, line_state* ls, const char* bytes, size_t n) {
  while (n > 0) {
    const char* lf = static_cast<const char*>(std::memchr(bytes, '\n', n));
    const size_t piece = lf ? static_cast<size_t>(lf - bytes) + 1 : n;
    if (ls->skipping) {
      ls->skipping = lf == nullptr;
    } else if (ls->have + piece > CONTROL_LINE_MAX) {
      // Refused at once, not when its end comes: the client may be waiting to read.
      ls->have = 0;
      ls->skipping = lf == nullptr;
      ls->skip_until = plat_now_ms() + DISCARD_MS;
      std::string out = TOO_LONG;
      if (!send_reply(c, &out, false)) return step::close;
    } else {
      std::memcpy(ls->line + ls->have, bytes, piece);
      ls->have += piece;
      if (lf) {
        const step s = run_line(c, ls);
        if (s != step::go_on) return s;
      }
    }
    bytes += piece;
    n -= piece;
  }
  return step::go_on;
}

static void serve_client(plat_local_conn* c) {
  control_state& s = state();
  line_state ls;
  char buf[4096];
  uint64_t idle_until = plat_now_ms() + IDLE_MS;
  while (!s.stopping.load()) {
    const int64_t r = plat_local_recv(c, buf, sizeof buf, SLICE_MS);
    const uint64_t now = plat_now_ms();
    if (r == -2) {
      if (now >= idle_until || (ls.skipping && now >= ls.skip_until)) break;
      continue;
    }
    if (r <= 0) {
      // A last line without its line feed is still a command, as on standard input.
      if (r == 0 && ls.have > 0 && !ls.skipping) (void)run_line(c, &ls);
      break;
    }
    idle_until = now + IDLE_MS;
    const step st = take_bytes(c, &ls, buf, static_cast<size_t>(r));
    if (st == step::quit) {
      linger_close(c);
      return;
    }
    if (st == step::close) break;
  }
  plat_local_close(c);
}

static int client_thread(void* arg) {
  serve_client(static_cast<plat_local_conn*>(arg));
  control_state& s = state();
  std::lock_guard g(s.lock);
  s.clients--;
  s.ended.notify_all();
  return 0;
}

// Starts a thread for `c`, or refuses it when the limit is reached.
static void take_client(plat_local_conn* c) {
  control_state& s = state();
  bool room;
  {
    std::lock_guard g(s.lock);
    room = s.clients < MAX_CONTROL_CLIENTS;
    if (room) s.clients++;
  }
  if (room) {
    plat_thread t;
    if (plat_thread_start(&t, client_thread, c) == 0) {
      plat_thread_detach(t);
      return;
    }
    std::lock_guard g(s.lock);
    s.clients--;
  }
  // The refusal is short enough for any socket's buffer: the acceptor does not wait on it.
  std::string out = TOO_MANY;
  (void)send_reply(c, &out, false);
  plat_local_close(c);
}

static int acceptor_thread(void*) {
  control_state& s = state();
  while (!s.stopping.load()) {
    plat_local_conn* c = nullptr;
    if (plat_local_accept(s.listener, SLICE_MS, &c) <= 0) continue;
    take_client(c);
  }
  return 0;
}

int control_open(const char* path, const char* group) {
  control_state& s = state();
  if (s.listener) return PLAT_LOCAL_IN_USE;
  s.stopping.store(false);
  return plat_local_listen(path, group, &s.listener);
}

int control_serve(command_runner run) {
  control_state& s = state();
  if (!s.listener) return VORN3S_ECONFLICT;
  s.run = run;
  return plat_thread_start(&s.acceptor, acceptor_thread, nullptr) == 0 ? 0 : VORN3S_ENET;
}

void control_close() {
  control_state& s = state();
  if (!s.listener) return;
  s.stopping.store(true);
  if (s.acceptor) plat_thread_join(s.acceptor);
  s.acceptor = nullptr;
  plat_local_listen_close(s.listener);
  s.listener = nullptr;
  // Each client sees the stop within one slice, or when its reply has gone or timed out.
  std::unique_lock lk(s.lock);
  s.ended.wait_for(lk, std::chrono::milliseconds(SEND_MS + 2 * SLICE_MS), [&] { return s.clients == 0; });
}
