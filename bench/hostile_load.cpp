// SPDX-License-Identifier: MIT
// Presses on a running server the way a hostile host, or many players at once, would,
// and prints four figures: the CPU the server spends while it has no descriptors left,
// how many connections one host gets served, how long other clients and the console wait
// while others walk a huge root, and what subtitle requests that cannot be answered cost.
//
//   vorn3s_hostile_load PROGRAM [exhaust|limit|lock|subtitle...]
//
// Everything runs on 127.0.0.1 against children of this process, each stopped by its own
// id; every scenario is bounded in clients and in time, and its files are removed.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "load_client.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t HANDSHAKE = 3320, FILES = 3, OPENFOLDER = 6, SUBTITLE = 8;

// A fresh folder for one scenario, removed with everything in it at the end.
struct scratch {
  std::string path;
  scratch() {
    std::string tmpl = (fs::temp_directory_path() / "vorn3s-load-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    path = fs::canonical(tmpl).string();
  }
  ~scratch() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string make(const std::string& rel, size_t size = 0) const {
    const fs::path p = fs::path(path) / rel;
    fs::create_directories(p.parent_path());
    std::ofstream f(p, std::ios::binary);
    std::mt19937 gen(7);
    std::string block(1 << 16, '\0');
    for (size_t done = 0; done < size; done += block.size()) {
      for (auto& c : block) c = static_cast<char>(gen());
      f.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), size - done)));
    }
    return p.string();
  }
};

bool handshake(client& c, int timeout_ms) {
  std::string reply;
  return c.send_code(HANDSHAKE) && c.recv_string(&reply, timeout_ms) == outcome::reply;
}

// The server's CPU, in percent of one core, over `ms` milliseconds from now.
double cpu_percent_over(const server_process& srv, int ms) {
  const double before = srv.cpu_seconds();
  const uint64_t start = now_ms();
  sleep_ms(ms);
  return 100.0 * (srv.cpu_seconds() - before) / (static_cast<double>(now_ms() - start) / 1000.0);
}

// 1. The open-file limit at 64 and 100 clients: the first ones hold sessions, the others
// keep knocking for 5 s. The figure is the server's CPU meanwhile, nearly all of it its
// listener's, since the sessions only wait.
void exhaust(const std::string& program) {
  scratch dir;
  dir.make("Movies/a.mkv", 1000);
  server_process srv(program, {dir.path + "/Movies"}, 64);
  if (!srv.port) return (void)std::printf("exhaust: the server did not start\n");
  std::vector<client> held(100);
  int sessions = 0;
  for (auto& c : held) sessions += c.connect_to(srv.port, 200) && handshake(c, 200) ? 1 : 0;
  std::atomic<bool> stop{false};
  std::atomic<int> closed{0}, silent{0};
  std::vector<std::thread> knockers;
  for (int k = 0; k < 8; k++) {
    knockers.emplace_back([&] {
      client c;
      while (!stop.load()) {
        // A connection the full backlog does not take is left without answer as well.
        if (!c.connect_to(srv.port, 500)) {
          silent++;
          continue;
        }
        std::string reply;
        const outcome o = c.send_code(HANDSHAKE) ? c.recv_string(&reply, 1000) : outcome::closed;
        (o == outcome::silent ? silent : closed)++;
        if (o == outcome::reply) sleep_ms(1000);  // a place was free after all
      }
    });
  }
  sleep_ms(500);
  const double cpu = cpu_percent_over(srv, 5000);
  stop.store(true);
  for (auto& t : knockers) t.join();
  for (auto& c : held) c.close_now();
  sleep_ms(300);
  client late;
  const bool served = late.connect_to(srv.port, 1000) && handshake(late, 2000);
  std::printf("1. descriptors exhausted (open-file limit 64, %d sessions held, 8 clients knocking, 5 s):\n"
              "   server CPU %.1f %% of a core; knocks answered by a close %d, left without answer %d;\n"
              "   a new client served once descriptors are free: %s\n",
              sessions, cpu, closed.load(), silent.load(), served ? "yes" : "no");
}

// 2. One host opens 1000 connections and keeps them.
void limit(const std::string& program) {
  scratch dir;
  dir.make("Movies/a.mkv", 1000);
  server_process srv(program, {dir.path + "/Movies"}, 4096);
  if (!srv.port) return (void)std::printf("limit: the server did not start\n");
  std::vector<client> clients(1000);
  int served = 0, closed = 0, silent = 0;
  for (auto& c : clients) {
    std::string reply;
    if (!c.connect_to(srv.port, 1000) || !c.send_code(HANDSHAKE)) {
      closed++;
      continue;
    }
    const outcome o = c.recv_string(&reply, 2000);
    served += o == outcome::reply;
    closed += o == outcome::closed;
    silent += o == outcome::silent;
  }
  std::printf("2. connection limit (1000 connections from one host, kept open):\n"
              "   served %d, closed at once %d, left without answer %d; server threads %ld, resident %.1f MB\n",
              served, closed, silent, srv.status_field("Threads"),
              static_cast<double>(srv.status_field("VmRSS")) / 1024.0);
}

