// SPDX-License-Identifier: MIT
// What the access log costs under a flood of players: 200 clients, each in a loop of short
// sessions (connect, HandShake, OpenFile, a few SeekReads of 64 KiB at random offsets,
// End), so that every few reads bring four lines of log. The server runs without a log
// and with one, alternately, in one run; the tool prints the SeekRead throughput of each
// round and the medians.
//
//   vorn3s_log_cost PROGRAM [ROUNDS [SECONDS [CLIENTS [READS]]]]
//       (default 5 rounds of 5 s, 200 clients, 8 SeekReads a session)
//
// Everything runs on 127.0.0.1 against children of this process, each stopped by its own
// id; the files are removed at the end.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "load_client.h"

namespace fs = std::filesystem;

namespace {

constexpr int32_t HANDSHAKE = 3320, OPENFILE = 4, SEEKREAD = 10, END = 0;
constexpr size_t FILE_SIZE = 64u << 20;
constexpr uint32_t BLOCK = 64 * 1024;

std::string be32(uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  return std::string(b, 4);
}

std::string be64(uint64_t v) { return be32(static_cast<uint32_t>(v >> 32)) + be32(static_cast<uint32_t>(v)); }

// One session: the bytes of file data it read, or 0 when the server did not answer.
uint64_t one_session(int port, int reads, std::mt19937_64& gen, std::vector<char>& buf) {
  client c;
  if (!c.connect_to(port, 5000)) return 0;
  std::string hs;
  if (!c.send_code(HANDSHAKE) || c.recv_string(&hs, 5000) != outcome::reply) return 0;
  if (!c.send_code(OPENFILE) || !c.send_string(R"({"FullName":"Media/film.mkv"})")) return 0;
  uint64_t got = 0;
  for (int i = 0; i < reads; i++) {
    const uint64_t offset = gen() % (FILE_SIZE - BLOCK);
    if (!c.send_bytes(be32(SEEKREAD) + be32(BLOCK) + be64(offset))) return got;
    if (c.recv_bytes(buf.data(), BLOCK, 5000) != outcome::reply) return got;
    got += BLOCK;
  }
  c.send_code(END);
  return got;
}

// MB/s of SeekRead replies over `seconds` with `clients` players against `srv`.
double flood(const server_process& srv, int clients, int reads, int seconds) {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> bytes{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; i++) {
    threads.emplace_back([&, i] {
      std::mt19937_64 gen(static_cast<uint64_t>(i) * 7919u + 1);
      std::vector<char> buf(BLOCK);
      while (!stop.load()) bytes += one_session(srv.port, reads, gen, buf);
    });
  }
  sleep_ms(1000);  // every client under way before the count starts
  const uint64_t from = bytes.load(), start = now_ms();
  sleep_ms(seconds * 1000);
  const double mb = static_cast<double>(bytes.load() - from) / 1e6;
  const double secs = static_cast<double>(now_ms() - start) / 1000.0;
  stop.store(true);
  for (auto& t : threads) t.join();
  return mb / secs;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vorn3s_log_cost PROGRAM [ROUNDS [SECONDS [CLIENTS [READS]]]]\n");
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  raise_own_nofile();
  const std::string program = argv[1];
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 5;
  const int clients = argc > 4 ? std::atoi(argv[4]) : 200;
  const int reads = argc > 5 ? std::max(1, std::atoi(argv[5])) : 8;

  std::string dir = (fs::temp_directory_path() / "vorn3s-logcost-XXXXXX").string();
  if (!mkdtemp(dir.data())) return 1;
  fs::create_directories(dir + "/Media");
  {
    std::ofstream f(dir + "/Media/film.mkv", std::ios::binary);
    std::mt19937 gen(7);
    std::string block(1 << 20, '\0');
    for (size_t done = 0; done < FILE_SIZE; done += block.size()) {
      for (auto& c : block) c = static_cast<char>(gen());
      f.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  const std::string log = dir + "/access.log";
  std::printf("log cost: %d clients, sessions of %d SeekReads of 64 KiB, %d rounds of %d s\n", clients, reads,
              rounds, seconds);
  std::printf("round  without log MB/s  with log MB/s  log lines  lost\n");
  std::vector<double> without, with;
  for (int r = 0; r < rounds; r++) {
    // Which goes first alternates, so that neither always meets a warmer or a busier
    // machine.
    double plain = 0, logged = 0;
    std::string lost = "?";
    const auto run_plain = [&] {
      server_process srv(program, {dir + "/Media"});
      if (srv.port) plain = flood(srv, clients, reads, seconds);
    };
    const auto run_logged = [&] {
      fs::remove(log);
      server_process srv(program, {dir + "/Media"}, 0, {"--log", log});
      if (!srv.port) return;
      logged = flood(srv, clients, reads, seconds);
      std::string line;
      // "log lost=N FILE"
      if (srv.write_line("log") && srv.read_line(&line, 5000) && line.rfind("log lost=", 0) == 0)
        lost = line.substr(9, line.find(' ', 9) - 9);
    };
    if (r % 2 == 0) {
      run_plain();
      run_logged();
    } else {
      run_logged();
      run_plain();
    }
    if (plain == 0 || logged == 0) return std::printf("the server did not start\n"), 1;
    size_t lines = 0;
    std::ifstream f(log);
    for (std::string l; std::getline(f, l);) lines++;
    without.push_back(plain);
    with.push_back(logged);
    std::printf("%5d  %16.0f  %13.0f  %9zu  %s\n", r + 1, plain, logged, lines, lost.c_str());
    std::fflush(stdout);
  }
  const double a = median(without), b = median(with);
  std::printf("median %16.0f  %13.0f   with log / without: %.3f\n", a, b, a > 0 ? b / a : 0);
  fs::remove_all(dir);
  return 0;
}
