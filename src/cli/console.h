// SPDX-License-Identifier: MIT
// The operator console's commands, one function for every way a line reaches them: the
// console on standard input and each client of the control socket.
#pragma once

#include <string>

#include "server/control.h"

// Runs one console line, as read (its line feed and trailing blanks are cut here), and
// appends the lines the console prints for it to `out`. Whatever thread calls it, one
// command runs at a time: the commands share the last-error record and the result
// buffer, which have no lock of their own.
command_outcome console_run(char* line, std::string* out);
