// SPDX-License-Identifier: MIT
// The serve command as the console tests drive it: started on 127.0.0.1 with a free
// port, its banner read, and console lines asked one by one.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/fixture.h"
#include "support/subprocess.h"

inline const std::string HANDSHAKE = R"({"Version":3,"Platform":"quorvane-c"})";

using args = std::vector<std::string>;

// Reads the banner "listening IP:PORT roots=N handshake=..." and returns the port, or 0
// when the banner is not of that form.
int read_banner(cli_process& p, const std::string& ip, int roots, const std::string& handshake = HANDSHAKE);

// Sends one command and returns the line that answers it.
std::optional<std::string> ask(cli_process& p, const std::string& line);

// Sends one command, then status, and returns every line before status's answer: the
// whole output of a command that prints any number of lines.
std::vector<std::string> ask_lines(cli_process& p, const std::string& line);

// Fills the folder `rel` of `tree` with 500 empty films of long names: its listing is
// longer than the default max_string of 64 KiB.
void write_films(const temp_tree& tree, const std::string& rel);

// A console started on 127.0.0.1 with a free port and the given roots.
struct console {
  cli_process proc;
  int port = 0;
  explicit console(const std::vector<std::string>& roots, const args& extra = {});
  static args make_args(const std::vector<std::string>& roots, const args& extra);
  std::string status(int running, int conns) const;
};
