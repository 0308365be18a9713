// SPDX-License-Identifier: MIT
#include "support/expected.h"

#include <gtest/gtest.h>

#include "catalogue/listing.h"
#include "plat/plat.h"
#include "session/wire.h"
#include "support/test_client.h"

static dir_lister s_lister = nullptr;

void set_dir_lister(dir_lister lister) { s_lister = lister; }

std::vector<std::string> dir_order(const std::string& path) {
  if (s_lister) return s_lister(path);
  std::vector<std::string> names;
  plat_dir* d = plat_opendir(path.c_str());
  EXPECT_NE(d, nullptr) << path;
  while (const char* n = d ? plat_readdir(d) : nullptr) names.push_back(n);
  plat_closedir(d);
  return names;
}

std::string in_dir_order(const std::string& dir, const std::map<std::string, std::string>& records) {
  std::string out = "[";
  for (const auto& name : dir_order(dir)) {
    const auto it = records.find(name);
    if (it == records.end()) continue;
    if (out.size() > 1) out += ",";
    out += it->second;
  }
  return out + "]";
}

std::string base64(const std::string& bytes) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? alphabet[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? alphabet[v & 63] : '=';
  }
  return out;
}

std::string folder_record(const std::string& name, const std::string& full, bool has_sub) {
  return R"({"Name":")" + name + R"(","FullName":")" + full + R"(","HasSubFolder":)" +
         (has_sub ? "true" : "false") + "}";
}

std::string file_record(const std::string& name, const std::string& type, const std::string& ctype,
                        const std::string& folder, const std::string& full) {
  return R"({"Name":")" + name + R"(","ContentType":")" + ctype + R"(","FileType":")" + type +
         R"(","Folder":")" + folder + R"(","FullName":")" + full + R"("})";
}

std::string file_record(const std::string& name, const std::string& folder, const std::string& full) {
  const size_t dot = name.rfind('.');
  const std::string type = dot == std::string::npos ? "" : name.substr(dot);
  bool audio = false;
  for (const char* ext : {".mp3", ".flac", ".wav", ".m4a", ".aac", ".wma", ".opus"}) audio |= type == ext;
  return file_record(name, type, audio ? "audio" : "video", folder, full);
}

std::string subtitle_record_b64(const std::string& name, const std::string& b64) {
  return R"({"Name":")" + name + R"(","Base64":")" + b64 + R"("})";
}

std::string subtitle_record(const std::string& name, const std::string& bytes) {
  return subtitle_record_b64(name, base64(bytes));
}

std::string record_for(const std::string& reply, const std::string& name) {
  const size_t at = reply.find("{\"Name\":\"" + name + "\"");
  if (at == std::string::npos) return {};
  return reply.substr(at, reply.find('}', at) - at + 1);
}

std::string files_of(const std::string& dir, const char* prefix, const char* folder) {
  strbuf sb;
  EXPECT_EQ(listing_files_host(dir.c_str(), prefix, folder, &sb), 0);
  return sb_text(&sb);
}

std::string folders_of(const std::string& dir, const char* prefix) {
  strbuf sb;
  EXPECT_EQ(listing_folders_host(dir.c_str(), prefix, &sb), 0);
  return sb_text(&sb);
}

void open_file(test_client& c, const std::string& filejson) {
  ASSERT_TRUE(c.send_code(ACT_OPENFILE));
  ASSERT_TRUE(c.send_string(filejson));
}
