// SPDX-License-Identifier: MIT
// The console program's entry: the command-word dispatch and the one-shot commands, each
// a thin printer over the exported interface.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "plat/plat.h"
#include "server/vorn3s.h"

int usage() {
  std::fprintf(stderr,
               "usage:\n"
               "  quorvane-tessaline-vorn-v3-tcp-media-server serve --bind IP [--port N] [--platform P]\n"
               "        [--order auto|big|little] --root PATH [--root PATH...]\n"
               "        stdin: add PATH | remove PATH | roots | status | quit\n"
               "  ... resolve ROOT PATH | listing ROOT [ID] [--files] | subtitles ROOT FILEJSON\n"
               "  ... handshake | frame ACTION | version | selftest\n");
  return 2;
}

static void print_hex(const uint8_t* bytes, int n) {
  for (int i = 0; i < n; i++) std::printf("%02x", bytes[i]);
  std::printf("\n");
}

// `frame handshake` prints the four bytes of a big-endian HandShake code, the bytes a
// client sends to open a connection; `frame seekread` the argument bytes of a SeekRead.
static int cmd_frame(const char* arg) {
  if (std::strcmp(arg, "handshake") == 0) {
    static constexpr uint8_t HANDSHAKE_CODE[4] = {0x00, 0x00, 0x0C, 0xF8};
    print_hex(HANDSHAKE_CODE, 4);
  } else if (std::strcmp(arg, "seekread") == 0) {
    uint8_t args[12];
    vorn3s_frame_seekread(1024, 4096, args, sizeof args);
    print_hex(args, sizeof args);
  } else {
    std::printf("%s\n", vorn3s_frame_action_name(std::atoi(arg)));
  }
  return 0;
}

static int cmd_resolve(const char* root, const char* rel) {
  char out[2048];
  const int code = vorn3s_resolve(root, rel, out, sizeof out);
  std::printf("%d %s %s\n", code, vorn3s_last_error(), out);
  if (code == VORN3S_OK) return 0;
  return code == VORN3S_EESCAPE ? 3 : 4;
}

static int cmd_listing(int count, char** args) {
  const char* id = "";
  int files = 0;
  if (count >= 2) {
    files = std::strcmp(args[count - 1], "--files") == 0 ? 1 : 0;
    if (std::strcmp(args[1], "--files") != 0) id = args[1];
  }
  std::printf("%s\n", vorn3s_listing_json(args[0], id, files));
  return vorn3s_last_code() != 0 ? 1 : 0;
}

int main(int argc, char** argv) {
  plat_main_args(&argc, &argv);
  if (argc < 2) return usage();
  const char* word = argv[1];
  const int count = argc - 2;
  char** args = argv + 2;
  const auto is = [word](const char* w) { return std::strcmp(word, w) == 0; };
  if (is("serve")) return cmd_serve(count, args);
  if (is("control")) return cmd_control(count, args);
  if (is("version")) {
    std::printf("%s\n", vorn3s_version());
    return 0;
  }
  if (is("handshake")) {
    std::printf("%s\n", vorn3s_handshake_json());
    return 0;
  }
  if (is("selftest")) {
    std::printf("version=%s handshake=%s seekread=%s\n", vorn3s_version(), vorn3s_handshake_json(),
                vorn3s_frame_action_name(10));
    return 0;
  }
  if (is("frame") && count == 1) return cmd_frame(args[0]);
  if (is("resolve") && count == 2) return cmd_resolve(args[0], args[1]);
  if (is("listing") && count >= 1) return cmd_listing(count, args);
  if (is("subtitles") && count == 2) {
    std::printf("%s\n", vorn3s_subtitles_json(args[0], args[1]));
    return vorn3s_last_code() != 0 ? 1 : 0;
  }
  return usage();
}
