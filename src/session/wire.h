// SPDX-License-Identifier: MIT
// The bytes of protocol version 3: big-endian integers, the action codes with their
// names, and the rule that settles the byte order of action codes on a connection.
#pragma once

#include <cstdint>

enum action_code : int32_t {
  ACT_END = 0,
  ACT_SIZE = 1,
  ACT_READ = 2,
  ACT_FILES = 3,
  ACT_OPENFILE = 4,
  ACT_FOLDERS = 5,
  ACT_OPENFOLDER = 6,
  ACT_SEEK = 7,
  ACT_SUBTITLE = 8,
  ACT_SUBFOLDERS = 9,
  ACT_SEEKREAD = 10,
  ACT_HANDSHAKE = 3320,
};

enum class byte_order { open, big, little };

void be32_put(uint8_t* dst, uint32_t value);
void be64_put(uint8_t* dst, uint64_t value);
uint32_t be32_get(const uint8_t* src);
int64_t be64_get(const uint8_t* src);

// The order a connection starts in, from the action_byteorder setting.
byte_order order_from_setting(int32_t setting);
// Decodes one action code in `*order`; while the order is open, the code settles it.
int32_t decode_action(const uint8_t* bytes, byte_order* order);
