// SPDX-License-Identifier: MIT
#include "support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

static long long now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static int decode_status(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

static std::vector<std::string> s_command;
static bool s_crlf = false;  // the program ends its lines with "\r\n"

void set_cli_command(const std::vector<std::string>& command, bool windows_line_ends) {
  s_command = command;
  s_crlf = windows_line_ends;
}

// The output as the tests compare it: a Windows program's line ends as "\n".
static std::string as_compared(const std::string& s) { return s_crlf ? lf_line_ends(s) : s; }

cli_process::cli_process(const std::vector<std::string>& args, bool null_input) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return;
  if (null_input) {
    close(in[0]);
    in[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  std::vector<std::string> copies = s_command;
  if (copies.empty()) copies.push_back(VORN3S_CLI_PATH);
  copies.insert(copies.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string prog = copies[0];
  pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execv(prog.c_str(), argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (null_input) {
    close(in[1]);
    in[1] = -1;
  }
  in_fd = in[1];
  out_fd = out[0];
  err_fd = err[0];
  ::signal(SIGPIPE, SIG_IGN);  // a child that has ended must not end the test
}

cli_process::~cli_process() {
  if (pid > 0) {
    int st;
    if (waitpid(pid, &st, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &st, 0);
    }
  }
  for (int fd : {in_fd, out_fd, err_fd}) {
    if (fd >= 0) close(fd);
  }
}

bool cli_process::write(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t r = ::write(in_fd, text.data() + done, text.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

void cli_process::close_stdin() {
  if (in_fd >= 0) close(in_fd);
  in_fd = -1;
}

// Reads what is there on `fd` into `buf`; false at the end or after the deadline.
static bool read_some(int fd, std::string* buf, long long deadline) {
  const long long left = deadline - now_ms();
  if (left <= 0 || fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  const int r = poll(&p, 1, static_cast<int>(left));
  if (r < 0 && errno == EINTR) return true;
  if (r <= 0) return false;
  char chunk[4096];
  const ssize_t n = read(fd, chunk, sizeof chunk);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  buf->append(chunk, static_cast<size_t>(n));
  return true;
}

std::optional<std::string> cli_process::read_line(int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  for (;;) {
    const size_t lf = out_buf.find('\n');
    if (lf != std::string::npos) {
      std::string line = out_buf.substr(0, lf);
      out_buf.erase(0, lf + 1);
      if (s_crlf && !line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (!read_some(out_fd, &out_buf, deadline)) return std::nullopt;
  }
}

void cli_process::signal(int sig) {
  if (pid > 0) kill(pid, sig);
}

std::optional<int> cli_process::wait_exit(int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  for (;;) {
    int st;
    const int r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
      pid = -1;
      return decode_status(st);
    }
    if (now_ms() >= deadline) return std::nullopt;
    usleep(10000);
  }
}

std::string cli_process::drain_err(int timeout_ms) {
  const long long deadline = now_ms() + timeout_ms;
  while (read_some(err_fd, &err_buf, deadline)) {
  }
  return as_compared(err_buf);
}

run_result run_cli(const std::vector<std::string>& args, const std::string& input, int timeout_ms) {
  cli_process p(args);
  p.write(input);
  p.close_stdin();
  run_result r;
  const long long deadline = now_ms() + timeout_ms;
  // Read both streams to their end so that a chatty child never blocks on a full pipe.
  bool out_open = true, err_open = true;
  while ((out_open || err_open) && now_ms() < deadline) {
    pollfd fds[2] = {{p.out_fd, POLLIN, 0}, {p.err_fd, POLLIN, 0}};
    if (!out_open) fds[0].fd = -1;
    if (!err_open) fds[1].fd = -1;
    const int n = poll(fds, 2, static_cast<int>(deadline - now_ms()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char chunk[4096];
    for (int i = 0; i < 2; i++) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
      if (got <= 0) {
        (i == 0 ? out_open : err_open) = false;
      } else {
        (i == 0 ? r.out : r.err).append(chunk, static_cast<size_t>(got));
      }
    }
  }
  const auto status = p.wait_exit(static_cast<int>(deadline > now_ms() ? deadline - now_ms() : 0) + 100);
  r.status = status ? *status : -1;
  r.out = as_compared(r.out);
  r.err = as_compared(r.err);
  return r;
}
