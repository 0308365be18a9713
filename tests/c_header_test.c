/* SPDX-License-Identifier: MIT */
/* A C host: the public header compiles as C, and the shared library answers through it. */
#include <stdio.h>
#include <string.h>

#include "vorn3s.h"

/* Hosts test the version in the preprocessor, so the parts must be plain numbers. */
#if !defined(VORN3S_VERSION_MAJOR) || VORN3S_VERSION_MAJOR < 1 || VORN3S_VERSION_MINOR < 0 || \
    VORN3S_VERSION_PATCH < 0
#error "the version macros are not numbers"
#endif

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "failed: %s\n", what);
    failures++;
  }
}

int main(void) {
  uint8_t frame[12];
  char out[64];
  check(strcmp(vorn3s_version(), "1.0.0") == 0, "version");
  check(strcmp(vorn3s_version(), VORN3S_VERSION) == 0, "library and header of one build agree");
  check(strcmp(vorn3s_handshake_json(), "{\"Version\":3,\"Platform\":\"quorvane-c\"}") == 0, "handshake");
  check(vorn3s_config("max_read", "1024") == 0, "config accepted");
  check(vorn3s_config("max_read", "1023") == VORN3S_EBADARG && vorn3s_last_code() == VORN3S_EBADARG &&
            strcmp(vorn3s_last_error(), "out of range") == 0,
        "config refused");
  check(vorn3s_frame_seekread(1024, 4096, frame, sizeof frame) == 12 && frame[2] == 0x04 && frame[10] == 0x10,
        "seekread frame");
  check(strcmp(vorn3s_frame_action_name(3320), "HandShake") == 0, "action name");
  check(vorn3s_resolve(NULL, NULL, out, sizeof out) == VORN3S_EBADARG &&
            strcmp(vorn3s_last_error(), "root") == 0,
        "resolve");
  check(vorn3s_root_count() == 0 && vorn3s_is_running() == 0, "idle server");
  return failures == 0 ? 0 : 1;
}
