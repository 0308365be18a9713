// SPDX-License-Identifier: MIT
// The fuzz tree and its oracle.
#include "fuzz_tree.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "server/vorn3s.h"

namespace fs = std::filesystem;

// Many copies, so that a read at any offset of at least twice its length holds one whole.
static constexpr char SECRET[] = "SECRET-OUTSIDE-THE-ROOTS";  // 24 bytes: whole Base64 groups
static constexpr char SECRET_B64[] = "U0VDUkVULU9VVFNJREUtVEhFLVJPT1RT";
static constexpr char OUTSIDE_ONLY[] = "outside-only";

static void write_file(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

static void remove_tree() {
  std::error_code ec;
  fs::remove_all(fuzz_tree_get().top, ec);
}

static fuzz_tree make_tree() {
  std::string tmpl = (fs::temp_directory_path() / "vorn3s-fuzz-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) oracle(false, "mkdtemp failed");
  fuzz_tree t;
  t.top = fs::canonical(tmpl).string();
  const fs::path top = t.top;
  std::string secret;
  for (int i = 0; i < 64; i++) secret += SECRET;
  write_file(top / "outside/secret.srt", secret);
  write_file(top / "outside/film.srt", secret);
  write_file(top / "outside" / (std::string(OUTSIDE_ONLY) + ".mkv"), secret);
  write_file(top / "Movies/film.mkv", "0123456789abcdef");
  write_file(top / "Movies/film.srt", "1\n00:00:01,000 --> 00:00:02,000\nHello\n");
  write_file(top / "Movies/film.en.ass", "[Script Info]\n");
  write_file(top / "Movies/Sub/clip.mkv", "clip");
  write_file(top / "Movies/Sub/clip.srt", "sub");
  write_file(top / "Movies/Sub/deeper/x.mkv", "x");
  write_file(top / "Shows/ep1.mkv", "episode");
  write_file(top / "Shows/ep1.srt", "e");
  write_file(top / "clip.mp4", "mp4");
  write_file(top / "clip.srt", "beside");
  fs::create_symlink("Sub", top / "Movies/inside");
  fs::create_symlink("../film.mkv", top / "Movies/Sub/up.mkv");
  fs::create_symlink("../outside", top / "Movies/escape");
  fs::create_symlink("..", top / "Movies/parent");
  fs::create_symlink("../outside/secret.srt", top / "Movies/film.leak.srt");
  fs::create_symlink("../../outside/secret.srt", top / "Movies/Sub/clip.leak.srt");
  fs::create_symlink("outside/secret.srt", top / "clip.leak.srt");
  t.movies = t.top + "/Movies";
  t.shows = t.top + "/Shows";
  t.clip = t.top + "/clip.mp4";
  for (const std::string& root : {t.movies, t.shows, t.clip}) {
    if (vorn3s_add_root(root.c_str()) < 0) oracle(false, "cannot add a root");
  }
  // Small limits, so that short inputs reach them.
  const char* const SETTINGS[][2] = {
      {"max_string", "1024"},          {"max_read", "4096"},          {"sub_max_bytes", "2048"},
      {"idle_timeout_ms", "1000"},     {"read_timeout_ms", "1000"},
  };
  for (const auto& kv : SETTINGS) {
    if (vorn3s_config(kv[0], kv[1]) != 0) oracle(false, "cannot set a limit");
  }
  return t;
}

const fuzz_tree& fuzz_tree_get() {
  static const fuzz_tree tree = make_tree();
  static const bool cleanup = std::atexit(remove_tree) == 0;
  (void)cleanup;
  return tree;
}

void oracle(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "oracle: %s\n", what);
  std::abort();
}

static bool under(std::string_view path, std::string_view root) {
  return path == root || (path.size() > root.size() && path.substr(0, root.size()) == root &&
                          path[root.size()] == '/');
}

bool inside_roots(std::string_view path) {
  const fuzz_tree& t = fuzz_tree_get();
  return under(path, t.movies) || under(path, t.shows) || path == t.clip;
}

bool nothing_from_outside(std::string_view text, std::string_view input) {
  for (std::string_view marker : {SECRET, SECRET_B64, OUTSIDE_ONLY}) {
    if (input.find(marker) == std::string_view::npos && text.find(marker) != std::string_view::npos) return false;
  }
  return true;
}
