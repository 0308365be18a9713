// SPDX-License-Identifier: MIT
// Starting and stopping the server: the bind-address checks, the initial roots, the
// listening socket, the listener thread, and one detached thread per connection.
#include "server/listener.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "server/clients.h"
#include "server/log_events.h"
#include "server/roots.h"
#include "server/results.h"
#include "server/settings.h"
#include "server/vorn3s.h"
#include "session/session.h"

server_state G_SRV;
static std::atomic<int> s_conn_count{0};

// "(D12)" is fixed text that hosts and scripts see and match, not a reference.
static constexpr char BIND_REFUSED[] = "bind_ip must be an IPv4 literal of one interface (D12)";

// One interface only: never the any-address, the broadcast address or a multicast group.
static bool bind_ip_acceptable(const char* ip) {
  if (!ip || !*ip) return false;
  if (std::string_view(ip) == "0.0.0.0") return false;
  unsigned a, b, c, d;
  char extra;
  if (std::sscanf(ip, "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra) != 4) return false;
  if (a > 255 || b > 255 || c > 255 || d > 255) return false;
  if (a == 255 && b == 255 && c == 255 && d == 255) return false;
  if (a >= 224 && a <= 239) return false;
  return plat_ipv4_parse(ip) == 1;
}

void vorn3s_conn_inc() {
  plat_guard g(G_SRV.lock);
  s_conn_count.fetch_add(1);
}

void vorn3s_conn_dec() {
  plat_guard g(G_SRV.lock);
  s_conn_count.fetch_sub(1);
}

struct conn_cell {
  plat_socket sock;
  plat_peer peer;
  client_entry client;  // this connection's line in the console's table
};

// The listener has counted the connection in already; the thread counts it out.
static int conn_thread(void* arg) {
  auto* cell = static_cast<conn_cell*>(arg);
  clients_register(&cell->client, cell->peer);
  log_connect(cell->client.number, cell->peer);
  // Whatever happens inside one session stays inside it: the process and every other
  // session go on.
  session_end why = session_end::transfer_failed;
  try {
    (void)vorn3s_serve_conn(cell->sock, roots_get(), &cell->client, &why);
  } catch (...) {
  }
  const uint64_t now = plat_now_ms();
  log_end(cell->client.number, session_end_name(why), now - std::min(now, cell->client.connected_ms),
          cell->client.bytes_sent.load(std::memory_order_relaxed));
  // Off the console's table before the count falls, as it came onto it after the count
  // rose: a connection that status does not count is never listed.
  clients_unregister(&cell->client);
  vorn3s_conn_dec();
  plat_sock_close(cell->sock);
  delete cell;
  return 0;
}

// How long the listener rests after it found no descriptor for a waiting connection.
static constexpr int EXHAUSTED_PAUSE_MS = 20;
// Out of descriptors, the log gets one line a second at most, with the count closed since.
static constexpr uint64_t EXHAUSTED_LOG_MS = 1000;

namespace {
struct exhaustion_note {
  uint64_t closed = 0;   // connections closed unserved, not yet told to the log
  uint64_t told_ms = 0;  // when the log was last told
  bool told = false;
};
}  // namespace

// Tells the log what was closed for want of descriptors, when there is something to tell
// and the last line is old enough.
static void tell_exhaustion(exhaustion_note* n) {
  const uint64_t now = plat_now_ms();
  if (n->closed == 0 || (n->told && now - n->told_ms < EXHAUSTED_LOG_MS)) return;
  log_exhausted(n->closed);
  n->closed = 0;
  n->told_ms = now;
  n->told = true;
}

// Out of descriptors, a waiting connection keeps the listening socket readable and every
// accept fails at once. Give up the reserve for one accept and close that connection, so
// that its client sees an end instead of silence, then take the reserve back.
static void shed_one(plat_socket listen_sock, plat_reserve** reserve, exhaustion_note* note) {
  plat_reserve_release(*reserve);
  plat_socket s;
  if (plat_accept_conn(listen_sock, &s) == 0) {
    plat_sock_close(s);
    note->closed++;
  }
  *reserve = plat_reserve_take();
  tell_exhaustion(note);
}

// Hands an accepted connection to a thread of its own, counted in from here on.
static void serve_on_thread(plat_socket s, const plat_peer& peer) {
  auto* cell = new (std::nothrow) conn_cell{s, peer, {}};
  if (!cell) {
    plat_sock_close(s);
    return;
  }
  vorn3s_conn_inc();
  plat_thread t;
  if (plat_thread_start(&t, conn_thread, cell) == 0) {
    plat_thread_detach(t);
  } else {
    vorn3s_conn_dec();
    plat_sock_close(s);
    delete cell;
  }
}

static int listener_thread(void*) {
  // The socket is set before this thread exists and closed only after it has been joined.
  const plat_socket listen_sock = G_SRV.sock.load();
  plat_reserve* reserve = plat_reserve_take();
  exhaustion_note exhausted;
  for (;;) {
    {
      plat_guard g(G_SRV.lock);
      if (!G_SRV.running.load()) break;
    }
    tell_exhaustion(&exhausted);
    if (plat_poll1(listen_sock, PLAT_POLL_READ, 200) <= 0) continue;
    plat_socket s;
    plat_peer peer;
    const int r = plat_accept_conn(listen_sock, &s, &peer);
    if (r == PLAT_EXHAUSTED) {
      shed_one(listen_sock, &reserve, &exhausted);
      plat_sleep_ms(EXHAUSTED_PAUSE_MS);
      continue;
    }
    if (r != 0) continue;
    // Only this thread counts connections in, so the count cannot pass the limit between
    // this test and the count below. One past it is closed at once.
    const int limit = G_CFG.max_connections.load();
    if (s_conn_count.load() >= limit) {
      plat_sock_close(s);
      log_busy(peer, limit);
      continue;
    }
    serve_on_thread(s, peer);
  }
  plat_reserve_release(reserve);
  return 0;
}

static void clear_starting() {
  plat_guard g(G_SRV.lock);
  G_SRV.starting = 0;
}

static int start_server(const char* bind_ip, int port, const char* const* roots, int nroots) {
  {
    plat_guard g(G_SRV.lock);
    if (G_SRV.running.load() || G_SRV.starting) {
      set_error(VORN3S_ECONFLICT, "already running");
      return VORN3S_ECONFLICT;
    }
  }
  if (!bind_ip_acceptable(bind_ip)) {
    set_error(VORN3S_EBADARG, BIND_REFUSED);
    return VORN3S_EBADARG;
  }
  if (port < 0 || port > 65535) {
    set_error(VORN3S_EBADARG, "port range");
    return VORN3S_EBADARG;
  }
  if (nroots > 0 && !roots) {
    set_error(VORN3S_EBADARG, "roots NULL");
    return VORN3S_EBADARG;
  }
  (void)plat_net_init();  // a failure shows as a socket failure next
  {
    plat_guard g(G_SRV.lock);
    G_SRV.starting = 1;
  }
  for (int i = 0; i < nroots; i++) {
    const int r = roots_add(roots[i]);
    if (r < 0) {
      clear_starting();
      return r;
    }
  }
  plat_socket s;
  const int lr = plat_tcp_listen(bind_ip, port, &s);
  if (lr != 0) {
    clear_starting();
    if (lr == VORN3S_EBADARG) {
      set_error(VORN3S_ENET, "socket() failed");
    } else {
      set_error(VORN3S_ENET, "bind/listen failed");
    }
    return VORN3S_ENET;
  }
  G_SRV.sock.store(s);
  const int bound = plat_sock_port(s);
  G_SRV.port.store(bound >= 0 ? bound : port);
  {
    plat_guard g(G_SRV.lock);
    G_SRV.running.store(1);
    G_SRV.starting = 0;
  }
  if (plat_thread_start(&G_SRV.thread, listener_thread, nullptr) != 0) {
    {
      plat_guard g(G_SRV.lock);
      G_SRV.running.store(0);
    }
    plat_sock_close(s);
    G_SRV.sock.store(PLAT_NO_SOCKET);
    G_SRV.port.store(0);
    set_error(VORN3S_ENET, "thread start failed");
    return VORN3S_ENET;
  }
  set_error(VORN3S_OK, "listening on %s:%d", bind_ip, G_SRV.port.load());
  return 0;
}

extern "C" int vorn3s_start(const char* bind_ip, int port, const char* const* roots, int nroots) noexcept {
  return export_guard(VORN3S_ENOMEM, [&] { return start_server(bind_ip, port, roots, nroots); });
}

extern "C" void vorn3s_stop() noexcept {
  plat_thread listener;
  {
    plat_guard g(G_SRV.lock);
    if (!G_SRV.running.load()) return;
    listener = G_SRV.thread;
    G_SRV.thread = nullptr;
    G_SRV.running.store(0);
  }
  // Wake the listener's wait at once, but release the socket's number only after the
  // thread is gone, so that it can never poll or accept on a number reused meanwhile.
  const plat_socket s = G_SRV.sock.load();
  plat_sock_shutdown(s);
  plat_thread_join(listener);
  plat_sock_close(s);
  G_SRV.sock.store(PLAT_NO_SOCKET);
  plat_guard g(G_SRV.lock);
  G_SRV.port.store(0);
}

extern "C" int vorn3s_is_running() noexcept { return G_SRV.running.load(); }

extern "C" int vorn3s_port() noexcept { return G_SRV.port.load(); }

extern "C" int vorn3s_connection_count() noexcept { return s_conn_count.load(); }
