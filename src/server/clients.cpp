// SPDX-License-Identifier: MIT
// The table of live connections: a list linked through the entries themselves, so that
// registering needs no allocation, guarded by the clients lock.
#include "server/clients.h"

#include <new>
#include <utility>

#include "server/vorn3s.h"

namespace {
struct clients_table {
  plat_mutex lock;  // the clients lock: the links, the numbers and every entry's file_id
  client_entry* head = nullptr;
  client_entry* tail = nullptr;
  int last_number = 0;
};
}  // namespace

static clients_table s_clients;

void clients_register(client_entry* e, const plat_peer& peer) {
  const uint64_t now = plat_now_ms();
  e->peer = peer;
  e->connected_ms = now;
  e->last_action_ms.store(now, std::memory_order_relaxed);
  e->bytes_sent.store(0, std::memory_order_relaxed);
  plat_guard g(s_clients.lock);
  e->number = ++s_clients.last_number;
  e->prev = s_clients.tail;
  e->next = nullptr;
  if (s_clients.tail)
    s_clients.tail->next = e;
  else
    s_clients.head = e;
  s_clients.tail = e;
}

void clients_unregister(client_entry* e) {
  text_ptr id;  // released after the lock
  plat_guard g(s_clients.lock);
  if (e->prev)
    e->prev->next = e->next;
  else
    s_clients.head = e->next;
  if (e->next)
    e->next->prev = e->prev;
  else
    s_clients.tail = e->prev;
  e->prev = e->next = nullptr;
  id = std::move(e->file_id);
}

void client_set_file(client_entry* e, const char* id) {
  if (!e) return;
  text_ptr copy(x_strdup(id));  // made and released outside the lock
  plat_guard g(s_clients.lock);
  std::swap(e->file_id, copy);
}

static uint64_t seconds_between(uint64_t earlier_ms, uint64_t now_ms) {
  return now_ms > earlier_ms ? (now_ms - earlier_ms) / 1000 : 0;
}

int clients_snapshot(std::vector<client_row>* out) {
  try {
    plat_guard g(s_clients.lock);
    const uint64_t now = plat_now_ms();
    for (const client_entry* e = s_clients.head; e; e = e->next) {
      client_row row;
      row.number = e->number;
      row.peer = e->peer;
      row.connected_s = seconds_between(e->connected_ms, now);
      row.idle_s = seconds_between(e->last_action_ms.load(std::memory_order_relaxed), now);
      if (e->file_id) row.file_id = e->file_id.get();
      row.bytes_sent = e->bytes_sent.load(std::memory_order_relaxed);
      out->push_back(std::move(row));
    }
  } catch (const std::bad_alloc&) {
    return VORN3S_ENOMEM;
  }
  return 0;
}
