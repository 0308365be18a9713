// SPDX-License-Identifier: MIT
// The listener state: one listening socket, its thread, and the count of live
// connections, each served on a detached thread of its own.
#pragma once

#include <atomic>

#include "plat/plat.h"

struct server_state {
  plat_mutex lock;  // the server lock: running, starting and the reset of port
  std::atomic<plat_socket> sock{PLAT_NO_SOCKET};
  plat_thread thread = nullptr;
  std::atomic<int> running{0};
  std::atomic<int> port{0};
  int starting = 0;
};

extern server_state G_SRV;

void vorn3s_conn_inc();
void vorn3s_conn_dec();
