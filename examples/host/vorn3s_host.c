/* SPDX-License-Identifier: MIT */
/* A minimal host program: it loads the library, adds its roots, serves on one address
 * until SIGINT or SIGTERM, then stops.
 *
 *   vorn3s-host BIND_IP PORT ROOT...
 *
 * Port 0 lets the system choose; the line "listening on IP:PORT" tells which. */
#define _POSIX_C_SOURCE 200809L

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <vorn3s.h>

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: vorn3s-host BIND_IP PORT ROOT...\n");
    return 2;
  }
  printf("library %s, built against %s\n", vorn3s_version(), VORN3S_VERSION);

  /* Block the signals before the library starts its threads, which inherit the mask;
   * the main thread then takes them with sigwait alone. */
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, NULL);

  for (int i = 3; i < argc; i++) {
    if (vorn3s_add_root(argv[i]) < 0) {
      fprintf(stderr, "root %s: %s\n", argv[i], vorn3s_last_error());
      return 1;
    }
  }
  if (vorn3s_start(argv[1], atoi(argv[2]), NULL, 0) != 0) {
    fprintf(stderr, "start: %s\n", vorn3s_last_error());
    return 1;
  }
  printf("%s, %d roots\n", vorn3s_last_error(), vorn3s_root_count());
  fflush(stdout);

  int sig = 0;
  sigwait(&stop_signals, &sig);
  vorn3s_stop();
  printf("stopped; %d connections still open\n", vorn3s_connection_count());
  return 0;
}
