// SPDX-License-Identifier: MIT
// The server child process and the protocol clients of the load tool.
#include "load_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

uint64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

void sleep_ms(int ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void raise_own_nofile() {
  rlimit lim{};
  getrlimit(RLIMIT_NOFILE, &lim);
  lim.rlim_cur = lim.rlim_max;
  setrlimit(RLIMIT_NOFILE, &lim);
}

double percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return -1;
  std::sort(samples.begin(), samples.end());
  const size_t i = static_cast<size_t>(q * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[std::min(i, samples.size() - 1)];
}

server_process::server_process(const std::string& program, const std::vector<std::string>& roots, long nofile,
                               const std::vector<std::string>& extra) {
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> args = {program, "serve", "--bind", "127.0.0.1", "--port", "0"};
  for (const auto& r : roots) {
    args.push_back("--root");
    args.push_back(r);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid = fork();
  if (pid == 0) {
    // Should the tool itself be killed, its server goes with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(in[0], 0);
    dup2(out[1], 1);
    if (nofile > 0) {
      const rlimit lim{static_cast<rlim_t>(nofile), static_cast<rlim_t>(nofile)};
      setrlimit(RLIMIT_NOFILE, &lim);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  in_fd = in[1];
  out_fd = out[0];
  if (pid < 0) return;
  std::string banner;
  if (read_line(&banner, 10000) && banner.rfind("listening 127.0.0.1:", 0) == 0) {
    port = std::atoi(banner.c_str() + std::strlen("listening 127.0.0.1:"));
  }
}

server_process::~server_process() {
  if (pid > 0) {
    kill(pid, SIGINT);
    int status;
    const uint64_t until = now_ms() + 5000;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (now_ms() > until) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      sleep_ms(20);
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (out_fd >= 0) close(out_fd);
}

bool server_process::write_line(const std::string& line) {
  const std::string text = line + "\n";
  return write(in_fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool server_process::read_line(std::string* line, int timeout_ms) {
  const uint64_t until = now_ms() + static_cast<uint64_t>(timeout_ms);
  for (;;) {
    const size_t lf = pending.find('\n');
    if (lf != std::string::npos) {
      *line = pending.substr(0, lf);
      pending.erase(0, lf + 1);
      return true;
    }
    const uint64_t now = now_ms();
    if (now >= until) return false;
    pollfd p{out_fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(until - now)) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(out_fd, buf, sizeof buf);
    if (n <= 0) return false;
    pending.append(buf, static_cast<size_t>(n));
  }
}

double server_process::cpu_seconds() const {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  // The fields after the command name, which is in parentheses and may hold blanks.
  std::istringstream rest(text.substr(text.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; i++) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long server_process::status_field(const char* key) const {
  std::ifstream f("/proc/" + std::to_string(pid) + "/status");
  std::string name;
  long value;
  while (f >> name) {
    if (name == std::string(key) + ":" && f >> value) return value;
    std::getline(f, name);
  }
  return -1;
}

client::~client() { close_now(); }

void client::close_now() {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool client::connect_to(int port, int timeout_ms) {
  close_now();
  fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    if (errno != EINPROGRESS || poll(&p, 1, timeout_ms) != 1 ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
      close_now();
      return false;
    }
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

// Small requests only: they always fit the socket's buffer at once.
static bool send_small(int fd, const std::string& bytes) {
  return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

static std::string be32(uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  return std::string(b, 4);
}

bool client::send_code(int32_t code) { return fd >= 0 && send_small(fd, be32(static_cast<uint32_t>(code))); }

bool client::send_bytes(const std::string& bytes) { return fd >= 0 && send_small(fd, bytes); }

bool client::send_string(const std::string& text) {
  return fd >= 0 && send_small(fd, be32(static_cast<uint32_t>(text.size())) + text);
}

// Reads exactly `n` bytes by `until`.
static outcome recv_exact(int fd, char* buf, size_t n, uint64_t until) {
  size_t done = 0;
  while (done < n) {
    const uint64_t now = now_ms();
    if (now >= until) return outcome::silent;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(until - now)) <= 0) continue;
    const ssize_t r = recv(fd, buf + done, n - done, 0);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) return outcome::closed;
    if (r > 0) done += static_cast<size_t>(r);
  }
  return outcome::reply;
}

outcome client::recv_string(std::string* text, int timeout_ms) {
  if (fd < 0) return outcome::closed;
  const uint64_t until = now_ms() + static_cast<uint64_t>(timeout_ms);
  unsigned char len[4];
  const outcome head = recv_exact(fd, reinterpret_cast<char*>(len), 4, until);
  if (head != outcome::reply) return head;
  const size_t n = static_cast<size_t>(len[0]) << 24 | len[1] << 16 | len[2] << 8 | len[3];
  text->assign(n, '\0');
  return recv_exact(fd, text->data(), n, until);
}

outcome client::recv_bytes(char* buf, size_t n, int timeout_ms) {
  if (fd < 0) return outcome::closed;
  return recv_exact(fd, buf, n, now_ms() + static_cast<uint64_t>(timeout_ms));
}
