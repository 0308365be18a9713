// SPDX-License-Identifier: MIT
#include "support/serve_console.h"

#include <gtest/gtest.h>

#include <cstdio>

int read_banner(cli_process& p, const std::string& ip, int roots, const std::string& handshake) {
  const auto line = p.read_line();
  if (!line) {
    ADD_FAILURE() << "no banner; stderr: " << p.drain_err();
    return 0;
  }
  const std::string head = "listening " + ip + ":";
  if (line->rfind(head, 0) != 0) {
    ADD_FAILURE() << *line;
    return 0;
  }
  const size_t blank = line->find(' ', head.size());
  const std::string port = line->substr(head.size(), blank - head.size());
  EXPECT_EQ(line->substr(blank), " roots=" + std::to_string(roots) + " handshake=" + handshake);
  return std::stoi(port);
}

std::optional<std::string> ask(cli_process& p, const std::string& line) {
  EXPECT_TRUE(p.write(line + "\n"));
  return p.read_line();
}

std::vector<std::string> ask_lines(cli_process& p, const std::string& line) {
  std::vector<std::string> out;
  EXPECT_TRUE(p.write(line + "\nstatus\n"));
  for (int i = 0; i < 1000; i++) {
    const auto got = p.read_line();
    if (!got) {
      ADD_FAILURE() << "no answer to " << line;
      break;
    }
    if (got->rfind("running=", 0) == 0) break;
    out.push_back(*got);
  }
  return out;
}

void write_films(const temp_tree& tree, const std::string& rel) {
  for (int i = 0; i < 500; i++) {
    char name[64];
    std::snprintf(name, sizeof name, "/Film number %03d with a longer title.mkv", i);
    tree.write(rel + name, "");
  }
}

console::console(const std::vector<std::string>& roots, const args& extra) : proc(make_args(roots, extra)) {
  port = read_banner(proc, "127.0.0.1", static_cast<int>(roots.size()));
}

args console::make_args(const std::vector<std::string>& roots, const args& extra) {
  args a = {"serve", "--bind", "127.0.0.1", "--port", "0"};
  for (const auto& r : roots) {
    a.push_back("--root");
    a.push_back(r);
  }
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

std::string console::status(int running, int conns) const {
  return "running=" + std::to_string(running) + " port=" + std::to_string(running ? port : 0) +
         " conns=" + std::to_string(conns);
}
