// SPDX-License-Identifier: MIT
// The console program run as a child process with its three standard streams on pipes.
// Every wait is bounded; a child still running at the end is killed by its own id. The
// line ends that the C runtime of Windows writes ("\r\n") come back as "\n".
#pragma once

#include <csignal>
#include <optional>
#include <string>
#include <vector>

// The signal that stands for a console break: SIGBREAK on Windows, SIGTERM elsewhere.
#if defined(_WIN32)
inline constexpr int BREAK_SIGNAL = SIGBREAK;
#else
inline constexpr int BREAK_SIGNAL = SIGTERM;
#endif

// `text` with each "\r\n" as "\n": the line ends of the C runtime of Windows, as the
// tests compare lines.
inline std::string lf_line_ends(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

struct run_result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out, err;
};

// Makes the command that runs the console program `command` followed by the arguments,
// instead of the program this build made: the Windows program under Wine, for instance,
// is the Wine runner and then the program, and writes Windows line ends.
void set_cli_command(const std::vector<std::string>& command, bool windows_line_ends = false);

// Runs the console program with `args`, feeding `input` then closing its standard input.
run_result run_cli(const std::vector<std::string>& args, const std::string& input = "",
                   int timeout_ms = 20000);

// A running console program driven line by line.
struct cli_process {
#if defined(_WIN32)
  void* process = nullptr;  // the child's handle, and the three pipes' ends of the test
  void *in_pipe = nullptr, *out_pipe = nullptr, *err_pipe = nullptr;
#else
  int pid = -1;
  int in_fd = -1, out_fd = -1, err_fd = -1;
#endif
  std::string out_buf, err_buf;

  // `null_input`: standard input is the system's null device instead of a pipe.
  explicit cli_process(const std::vector<std::string>& args, bool null_input = false);
  ~cli_process();
  cli_process(const cli_process&) = delete;
  cli_process& operator=(const cli_process&) = delete;

  bool write(const std::string& text);
  void close_stdin();
  // The next line of standard output without its line feed, or none within the time.
  std::optional<std::string> read_line(int timeout_ms = 10000);
  // Delivers `sig`. On Windows SIGINT is Ctrl-C and SIGBREAK Ctrl-Break, delivered as the
  // console does: a thread of the system's control routine started in the child.
  void signal(int sig);
  // The exit status once the child has ended, or none within the time.
  std::optional<int> wait_exit(int timeout_ms = 10000);
  // Everything still to come on standard error, read until it closes or the time is up.
  std::string drain_err(int timeout_ms = 2000);
};
