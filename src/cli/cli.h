// SPDX-License-Identifier: MIT
// The console program's commands, shared between the dispatch and the serve console.
#pragma once

// Writes the usage text to standard error; returns 2, the status for a wrong command line.
int usage();
// The serve command: options, start, banner, then the operator console. Its exit status.
int cmd_serve(int count, char** args);
// The control command: one console line to a running server's control socket, or each
// line of standard input. 0 when the (last) command succeeded, 1 when it failed or the
// server could not be reached.
int cmd_control(int count, char** args);
