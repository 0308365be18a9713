// SPDX-License-Identifier: MIT
// Measures what a player feels: SeekRead throughput over a real loopback connection,
// the time to list a large folder, and the cost of resolving one identifier.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "catalogue/listing.h"
#include "catalogue/resolve.h"
#include "server/roots.h"
#include "server/vorn3s.h"
#include "session/wire.h"

namespace fs = std::filesystem;

// A media folder made once for the whole run: a 64 MiB file and a folder of 2000 files.
static const std::string& media_root() {
  static const std::string root = [] {
    std::string tmpl = (fs::temp_directory_path() / "vorn3s-bench-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) std::abort();
    std::vector<char> block(1 << 20, 'x');
    std::ofstream big(tmpl + "/big.mkv", std::ios::binary);
    for (int i = 0; i < 64; i++) big.write(block.data(), static_cast<std::streamsize>(block.size()));
    fs::create_directories(tmpl + "/many");
    for (int i = 0; i < 2000; i++) std::ofstream(tmpl + "/many/episode " + std::to_string(i) + ".mp4");
    return fs::canonical(tmpl).string();
  }();
  return root;
}

static bool recv_all(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

static void send_all(int fd, const void* buf, size_t n) {
  if (send(fd, buf, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) std::abort();
}

static void send_code(int fd, int32_t code) {
  uint8_t b[4];
  be32_put(b, static_cast<uint32_t>(code));
  send_all(fd, b, 4);
}

static void send_string(int fd, const std::string& s) {
  uint8_t b[4];
  be32_put(b, static_cast<uint32_t>(s.size()));
  send_all(fd, b, 4);
  send_all(fd, s.data(), s.size());
}

static void BM_seekread_loopback(benchmark::State& state) {
  const std::string root = media_root();
  if (vorn3s_start("127.0.0.1", 0, nullptr, 0) != 0) std::abort();
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(vorn3s_port()));
  inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) std::abort();
  const std::string name = fs::path(root).filename().string();
  send_code(fd, ACT_OPENFILE);
  send_string(fd, "{\"FullName\":\"" + name + "/big.mkv\"}");
  const auto chunk = static_cast<uint32_t>(state.range(0));
  std::vector<char> buf(chunk);
  int64_t offset = 0;
  for (auto _ : state) {
    uint8_t req[16];
    be32_put(req, ACT_SEEKREAD);
    be32_put(req + 4, chunk);
    be64_put(req + 8, static_cast<uint64_t>(offset));
    send_all(fd, req, sizeof req);
    if (!recv_all(fd, buf.data(), chunk)) std::abort();
    offset = (offset + chunk) % (64 << 20);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * chunk);
  send_code(fd, ACT_END);
  close(fd);
  vorn3s_stop();
}
BENCHMARK(BM_seekread_loopback)->Arg(64 << 10)->Arg(1 << 20)->Arg(4 << 20)->UseRealTime();

static void BM_listing_2000_files(benchmark::State& state) {
  const std::string dir = media_root() + "/many";
  for (auto _ : state) {
    strbuf sb;
    listing_files_host(dir.c_str(), "Media/many", "many", &sb);
    benchmark::DoNotOptimize(sb.len);
  }
}
BENCHMARK(BM_listing_2000_files);

static void BM_resolve_id(benchmark::State& state) {
  const std::string root = media_root();
  const std::string id = fs::path(root).filename().string() + "/many/episode 1234.mp4";
  for (auto _ : state) {
    char* path = nullptr;
    int index;
    if (resolve_id(roots_get(), id.c_str(), 0, &path, &index) != 0) std::abort();
    std::free(path);
  }
}
BENCHMARK(BM_resolve_id);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (vorn3s_add_root(media_root().c_str()) != 0) return 1;
  benchmark::RunSpecifiedBenchmarks();
  fs::remove_all(media_root());
  return 0;
}
