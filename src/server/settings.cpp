// SPDX-License-Identifier: MIT
// Settings by key and value, the version and the handshake text.
#include "server/settings.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

#include "server/results.h"
#include "server/vorn3s.h"

settings G_CFG;

static constexpr char DEFAULT_PLATFORM[] = "quorvane-c";

void cfg_platform(char* out) {
  plat_guard g(G_CFG.platform_lock);
  std::memcpy(out, G_CFG.platform, PLATFORM_CAP);
}

int handshake_format(char* out, size_t size) {
  char platform[PLATFORM_CAP];
  cfg_platform(platform);
  return std::snprintf(out, size, "{\"Version\":3,\"Platform\":\"%s\"}", platform);
}

namespace {
struct numeric_key {
  const char* key;
  std::atomic<int32_t> settings::*field;
  int32_t initial, low, high;
};
}  // namespace

static const numeric_key NUMERIC_KEYS[] = {
    {"idle_timeout_ms", &settings::idle_timeout_ms, 120000, 1000, 3600000},
    {"read_timeout_ms", &settings::read_timeout_ms, 30000, 1000, 3600000},
    {"max_string", &settings::max_string, 65536, 256, 1048576},
    {"max_read", &settings::max_read, 4194304, 1024, 67108864},
    {"sub_max_bytes", &settings::sub_max_bytes, 8388608, 1024, 67108864},
    {"max_connections", &settings::max_connections, 512, 1, 65536},
};

// Reads a decimal number the way atol does (leading white space, a sign, digits up to the
// first other byte, none read as 0), but saturates instead of overflowing, so that a
// number beyond any range can never wrap into one.
static int64_t read_decimal(const char* v) {
  while (std::isspace(static_cast<unsigned char>(*v))) v++;
  bool negative = false;
  if (*v == '+' || *v == '-') negative = *v++ == '-';
  int64_t n = 0;
  for (; *v >= '0' && *v <= '9'; v++) {
    if (n < INT64_MAX / 10) n = n * 10 + (*v - '0');
  }
  return negative ? -n : n;
}

static void set_platform(const char* value) {
  const char* v = (value && *value) ? value : DEFAULT_PLATFORM;
  plat_guard g(G_CFG.platform_lock);
  std::snprintf(G_CFG.platform, sizeof G_CFG.platform, "%s", v);
}

extern "C" int vorn3s_config(const char* key, const char* value) noexcept {
  return export_guard(VORN3S_ENOMEM, [&] {
    if (!key || !*key) {
      set_error(VORN3S_EBADARG, "key required");
      return VORN3S_EBADARG;
    }
    const bool empty = !value || !*value;
    if (std::strcmp(key, "platform") == 0) {
      set_platform(value);
      return 0;
    }
    if (std::strcmp(key, "action_byteorder") == 0) {
      int order;
      if (!value || std::strcmp(value, "auto") == 0)
        order = 0;
      else if (std::strcmp(value, "big") == 0)
        order = 1;
      else if (std::strcmp(value, "little") == 0)
        order = 2;
      else {
        set_error(VORN3S_EBADARG, "auto|big|little");
        return VORN3S_EBADARG;
      }
      G_CFG.action_byteorder.store(order);
      return 0;
    }
    for (const auto& k : NUMERIC_KEYS) {
      if (std::strcmp(key, k.key) != 0) continue;
      if (empty) {
        (G_CFG.*k.field).store(k.initial);
        return 0;
      }
      const int64_t n = read_decimal(value);
      if (n < k.low || n > k.high) {
        set_error(VORN3S_EBADARG, "out of range");
        return VORN3S_EBADARG;
      }
      (G_CFG.*k.field).store(static_cast<int32_t>(n));
      return 0;
    }
    set_error(VORN3S_EBADARG, "unknown key");
    return VORN3S_EBADARG;
  });
}

extern "C" const char* vorn3s_version() noexcept { return VORN3S_VERSION; }

extern "C" const char* vorn3s_handshake_json() noexcept {
  char text[128];
  const int n = handshake_format(text, sizeof text);
  return result_store(std::string_view(text, n > 0 ? static_cast<size_t>(n) : 0));
}
