// SPDX-License-Identifier: MIT
// What the load tool needs around a server under load: the console program run as a
// child process, raw protocol clients on 127.0.0.1 with a bound on every wait, and the
// CPU time and memory the child has used.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The console program, serving `roots` on 127.0.0.1 with a port of the system's choice.
struct server_process {
  int pid = -1;
  int in_fd = -1, out_fd = -1;
  int port = 0;
  std::string pending;  // standard output read but not yet taken as lines

  // Starts it with the open-file limit `nofile` (0 keeps the tool's own) and the options
  // `extra` after the roots, and waits for its banner. `port` stays 0 when it does not come
  // within 10 s.
  server_process(const std::string& program, const std::vector<std::string>& roots, long nofile = 0,
                 const std::vector<std::string>& extra = {});
  // Stops it: an interrupt, then a kill after 5 s; only this child, by its id.
  ~server_process();
  server_process(const server_process&) = delete;
  server_process& operator=(const server_process&) = delete;

  bool write_line(const std::string& line);
  // The next line of standard output, or false when none came within `timeout_ms`.
  bool read_line(std::string* line, int timeout_ms);
  // Seconds of CPU the child has used so far, all its threads together.
  double cpu_seconds() const;
  // A field of /proc/PID/status in kB or as a count: "VmHWM", "VmRSS", "Threads".
  long status_field(const char* key) const;
};

enum class outcome { reply, closed, silent };

// A connection from a client of the tool; closed with the record.
struct client {
  int fd = -1;
  client() = default;
  ~client();
  client(const client&) = delete;
  client& operator=(const client&) = delete;

  // Connects within `timeout_ms`; false when the connection could not be made in time.
  bool connect_to(int port, int timeout_ms);
  void close_now();
  bool send_code(int32_t code);
  bool send_string(const std::string& text);
  bool send_bytes(const std::string& bytes);  // a request of a few bytes, at once
  // Waits up to `timeout_ms` for exactly `n` bytes into `buf`.
  outcome recv_bytes(char* buf, size_t n, int timeout_ms);
  // Waits up to `timeout_ms` for a string reply, the server's close, or neither.
  outcome recv_string(std::string* text, int timeout_ms);
};

uint64_t now_ms();
void sleep_ms(int ms);
// Raises this process's soft open-file limit to its hard limit.
void raise_own_nofile();
// The value at `q` (0 to 1) of `samples`, or -1 when there is none.
double percentile(std::vector<double> samples, double q);
