// SPDX-License-Identifier: MIT
// What the server holds for replies that nobody reads: CLIENTS clients each open one
// file and ask for a single SeekRead of COUNT bytes (max_read raised to it), then read
// nothing. The server runs in this process and its resident memory is sampled while the
// clients hold on; the run fails when the peak passes the limit. The clients live in a
// child process, so that their own memory is not counted.
//
// usage: vorn3s_memory_bench [CLIENTS=100] [COUNT_MIB=64] [LIMIT_MB=150] [HOLD_S=5]
// Loopback only; every wait is bounded and both processes end by themselves.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "server/vorn3s.h"

namespace fs = std::filesystem;

namespace {

struct options {
  int clients = 100;
  long count_mib = 64;
  long limit_mb = 150;
  int hold_s = 5;
};

void put_be32(std::string* s, uint32_t v) {
  for (int i = 3; i >= 0; i--) s->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool send_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  return true;
}

// Waits up to `ms` for one byte on `fd`; true when it came.
bool wait_byte(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return poll(&p, 1, ms) == 1 && read(fd, &c, 1) == 1;
}

// The child: connects every client, asks, then holds until told to go (or time runs out).
int run_clients(const options& o, int port, const std::string& fullname, int ready_fd, int go_fd) {
  std::string request;
  put_be32(&request, 4);  // OpenFile
  const std::string arg = "{\"FullName\":\"" + fullname + "\"}";
  put_be32(&request, static_cast<uint32_t>(arg.size()));
  request += arg;
  put_be32(&request, 10);  // SeekRead of the whole count at offset 0
  put_be32(&request, static_cast<uint32_t>(o.count_mib << 20));
  request.append(8, '\0');

  std::vector<int> fds;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  for (int i = 0; i < o.clients; i++) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || !send_all(fd, request)) {
      std::fprintf(stderr, "client %d could not connect and ask\n", i);
      return 1;
    }
    fds.push_back(fd);
  }
  (void)!write(ready_fd, "r", 1);
  wait_byte(go_fd, (o.hold_s + 30) * 1000);
  for (int fd : fds) close(fd);
  return 0;
}

// This process's resident memory in kB, from the kernel's status file; -1 if unknown.
long rss_kb(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  const size_t klen = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, klen) == 0) kb = std::atol(line + klen);
  std::fclose(f);
  return kb;
}

bool write_file(const std::string& path, long bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  std::vector<char> block(1 << 20);
  for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>(i % 251);
  bool ok = true;
  for (long done = 0; done < bytes && ok; done += static_cast<long>(block.size()))
    ok = std::fwrite(block.data(), 1, block.size(), f) == block.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  if (argc > 1) o.clients = std::atoi(argv[1]);
  if (argc > 2) o.count_mib = std::atol(argv[2]);
  if (argc > 3) o.limit_mb = std::atol(argv[3]);
  if (argc > 4) o.hold_s = std::atoi(argv[4]);
  if (o.clients < 1 || o.clients > 1000 || o.count_mib < 1 || o.count_mib > 64 || o.hold_s < 1 || o.hold_s > 60) {
    std::fprintf(stderr, "usage: vorn3s_memory_bench [CLIENTS 1-1000] [COUNT_MIB 1-64] [LIMIT_MB] [HOLD_S 1-60]\n");
    return 2;
  }
  alarm(static_cast<unsigned>(o.hold_s + 120));  // a watchdog for the whole run

  std::string dir = (fs::temp_directory_path() / "vorn3s-memory-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  dir = fs::canonical(dir).string();
  const std::string media = dir + "/Media";
  fs::create_directories(media);
  if (!write_file(media + "/film.mkv", o.count_mib << 20)) return 1;

  // The child is made before the server starts any thread.
  int ready[2], go[2], port_pipe[2];
  if (pipe(ready) != 0 || pipe(go) != 0 || pipe(port_pipe) != 0) return 1;
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    alarm(static_cast<unsigned>(o.hold_s + 60));
    int port = 0;
    pollfd p{port_pipe[0], POLLIN, 0};
    if (poll(&p, 1, 30000) != 1 || read(port_pipe[0], &port, sizeof port) != sizeof port) _exit(1);
    _exit(run_clients(o, port, "Media/film.mkv", ready[1], go[0]));
  }

  const std::string count = std::to_string(o.count_mib << 20);
  const std::string timeout = std::to_string((o.hold_s + 20) * 1000);
  const char* roots[] = {media.c_str()};
  int rc = 1;
  if (vorn3s_config("max_read", count.c_str()) == 0 && vorn3s_config("read_timeout_ms", timeout.c_str()) == 0 &&
      vorn3s_start("127.0.0.1", 0, roots, 1) == 0) {
    const int port = vorn3s_port();
    (void)!write(port_pipe[1], &port, sizeof port);
    const long base_kb = rss_kb("VmRSS:");
    if (wait_byte(ready[0], 30000)) {
      // Every session has its request; let them run into their full socket buffers.
      for (int i = 0; i < 100 && vorn3s_connection_count() < o.clients; i++) usleep(50000);
      long peak_kb = 0;
      for (int i = 0; i < o.hold_s * 20; i++) {
        const long kb = rss_kb("VmRSS:");
        if (kb > peak_kb) peak_kb = kb;
        usleep(50000);
      }
      const int conns = vorn3s_connection_count();
      const double peak_mb = static_cast<double>(peak_kb) / 1024.0;
      const bool ok = conns == o.clients && peak_mb < static_cast<double>(o.limit_mb);
      std::printf("clients=%d count_mib=%ld connections=%d rss_before_mb=%.1f peak_rss_mb=%.1f per_client_kb=%.0f "
                  "limit_mb=%ld %s\n",
                  o.clients, o.count_mib, conns, static_cast<double>(base_kb) / 1024.0, peak_mb,
                  static_cast<double>(peak_kb - base_kb) / o.clients, o.limit_mb, ok ? "ok" : "FAIL");
      rc = ok ? 0 : 1;
    } else {
      std::fprintf(stderr, "the clients did not get ready\n");
    }
  } else {
    std::fprintf(stderr, "server: %s\n", vorn3s_last_error());
  }
  (void)!write(go[1], "g", 1);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(child, &status, WNOHANG) == 0; i++) usleep(100000);
  if (waitpid(child, &status, WNOHANG) == 0) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  vorn3s_stop();
  // The sessions end as their clients' connections go; give them a moment before the
  // folder goes.
  for (int i = 0; i < 100 && vorn3s_connection_count() > 0; i++) usleep(50000);
  fs::remove_all(dir);
  return rc;
}
