// SPDX-License-Identifier: MIT
// Formats each event of the access log into one line on the stack and hands it to the
// log's queue. Nothing here allocates or waits.
#include "server/log_events.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "server/access_log.h"

// A line holds one quoted ID of at most ID_LOG_MAX bytes (four bytes each at worst) with
// room to spare; a longer ID is cut there and its whole length given.
static constexpr size_t LINE_CAP = 8192;
static constexpr size_t ID_LOG_MAX = 1024;

namespace {
struct log_line {
  char text[LINE_CAP];
  size_t len = 0;
};
}  // namespace

static void put(log_line* l, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void put(log_line* l, const char* format, ...) {
  // Room is always kept for the line feed; a field that does not fit is cut.
  const size_t room = LINE_CAP - 1 - l->len;
  if (room <= 1) return;
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(l->text + l->len, room, format, ap);
  va_end(ap);
  if (n > 0) l->len += std::min(static_cast<size_t>(n), room - 1);
}

// The time and the event's name begin every line.
static void begin(log_line* l, const char* event) {
  using namespace std::chrono;
  const auto now = floor<milliseconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  put(l, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ event=%s", static_cast<int>(date.year()),
      static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
      static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
      static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()), event);
}

static void finish(log_line* l) {
  l->text[l->len++] = '\n';
  access_log_put(std::string_view(l->text, l->len));
}

static void put_peer(log_line* l, const plat_peer& p) {
  put(l, " peer=%u.%u.%u.%u:%u", p.ipv4 >> 24, (p.ipv4 >> 16) & 0xFF, (p.ipv4 >> 8) & 0xFF, p.ipv4 & 0xFF,
      static_cast<unsigned>(p.port));
}

static void put_id(log_line* l, std::string_view id) {
  put(l, " id=");
  const std::string_view shown = id.substr(0, ID_LOG_MAX);
  log_quote(l->text, LINE_CAP - 1, &l->len, shown);
  if (id.size() > shown.size()) put(l, " id_bytes=%" PRIu64, static_cast<uint64_t>(id.size()));
}

// The length of the UTF-8 character at the start of `s` when it is whole, no overlong
// form, no surrogate and from U+00A0 on (the C1 controls below that are escaped); else 0.
static size_t printable_utf8(std::string_view s) {
  const auto b = [&](size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
  const auto cont = [&](size_t i) { return (b(i) & 0xC0) == 0x80; };
  const unsigned c = b(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) && (c > 0xC2 || b(1) >= 0xA0) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if ((c == 0xE0 && b(1) < 0xA0) || (c == 0xED && b(1) >= 0xA0)) return 0;
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if ((c == 0xF0 && b(1) < 0x90) || (c == 0xF4 && b(1) >= 0x90)) return 0;
    return 4;
  }
  return 0;
}

size_t log_quote(char* out, size_t cap, size_t* len, std::string_view text) {
  size_t at = *len;
  const auto room = [&](size_t n) { return at + n + 1 <= cap; };  // the closing quote too
  if (!room(1)) return 0;
  out[at++] = '"';
  size_t taken = 0;
  while (taken < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[taken]);
    if (c == '"' || c == '\\') {
      if (!room(2)) break;
      out[at++] = '\\';
      out[at++] = static_cast<char>(c);
      taken++;
    } else if (c >= 0x20 && c < 0x7F) {
      if (!room(1)) break;
      out[at++] = static_cast<char>(c);
      taken++;
    } else if (const size_t n = printable_utf8(text.substr(taken))) {
      if (!room(n)) break;
      for (size_t i = 0; i < n; i++) out[at++] = text[taken++];
    } else {
      if (!room(4)) break;
      static constexpr char HEX[] = "0123456789abcdef";
      out[at++] = '\\';
      out[at++] = 'x';
      out[at++] = HEX[c >> 4];
      out[at++] = HEX[c & 0xF];
      taken++;
    }
  }
  out[at++] = '"';
  *len = at;
  return taken;
}

void log_connect(int conn, const plat_peer& peer) {
  if (!access_log_on()) return;
  log_line l;
  begin(&l, "connect");
  put(&l, " conn=%d", conn);
  put_peer(&l, peer);
  finish(&l);
}

void log_handshake(int conn, const char* order) {
  if (!access_log_on()) return;
  log_line l;
  begin(&l, "handshake");
  put(&l, " conn=%d order=%s", conn, order);
  finish(&l);
}

void log_open(int conn, std::string_view id, int code, int64_t size) {
  if (!access_log_on()) return;
  log_line l;
  begin(&l, "open");
  put(&l, " conn=%d", conn);
  put_id(&l, id);
  if (code == 0)
    put(&l, " size=%" PRId64, size);
  else
    put(&l, " code=%d", code);
  finish(&l);
}

void log_refused(int conn, const char* action, std::string_view id) {
  if (!access_log_on()) return;
  log_line l;
  begin(&l, "refused");
  put(&l, " conn=%d action=%s", conn, action);
  put_id(&l, id);
  finish(&l);
}

void log_end(int conn, const char* reason, uint64_t duration_ms, uint64_t bytes) {
  if (!access_log_on()) return;
  log_line l;
  begin(&l, "end");
  put(&l, " conn=%d reason=%s duration_ms=%" PRIu64 " bytes=%" PRIu64, conn, reason, duration_ms, bytes);
  finish(&l);
}

void log_busy(const plat_peer& peer, int limit) {
  if (!access_log_on()) return;
  log_line l;
  begin(&l, "busy");
  put_peer(&l, peer);
  put(&l, " max_connections=%d", limit);
  finish(&l);
}

void log_exhausted(uint64_t closed) {
  if (!access_log_on()) return;
  log_line l;
  begin(&l, "exhausted");
  put(&l, " closed=%" PRIu64, closed);
  finish(&l);
}
