// SPDX-License-Identifier: MIT
// test_server as the Windows program under Wine: "serve" with the roots on its command
// line, ended by "quit" on its console.
#include "wine/wine_server.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "support/subprocess.h"
#include "support/test_client.h"

std::string wine_path(const std::string& linux_path) {
  std::string out = "Z:" + linux_path;
  for (auto& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

static std::string s_runner;

void set_wine_runner(const std::string& runner) { s_runner = runner; }

// `text` as one word for the shell.
static std::string sh_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// UTF-16LE bytes as UTF-8.
static std::string utf8_of_utf16le(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t cp =
        static_cast<uint8_t>(bytes[i]) | (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < bytes.size()) {
      const uint32_t low = static_cast<uint8_t>(bytes[i + 2]) |
                           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 3])) << 8);
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

std::vector<std::string> wine_dir_order(const std::string& linux_path) {
  // "cmd /u" writes UTF-16; "dir /b /a" every name, hidden ones too, one a line.
  const std::string command =
      sh_quoted(s_runner) + " cmd /u /c dir /b /a " + sh_quoted(wine_path(linux_path));
  std::vector<std::string> names;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr) << command;
  if (!pipe) return names;
  std::string bytes;
  char chunk[4096];
  while (const size_t n = std::fread(chunk, 1, sizeof chunk, pipe)) bytes.append(chunk, n);
  EXPECT_EQ(pclose(pipe), 0) << command;
  const std::string text = utf8_of_utf16le(bytes);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find("\r\n", at);
    if (end == std::string::npos) end = text.size();
    if (end > at) names.push_back(text.substr(at, end - at));
    at = end + 2;
  }
  return names;
}

int banner_port(const std::string& line) {
  const std::string head = "listening 127.0.0.1:";
  if (line.rfind(head, 0) != 0) return 0;
  return std::atoi(line.c_str() + head.size());
}

test_server::test_server(std::initializer_list<std::string> roots) {
  std::vector<std::string> args = {"serve", "--bind", "127.0.0.1", "--port", "0"};
  for (const auto& r : roots) {
    args.push_back("--root");
    args.push_back(wine_path(r));
  }
  auto program = std::make_shared<cli_process>(args);
  // The first program in a fresh Wine prefix waits for the prefix to be made.
  const auto banner = program->read_line(60000);
  if (!banner) {
    ADD_FAILURE() << "no banner; stderr: " << program->drain_err();
    return;
  }
  port = banner_port(*banner);
  EXPECT_GT(port, 0) << *banner;
  outside = program;
}

test_server::~test_server() {
  auto* program = static_cast<cli_process*>(outside.get());
  if (!program) return;
  EXPECT_TRUE(program->write("quit\n"));
  EXPECT_EQ(program->wait_exit(10000), 0);
}