// 3. Eight clients loop Files over a root of 100,000 files while one client opens a small
// folder and the console lists the roots, each 40 times or for 60 s at most.
void lock(const std::string& program) {
  scratch dir;
  std::printf("3. roots lock: making 100000 files...\n");
  std::fflush(stdout);
  fs::create_directories(dir.path + "/Huge");
  for (int i = 0; i < 100000; i++) std::ofstream(dir.path + "/Huge/episode " + std::to_string(i) + ".mkv");
  dir.make("Small/a.mkv", 10);
  dir.make("Small/b.mkv", 10);
  server_process srv(program, {dir.path + "/Huge", dir.path + "/Small"});
  if (!srv.port) return (void)std::printf("lock: the server did not start\n");
  std::atomic<bool> stop{false};
  std::atomic<int> walks{0};
  std::vector<std::thread> walkers;
  for (int k = 0; k < 8; k++) {
    walkers.emplace_back([&] {
      client c;
      while (!stop.load()) {
        std::string reply;
        if (c.fd < 0 && !c.connect_to(srv.port, 1000)) continue;
        // The reply is far over max_string, so each Files ends its session.
        if (c.send_code(FILES) && c.recv_string(&reply, 30000) != outcome::reply) c.close_now();
        walks++;
      }
    });
  }
  sleep_ms(1000);
  const uint64_t deadline = now_ms() + 60000;
  std::vector<double> open_ms, roots_ms;
  std::thread opener([&] {
    client c;
    for (int i = 0; i < 40 && now_ms() < deadline; i++) {
      if (c.fd < 0 && !c.connect_to(srv.port, 1000)) continue;
      std::string reply;
      const uint64_t t0 = now_ms();
      if (c.send_code(OPENFOLDER) && c.send_string("Small") && c.recv_string(&reply, 30000) == outcome::reply)
        open_ms.push_back(static_cast<double>(now_ms() - t0));
      else
        c.close_now();
      sleep_ms(50);
    }
  });
  for (int i = 0; i < 40 && now_ms() < deadline; i++) {
    std::string line;
    const uint64_t t0 = now_ms();
    if (srv.write_line("roots") && srv.read_line(&line, 30000) && srv.read_line(&line, 30000))
      roots_ms.push_back(static_cast<double>(now_ms() - t0));
    sleep_ms(50);
  }
  opener.join();
  stop.store(true);
  for (auto& t : walkers) t.join();
  const auto show = [](const char* what, const std::vector<double>& ms) {
    std::printf("   %s: p50 %.0f ms, p90 %.0f ms, p99 %.0f ms, max %.0f ms (%zu samples)\n", what,
                percentile(ms, 0.5), percentile(ms, 0.9), percentile(ms, 0.99), percentile(ms, 1.0), ms.size());
  };
  std::printf("   8 clients looping Files on a root of 100000 files (%d walks in all):\n", walks.load());
  show("another client's OpenFolder", open_ms);
  show("the console's roots", roots_ms);
}

// 4. A subtitle of 8 MiB beside a video, and 50 clients asking for it for 10 s: every
// reply is far over max_string, so every request ends its session unanswered.
void subtitle(const std::string& program) {
  scratch dir;
  dir.make("Films/film.mkv", 1000);
  dir.make("Films/film.srt", 8 << 20);
  server_process srv(program, {dir.path + "/Films"});
  if (!srv.port) return (void)std::printf("subtitle: the server did not start\n");
  std::atomic<bool> stop{false};
  std::atomic<int> asked{0};
  std::vector<std::thread> clients;
  for (int k = 0; k < 50; k++) {
    clients.emplace_back([&] {
      while (!stop.load()) {
        client c;
        std::string reply;
        if (!c.connect_to(srv.port, 1000)) continue;
        if (c.send_code(SUBTITLE) && c.send_string(R"({"FullName":"Films/film.mkv"})")) {
          c.recv_string(&reply, 30000);
          asked++;
        }
      }
    });
  }
  const int asked_before = asked.load();
  const double cpu_before = srv.cpu_seconds();
  const double cpu = cpu_percent_over(srv, 10000);
  const int requests = asked.load() - asked_before;
  const double cpu_ms = 1000.0 * (srv.cpu_seconds() - cpu_before) / (requests > 0 ? requests : 1);
  stop.store(true);
  for (auto& t : clients) t.join();
  std::printf("4. subtitles (an 8 MiB subtitle, 50 clients asking for 10 s): %d requests,\n"
              "   server peak resident %.1f MB, CPU %.1f %% of a core, %.2f ms of CPU per request\n",
              requests, static_cast<double>(srv.status_field("VmHWM")) / 1024.0, cpu, cpu_ms);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vorn3s_hostile_load PROGRAM [exhaust|limit|lock|subtitle...]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  raise_own_nofile();
  const std::string program = argv[1];
  std::vector<std::string> which(argv + 2, argv + argc);
  if (which.empty()) which = {"exhaust", "limit", "lock", "subtitle"};
  std::printf("hostile load against %s\n", program.c_str());
  for (const auto& w : which) {
    if (w == "exhaust") exhaust(program);
    else if (w == "limit") limit(program);
    else if (w == "lock") lock(program);
    else if (w == "subtitle") subtitle(program);
    else std::fprintf(stderr, "unknown scenario %s\n", w.c_str());
    std::fflush(stdout);
  }
  return 0;
}
