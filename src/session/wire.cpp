// SPDX-License-Identifier: MIT
// Integer codec, action names and the first-code byte-order rule; the exported frame
// builders live here too, since they are this layout seen from a host.
#include "session/wire.h"

#include <cstring>

#include "server/results.h"
#include "server/settings.h"
#include "server/vorn3s.h"

void be32_put(uint8_t* dst, uint32_t value) {
  for (int i = 3; i >= 0; i--, value >>= 8) dst[i] = static_cast<uint8_t>(value);
}

void be64_put(uint8_t* dst, uint64_t value) {
  for (int i = 7; i >= 0; i--, value >>= 8) dst[i] = static_cast<uint8_t>(value);
}

uint32_t be32_get(const uint8_t* src) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = (v << 8) | src[i];
  return v;
}

int64_t be64_get(const uint8_t* src) {
  uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | src[i];
  return static_cast<int64_t>(v);
}

static uint32_t le32_get(const uint8_t* src) {
  return static_cast<uint32_t>(src[0]) | static_cast<uint32_t>(src[1]) << 8 |
         static_cast<uint32_t>(src[2]) << 16 | static_cast<uint32_t>(src[3]) << 24;
}

byte_order order_from_setting(int32_t setting) {
  if (setting == 1) return byte_order::big;
  if (setting == 2) return byte_order::little;
  return byte_order::open;
}

// The codes that may open a connection and so reveal its byte order.
static bool is_marker(int32_t code) {
  switch (code) {
    case ACT_END:
    case ACT_SEEK:
    case ACT_SUBTITLE:
    case ACT_SUBFOLDERS:
    case ACT_SEEKREAD:
    case ACT_HANDSHAKE: return true;
    default: return false;
  }
}

int32_t decode_action(const uint8_t* bytes, byte_order* order) {
  const auto big = static_cast<int32_t>(be32_get(bytes));
  const auto little = static_cast<int32_t>(le32_get(bytes));
  if (*order == byte_order::big) return big;
  if (*order == byte_order::little) return little;
  if (!is_marker(big) && is_marker(little)) {
    *order = byte_order::little;
    return little;
  }
  *order = byte_order::big;
  return big;
}

namespace {
struct action_name {
  int32_t code;
  const char* name;
};
}  // namespace

static constexpr action_name ACTION_NAMES[] = {
    {ACT_END, "End"},
    {ACT_SIZE, "Size"},
    {ACT_READ, "Read"},
    {ACT_FILES, "Files"},
    {ACT_OPENFILE, "OpenFile"},
    {ACT_FOLDERS, "Folders"},
    {ACT_OPENFOLDER, "OpenFolder"},
    {ACT_SEEK, "Seek"},
    {ACT_SUBTITLE, "Subtitle"},
    {ACT_SUBFOLDERS, "SubFolders"},
    {ACT_SEEKREAD, "SeekRead"},
    {ACT_HANDSHAKE, "HandShake"},
};

extern "C" const char* vorn3s_frame_action_name(int32_t code) noexcept {
  for (const auto& a : ACTION_NAMES) {
    if (a.code == code) return a.name;
  }
  return "Unknown";
}

extern "C" int32_t vorn3s_frame_read_bytes(const uint8_t* src, int32_t src_len, uint32_t count, uint8_t* out,
                                           int32_t outlen) noexcept {
  if (!out || outlen < 0 || static_cast<uint32_t>(outlen) < count) {
    set_error(VORN3S_EBADARG, "outlen");
    return VORN3S_EBADARG;
  }
  if (count > static_cast<uint32_t>(G_CFG.max_read.load())) {
    set_error(VORN3S_ELIMIT, "count");
    return VORN3S_ELIMIT;
  }
  uint32_t have = (src && src_len > 0) ? static_cast<uint32_t>(src_len) : 0;
  if (have > count) have = count;
  if (have) std::memcpy(out, src, have);
  if (count > have) std::memset(out + have, 0, count - have);
  return static_cast<int32_t>(count);
}

extern "C" int32_t vorn3s_frame_seekread(uint32_t count, int64_t offset, uint8_t* out,
                                         int32_t outlen) noexcept {
  if (!out || outlen < 12) {
    set_error(VORN3S_EBADARG, "outlen");
    return VORN3S_EBADARG;
  }
  be32_put(out, count);
  be64_put(out + 4, static_cast<uint64_t>(offset));
  return 12;
}
